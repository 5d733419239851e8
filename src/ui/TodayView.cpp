#include "TodayView.h"

#include "CaughtError.h"
#include "EmptyStatePanel.h"
#include "Icons.h"
#include "ProblemAlert.h"
#include "RollCall.h"
#include "RowList.h"
#include "Style.h"
#include "TimeText.h"
#include "badge/BadgePrinter.h"
#include "model/AppModel.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

StatTile::StatTile(const QString &title, QWidget *parent) : QFrame(parent) {
    auto *titleLabel = new QLabel(title, this);
    Style::setText(titleLabel, Style::Text::callout);
    Style::setSecondary(titleLabel);
    m_value = new QLabel(QStringLiteral("0"), this);
    m_value->setObjectName(QStringLiteral("statValue"));
    Style::setText(m_value, Style::Text::largeTitle);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(4);
    layout->addWidget(titleLabel);
    layout->addWidget(m_value);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void StatTile::setValue(qint64 value, const QLocale &locale) {
    // QLocale groups thousands unless told not to.
    m_value->setText(locale.toString(value));
}

QString StatTile::valueText() const {
    return m_value->text();
}

void StatTile::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 12, 12);
    painter.fillPath(shape, Style::quaternaryFill(palette()));
}

OnSiteRow::OnSiteRow(const VisitorRow &row, const Clock &clock, QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("onSiteRow"));
    // Long names end in "…" rather than push the row's buttons out of view.
    m_name = new ElidedLabel(this);
    m_name->setObjectName(QStringLiteral("visitorName"));
    Style::setText(m_name, Style::Text::headline);
    m_detail = new ElidedLabel(this);
    m_detail->setObjectName(QStringLiteral("visitorDetail"));
    Style::setText(m_detail, Style::Text::callout);
    Style::setSecondary(m_detail);

    m_print = new QToolButton(this);
    m_print->setObjectName(QStringLiteral("printBadgeButton"));
    m_print->setIcon(Icons::symbol(QStringLiteral("printer")));
    m_print->setText(QStringLiteral("Print Badge"));
    m_print->setToolTip(QStringLiteral("Print a badge"));
    m_print->setAutoRaise(true);
    m_print->setIconSize(QSize(18, 18));
    connect(m_print, &QToolButton::clicked, this, [this] { emit printRequested(m_row); });

    m_signOut = new QPushButton(QStringLiteral("Sign Out"), this);
    m_signOut->setObjectName(QStringLiteral("signOutButton"));
    m_signOut->setAutoDefault(false);
    connect(m_signOut, &QPushButton::clicked, this, [this] { emit signOutRequested(m_row); });

    m_unsynced = new QLabel(QStringLiteral("Not yet synced"), this);
    m_unsynced->setObjectName(QStringLiteral("unsyncedMarker"));
    m_unsynced->setToolTip(QStringLiteral("Kept on this computer until the server can be reached"));
    Style::setText(m_unsynced, Style::Text::caption);
    m_unsynced->hide();

    // The name as wide as it needs (elided only when the row is short), the mark beside it.
    m_name->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    auto *nameLine = new QHBoxLayout;
    nameLine->setSpacing(8);
    nameLine->addWidget(m_name, 0);
    nameLine->addWidget(m_unsynced, 0, Qt::AlignVCenter);
    nameLine->addStretch(1);
    auto *text = new QVBoxLayout;
    text->setSpacing(2);
    text->addLayout(nameLine);
    text->addWidget(m_detail);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 8, 0, 8);
    layout->addLayout(text, 1);
    layout->addWidget(m_print);
    layout->addWidget(m_signOut);
    setRow(row, clock);
}

void OnSiteRow::setRow(const VisitorRow &row, const Clock &clock) {
    m_row = row;
    m_name->setText(row.visitorName);
    m_detail->setText(detailText(row, clock));
}

void OnSiteRow::setSigningOut(bool busy) {
    m_signOut->setEnabled(!busy);
}

void OnSiteRow::setUnsynced(bool unsynced) {
    // A style sheet gives its widget a style of its own, some 17 KiB a row: only a marker
    // that shows gets one.
    if (unsynced && m_unsynced->styleSheet().isEmpty()) {
        // Orange, dark enough to read on a light window and light enough on a dark one.
        const bool darkWindow = palette().color(QPalette::Window).lightness() < 128;
        m_unsynced->setStyleSheet(
            QStringLiteral("QLabel { color: %1; background: rgba(255, 159, 10, 0.18); "
                           "border-radius: 4px; padding: 1px 6px; }")
                .arg(darkWindow ? QStringLiteral("#ffb340") : QStringLiteral("#8a5100")));
    }
    m_unsynced->setVisible(unsynced);
}

