#include "VisitorDetail.h"

#include "CaughtError.h"
#include "Icons.h"
#include "Style.h"
#include "VisitorLogModel.h"
#include "badge/BadgePrinter.h"
#include "model/AppModel.h"

#include <QFormLayout>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {
// One group of the form: a rounded, faintly filled box.
class FormSection : public QFrame {
public:
    explicit FormSection(QWidget *parent) : QFrame(parent) {
        setObjectName(QStringLiteral("detailSection"));
        setFrameShape(QFrame::StyledPanel);
        setAutoFillBackground(true);
        QPalette p = palette();
        p.setColor(QPalette::Window, Style::quaternaryFill(p));
        setPalette(p);
    }
};
} // namespace

VisitorDetail::VisitorDetail(AppModel *model, std::function<void(const QString &)> onError,
                             QWidget *parent)
    : QWidget(parent), m_model(model), m_onError(std::move(onError)) {
    setObjectName(QStringLiteral("visitorDetail"));

    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *content = new QWidget(scroll);
    m_sections = new QVBoxLayout(content);
    m_sections->setContentsMargins(12, 12, 12, 12);
    m_sections->setSpacing(12);
    scroll->setWidget(content);

    m_print = new QPushButton(Icons::symbol(QStringLiteral("printer")),
                              QStringLiteral("Print Badge"), this);
    m_print->setObjectName(QStringLiteral("detailPrintBadgeButton"));
    m_print->setAutoDefault(false);
    connect(m_print, &QPushButton::clicked, this, &VisitorDetail::printBadge);
    m_signOut = new QPushButton(
        Icons::symbol(QStringLiteral("rectangle.portrait.and.arrow.right")),
        QStringLiteral("Sign Out"), this);
    m_signOut->setObjectName(QStringLiteral("detailSignOutButton"));
    m_signOut->setAutoDefault(false);
    connect(m_signOut, &QPushButton::clicked, this, &VisitorDetail::signOut);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);
}

void VisitorDetail::setRow(const VisitorRow &row) {
    // A sign-out that went through keeps its button disabled until the reloaded record
    // (with its sign-out time) arrives.
    if (row != m_row)
        m_isSigningOut = false;
    m_row = row;
    rebuild();
}

void VisitorDetail::addRow(QFormLayout *form, const QString &label, const QString &value,
                           const QString &name) {
    auto *caption = new QLabel(label, form->parentWidget());
    Style::setSecondary(caption);
    auto *text = new QLabel(value, form->parentWidget());
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Visitor text is shown as typed, never as markup.
    text->setTextFormat(Qt::PlainText);
    if (!name.isEmpty())
        text->setObjectName(name);
    form->addRow(caption, text);
}

void VisitorDetail::rebuild() {
    // The buttons survive; everything else is made anew for the row.
    m_print->setParent(this);
    m_signOut->setParent(this);
    while (QLayoutItem *item = m_sections->takeAt(0)) {
        if (item->widget())
            item->widget()->deleteLater();
        delete item;
    }
    QWidget *content = m_sections->parentWidget();
    const Clock clock = m_model ? m_model->clock() : Clock{};
    auto newSection = [&] {
        auto *section = new FormSection(content);
        auto *form = new QFormLayout(section);
        form->setRowWrapPolicy(QFormLayout::WrapLongRows);
        form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
        form->setContentsMargins(10, 10, 10, 10);
        m_sections->addWidget(section);
        return form;
    };

    QFormLayout *who = newSection();
    addRow(who, QStringLiteral("Name"), m_row.visitorName, QStringLiteral("detailName"));
    if (m_row.hostName)
        addRow(who, QStringLiteral("Visiting"), *m_row.hostName, QStringLiteral("detailHost"));
    for (const VisitorAnswer &answer : std::as_const(m_row.answers))
        addRow(who, answer.label.isEmpty() ? QStringLiteral("Answer") : answer.label, answer.value);

    QFormLayout *when = newSection();
    addRow(when, QStringLiteral("Signed in"), VisitorLogModel::dateText(m_row.signedInAt, clock));
    addRow(when, QStringLiteral("Signed out"),
           m_row.signedOutAt ? VisitorLogModel::dateText(*m_row.signedOutAt, clock)
                             : QStringLiteral("On site"),
           QStringLiteral("detailSignedOut"));
    if (m_row.deviceName)
        addRow(when, QStringLiteral("Device"), *m_row.deviceName);
    if (m_row.listName)
        addRow(when, QStringLiteral("List"), *m_row.listName);

    auto *actions = new FormSection(content);
    auto *buttons = new QVBoxLayout(actions);
    buttons->setContentsMargins(10, 10, 10, 10);
    m_print->setParent(actions);
    buttons->addWidget(m_print);
    m_signOut->setParent(actions);
    buttons->addWidget(m_signOut);
    m_signOut->setVisible(m_row.isOnSite());
    m_signOut->setEnabled(!m_isSigningOut);
    m_print->show();
    m_sections->addWidget(actions);
    m_sections->addStretch(1);
}

void VisitorDetail::printBadge() {
    if (!m_model || !m_model->printer())
        return;
    // Synchronous: the print system (and any print dialog) is done when this returns.
    const QString problem = badgePrintResultMessage(
        m_model->printer()->printBadge(m_row.visitorName, m_row.signedInAt));
    if (!problem.isEmpty() && m_onError)
        m_onError(problem);
}

void VisitorDetail::signOut() {
    if (!m_isSigningOut && m_row.isOnSite())
        runSignOut(m_row);
}

QCoro::Task<> VisitorDetail::runSignOut(VisitorRow row) {
    QPointer<VisitorDetail> self(this);
    QPointer<AppModel> model = m_model;
    if (!model)
        co_return;
    m_isSigningOut = true;
    m_signOut->setEnabled(false);
    std::optional<QString> failure;
    try {
        co_await model->signOut(row);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    if (!failure)
        co_return;
    if (m_row.id == row.id) {
        m_isSigningOut = false;
        m_signOut->setEnabled(true);
    }
    if (!failure->isEmpty() && m_onError)
        m_onError(*failure);
}