QString OnSiteRow::detailText(const VisitorRow &row, const Clock &clock) {
    QStringList parts{QStringLiteral("In at ") + shortTimeText(row.signedInAt, clock)};
    if (row.hostName)
        parts << QStringLiteral("Visiting ") + *row.hostName;
    if (row.deviceName)
        parts << *row.deviceName;
    return parts.join(QStringLiteral(" · "));
}

TodayView::TodayView(AppModel *model, QWidget *parent) : SectionView(parent), m_model(model) {
    setObjectName(QStringLiteral("todayView"));

    m_signOutEveryone = new QAction(Icons::symbol(QStringLiteral("person.2.slash")),
                                    QStringLiteral("Sign Out Everyone"), this);
    m_signOutEveryone->setObjectName(QStringLiteral("signOutEveryoneAction"));
    m_signOutEveryone->setToolTip(QStringLiteral("Sign out everyone still on site"));
    connect(m_signOutEveryone, &QAction::triggered, this, &TodayView::confirmSignOutEveryone);
    // The list on paper in one press, for a fire drill; works from the last list held.
    m_rollCall =
        new QAction(Icons::symbol(QStringLiteral("printer")), QStringLiteral("Roll Call"), this);
    m_rollCall->setObjectName(QStringLiteral("printRollCallAction"));
    m_rollCall->setToolTip(QStringLiteral("Print everyone on site on a full page (Ctrl+P)"));
    connect(m_rollCall, &QAction::triggered, this, [this] {
        const QString problem =
            printRollCall(RollCall::fromModel(*m_model), m_model->printer()->printerName());
        if (!problem.isEmpty())
            setActionError(problem);
    });

    m_header = new SectionHeader(QStringLiteral("Today"), this);

    m_todayTile = new StatTile(QStringLiteral("Visitors today"), this);
    m_todayTile->setObjectName(QStringLiteral("visitorsTodayTile"));
    m_onSiteTile = new StatTile(QStringLiteral("On site now"), this);
    m_onSiteTile->setObjectName(QStringLiteral("onSiteTile"));
    m_weekTile = new StatTile(QStringLiteral("This week"), this);
    m_weekTile->setObjectName(QStringLiteral("thisWeekTile"));
    auto *tiles = new QHBoxLayout;
    tiles->setSpacing(12);
    for (StatTile *tile : {m_todayTile, m_onSiteTile, m_weekTile})
        tiles->addWidget(tile, 1);

    m_list = new RowList(this);
    m_list->setObjectName(QStringLiteral("onSiteList"));

    m_empty =
        new EmptyStatePanel(QStringLiteral("building.2"), QStringLiteral("No one on site"), this);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 12);
    layout->setSpacing(16);
    layout->addWidget(m_header);
    layout->addLayout(tiles);
    layout->addWidget(m_list, 1);
    layout->addWidget(m_empty, 1);

    connect(m_model, &AppModel::countsChanged, this, &TodayView::updateCounts);
    connect(m_model, &AppModel::onSiteChanged, this, &TodayView::updateOnSite);
    connect(m_model, &AppModel::lastRefreshChanged, this, &TodayView::updateSubtitle);
    connect(m_model, &AppModel::lastRefreshChanged, this, &TodayView::updateOnSite);
    connect(m_model, &AppModel::queueChanged, this, &TodayView::updateOnSite);
    connect(m_model, &AppModel::queueChanged, this, &TodayView::updateCounts);
    updateCounts();
    updateOnSite();
    updateSubtitle();
}

QString TodayView::everyoneFailedText(int failures) {
    return QString::number(failures) +
           QStringLiteral(" visitors could not be signed out. Please try again.");
}

void TodayView::updateCounts() {
    // The backend's counters, plus the sign-ins it has not had yet.
    DeskCounts counts = m_model->counts();
    const DeskCounts pending = m_model->pendingCounts();
    counts.today += pending.today;
    counts.onSite += pending.onSite;
    counts.thisWeek += pending.thisWeek;
    const QLocale &locale = m_model->clock().locale;
    m_todayTile->setValue(counts.today, locale);
    m_onSiteTile->setValue(counts.onSite, locale);
    m_weekTile->setValue(counts.thisWeek, locale);
}

void TodayView::updateSubtitle() {
    const std::optional<QDateTime> last = m_model->lastRefresh();
    m_header->setSubtitle(last ? QStringLiteral("Updated ") + shortTimeText(*last, m_model->clock())
                               : QString());
}

void TodayView::updateOnSite() {
    const QList<VisitorRow> onSite = m_model->everyoneOnSite();
    const Clock &clock = m_model->clock();

    // Rows are kept per visitor so a poll does not rebuild (and unfocus) the list.
    QHash<QUuid, OnSiteRow *> kept;
    for (const VisitorRow &row : onSite) {
        OnSiteRow *widget = m_rows.take(row.id);
        if (widget) {
            widget->setRow(row, clock);
        } else {
            widget = new OnSiteRow(row, clock, m_list->rowParent());
            connect(widget, &OnSiteRow::printRequested, this, &TodayView::printBadge);
            connect(widget, &OnSiteRow::signOutRequested, this,
                    [this](const VisitorRow &visitor) { signOut(visitor); });
        }
        widget->setSigningOut(m_signingOut.contains(row.id));
        widget->setUnsynced(m_model->isUnsynced(row.id));
        kept.insert(row.id, widget);
    }
    for (OnSiteRow *gone : std::as_const(m_rows))
        gone->deleteLater();
    m_rows = kept;

    QList<QWidget *> ordered;
    for (const VisitorRow &row : onSite)
        ordered.append(m_rows.value(row.id));
    m_list->setRows(ordered);

    m_list->setVisible(!onSite.isEmpty());
    m_empty->setVisible(onSite.isEmpty());
    m_empty->setDescription(m_model->lastRefresh()
                                ? QStringLiteral("Visitors signed in on any device show up here.")
                                : QStringLiteral("Loading…"));
    updateActions();
}

void TodayView::updateActions() {
    m_signOutEveryone->setEnabled(!m_model->everyoneOnSite().isEmpty() && !m_isSigningOutEveryone);
}

void TodayView::setActionError(std::optional<QString> text) {
    setProblemAlert(m_alert, this, m_actionError, std::move(text));
}

void TodayView::printBadge(const VisitorRow &row) {
    // Printing blocks until the print system (and any print dialog) is done.
    const BadgePrintResult result = m_model->printer()->printBadge(row.visitorName, row.signedInAt);
    const QString problem = badgePrintResultMessage(result);
    if (!problem.isEmpty())
        setActionError(problem);
}

QCoro::Task<> TodayView::signOut(VisitorRow row) {
    if (m_signingOut.contains(row.id))
        co_return;
    QPointer<TodayView> self(this);
    QPointer<AppModel> model = m_model;
    m_signingOut.insert(row.id);
    if (OnSiteRow *widget = m_rows.value(row.id))
        widget->setSigningOut(true);
    std::optional<QString> failure;
    try {
        co_await model->signOut(row);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    m_signingOut.remove(row.id);
    if (OnSiteRow *widget = m_rows.value(row.id))
        widget->setSigningOut(false);
    if (failure)
        setActionError(*failure);
}

void TodayView::confirmSignOutEveryone() {
    if (m_model->everyoneOnSite().isEmpty() || m_isSigningOutEveryone || m_confirmation)
        return;
    m_confirmation = new QMessageBox(this);
    m_confirmation->setObjectName(QStringLiteral("signOutEveryoneConfirmation"));
    m_confirmation->setIcon(QMessageBox::Warning);
    m_confirmation->setWindowTitle(QStringLiteral("Sign Out Everyone"));
    m_confirmation->setText(QStringLiteral("Sign out all ") +
                            QString::number(m_model->everyoneOnSite().size()) +
                            QStringLiteral(" visitors on site?"));
    QPushButton *confirm = m_confirmation->addButton(QStringLiteral("Sign Out Everyone"),
                                                     QMessageBox::DestructiveRole);
    confirm->setObjectName(QStringLiteral("confirmSignOutEveryoneButton"));
    markDestructive(confirm);
    m_confirmation->addButton(QMessageBox::Cancel);
    m_confirmation->setDefaultButton(QMessageBox::Cancel);
    m_confirmation->setWindowModality(Qt::WindowModal);
    m_confirmation->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_confirmation, &QMessageBox::finished, this, [this, confirm] {
        if (m_confirmation && m_confirmation->clickedButton() == confirm)
            signOutEveryone();
    });
    m_confirmation->open();
}

QCoro::Task<> TodayView::signOutEveryone() {
    QPointer<TodayView> self(this);
    QPointer<AppModel> model = m_model;
    m_isSigningOutEveryone = true;
    updateActions();
    int failures = 0;
    std::optional<QString> failure;
    try {
        failures = co_await model->signOutEveryone();
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    m_isSigningOutEveryone = false;
    updateActions();
    if (failure)
        setActionError(*failure);
    else if (failures > 0)
        setActionError(everyoneFailedText(failures));
}
