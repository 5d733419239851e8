#include "VisitorsView.h"

#include "CaughtError.h"
#include "EmptyStatePanel.h"
#include "Icons.h"
#include "ProblemAlert.h"
#include "Style.h"
#include "VisitorDetail.h"
#include "VisitorLogModel.h"
#include "cloud/CloudClient.h"
#include "model/AppModel.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QStandardPaths>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidgetAction>

namespace {
constexpr int horizontalMargin = 20;
constexpr int detailMinimumWidth = 240;
constexpr int detailDefaultWidth = 280;

QString formatTitle(LogFormat format) {
    return format == LogFormat::pdf ? QStringLiteral("Export as PDF")
                                    : QStringLiteral("Export as CSV");
}

QString formatFilter(LogFormat format) {
    return format == LogFormat::pdf ? QStringLiteral("PDF document (*.pdf)")
                                    : QStringLiteral("CSV file (*.csv)");
}
} // namespace

VisitorsView::VisitorsView(AppModel *model, QWidget *parent)
    : SectionView(parent), m_model(model) {
    setObjectName(QStringLiteral("visitorsView"));
    const Clock &clock = m_model->clock();
    m_toDate = clock.now().toTimeZone(clock.zone).date();
    m_fromDate = m_toDate.addDays(-30);

    // Toolbar: the search field and the Export menu.
    m_search = new QLineEdit(this);
    m_search->setObjectName(QStringLiteral("visitorSearchField"));
    m_search->setPlaceholderText(QStringLiteral("Name, host or answer"));
    m_search->setClearButtonEnabled(true);
    m_search->setFixedWidth(220);
    m_searchAction = new QWidgetAction(this);
    m_searchAction->setObjectName(QStringLiteral("visitorSearchAction"));
    m_searchAction->setDefaultWidget(m_search);
    connect(m_search, &QLineEdit::textChanged, this, &VisitorsView::keyChanged);

    m_exportMenu = new QMenu(this);
    m_exportMenu->setObjectName(QStringLiteral("exportMenu"));
    QAction *csv = m_exportMenu->addAction(QStringLiteral("Export as CSV\u2026"), this,
                                           [this] { exportAs(LogFormat::csv); });
    csv->setObjectName(QStringLiteral("exportCsvAction"));
    QAction *pdf = m_exportMenu->addAction(QStringLiteral("Export as PDF\u2026"), this,
                                           [this] { exportAs(LogFormat::pdf); });
    pdf->setObjectName(QStringLiteral("exportPdfAction"));
    auto *exportButton = new QToolButton(this);
    exportButton->setObjectName(QStringLiteral("exportButton"));
    exportButton->setText(QStringLiteral("Export"));
    exportButton->setIcon(Icons::symbol(QStringLiteral("square.and.arrow.up")));
    exportButton->setIconSize(QSize(18, 18));
    exportButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    exportButton->setAutoRaise(true);
    exportButton->setMenu(m_exportMenu);
    exportButton->setPopupMode(QToolButton::InstantPopup);
    exportButton->setToolTip(QStringLiteral("Save the visitors matching the search as a file"));
    auto *exportAction = new QWidgetAction(this);
    exportAction->setObjectName(QStringLiteral("exportAction"));
    exportAction->setDefaultWidget(exportButton);
    m_exportAction = exportAction;

    // Filter bar: the date range switch and pickers, and how many records are shown.
    m_limitsDates = new QCheckBox(QStringLiteral("Dates"), this);
    m_limitsDates->setObjectName(QStringLiteral("datesSwitch"));
    m_fromLabel = new QLabel(QStringLiteral("From"), this);
    m_from = new QDateEdit(m_fromDate, this);
    m_from->setObjectName(QStringLiteral("fromDate"));
    m_toLabel = new QLabel(QStringLiteral("To"), this);
    m_to = new QDateEdit(m_toDate, this);
    m_to->setObjectName(QStringLiteral("toDate"));
    for (QDateEdit *edit : {m_from, m_to}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(clock.locale.dateFormat(QLocale::ShortFormat));
    }
    m_fromLabel->setBuddy(m_from);
    m_toLabel->setBuddy(m_to);
    connect(m_limitsDates, &QCheckBox::toggled, this, [this] {
        updateChrome();
        keyChanged();
    });
    connect(m_from, &QDateEdit::dateChanged, this, [this](QDate date) {
        m_fromDate = date;
        keyChanged();
    });
    connect(m_to, &QDateEdit::dateChanged, this, [this](QDate date) {
        m_toDate = date;
        keyChanged();
    });
    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("visitorCount"));
    Style::setText(m_count, Style::Text::callout);
    Style::setSecondary(m_count);

    auto *filterBar = new QHBoxLayout;
    filterBar->setContentsMargins(horizontalMargin, 8, horizontalMargin, 8);
    filterBar->setSpacing(8);
    filterBar->addWidget(m_limitsDates);
    filterBar->addSpacing(4);
    filterBar->addWidget(m_fromLabel);
    filterBar->addWidget(m_from);
    filterBar->addSpacing(4);
    filterBar->addWidget(m_toLabel);
    filterBar->addWidget(m_to);
    filterBar->addStretch(1);
    filterBar->addWidget(m_count);

    // The log.
    m_rows = new VisitorLogModel(clock, this);
    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("visitorTable"));
    m_table->setModel(m_rows);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setAlternatingRowColors(true);
    m_table->setShowGrid(false);
    m_table->setWordWrap(false);
    m_table->setTextElideMode(Qt::ElideRight);
    m_table->setFrameShape(QFrame::NoFrame);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 12);
    QHeaderView *header = m_table->horizontalHeader();
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The name keeps a readable width; the last column takes whatever is left, and a
    // narrow window scrolls sideways rather than cutting every column short.
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(true);
    header->setMinimumSectionSize(60);
    header->resizeSection(VisitorLogModel::name, 170);
    const int dateWidth =
        m_table->fontMetrics().horizontalAdvance(VisitorLogModel::dateText(
            QDateTime(QDate(2026, 12, 28), QTime(12, 58)), clock)) + 24;
    header->resizeSection(VisitorLogModel::visiting, 130);
    header->resizeSection(VisitorLogModel::signedIn, dateWidth);
    header->resizeSection(VisitorLogModel::signedOut, dateWidth);
    header->resizeSection(VisitorLogModel::device, 100);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &VisitorsView::selectionChanged);

    m_empty = new EmptyStatePanel(QStringLiteral("person.2.slash"),
                                  QStringLiteral("No visitors found"), this);

    m_loadMore = new QPushButton(QStringLiteral("Load More"), this);
    m_loadMore->setObjectName(QStringLiteral("loadMoreButton"));
    m_loadMore->setAutoDefault(false);
    connect(m_loadMore, &QPushButton::clicked, this, &VisitorsView::loadMore);
    m_loadMoreBar = new QWidget(this);
    auto *loadMoreLayout = new QHBoxLayout(m_loadMoreBar);
    loadMoreLayout->setContentsMargins(8, 8, 8, 8);
    loadMoreLayout->addStretch(1);
    loadMoreLayout->addWidget(m_loadMore);
    loadMoreLayout->addStretch(1);

    // Export progress: how far the fetch has come, and a way out.
    m_exportBar = new QWidget(this);
    m_exportBar->setObjectName(QStringLiteral("exportProgress"));
    m_exportText = new QLabel(m_exportBar);
    m_exportText->setObjectName(QStringLiteral("exportProgressText"));
    Style::setText(m_exportText, Style::Text::callout);
    m_exportCancel = new QPushButton(QStringLiteral("Cancel"), m_exportBar);
    m_exportCancel->setObjectName(QStringLiteral("exportCancelButton"));
    m_exportCancel->setAutoDefault(false);
    m_exportCancel->setToolTip(QStringLiteral("Stop the export without saving a file"));
    connect(m_exportCancel, &QPushButton::clicked, this, &VisitorsView::cancelExport);
    auto *exportLayout = new QHBoxLayout(m_exportBar);
    exportLayout->setContentsMargins(horizontalMargin, 6, horizontalMargin, 6);
    exportLayout->setSpacing(8);
    exportLayout->addWidget(new BusyIndicator(m_exportBar));
    exportLayout->addWidget(m_exportText, 1);
    exportLayout->addWidget(m_exportCancel);

    auto *log = new QWidget(this);
    auto *logLayout = new QVBoxLayout(log);
    logLayout->setContentsMargins(0, 0, 0, 0);
    logLayout->setSpacing(0);
    auto *heading = new SectionHeader(QStringLiteral("Visitors"), log);
    auto *headingLayout = new QHBoxLayout;
    headingLayout->setContentsMargins(horizontalMargin, 16, horizontalMargin, 0);
    headingLayout->addWidget(heading);
    logLayout->addLayout(headingLayout);
    logLayout->addLayout(filterBar);
    logLayout->addWidget(m_table, 1);
    logLayout->addWidget(m_empty, 1);
    logLayout->addWidget(m_loadMoreBar);
    logLayout->addWidget(m_exportBar);

    m_detail = new VisitorDetail(
        m_model, [this](const QString &message) { setProblem(message); }, this);
    m_detail->setMinimumWidth(detailMinimumWidth);

    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("visitorsSplitter"));
    m_splitter->setChildrenCollapsible(false);
    m_splitter->addWidget(log);
    m_splitter->addWidget(m_detail);
    m_splitter->setStretchFactor(0, 1);
    m_splitter->setStretchFactor(1, 0);
    m_splitter->setSizes({1000, detailDefaultWidth});

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_splitter);

    connect(m_model, &AppModel::visitorRevisionChanged, this, &VisitorsView::keyChanged);
    updateChrome();
}

VisitorsView::~VisitorsView() {
    // Runs in flight end quietly: their next step sees this view gone.
    m_destroying = true;
    if (m_reload)
        m_reload->cancel();
    if (m_export)
        m_export->cancel.cancel();
}

QList<QAction *> VisitorsView::toolbarActions() const {
    return {m_searchAction, m_exportAction};
}

VisitorQuery VisitorsView::query() const {
    VisitorQuery query{m_search->text(), std::nullopt, std::nullopt};
    if (m_limitsDates->isChecked()) {
        const QTimeZone &zone = m_model->clock().zone;
        query.from = m_fromDate.startOfDay(zone);
        query.to = m_toDate.addDays(1).startOfDay(zone);
    }
    return query;
}

const QList<VisitorRow> &VisitorsView::rows() const {
    return m_rows->rows();
}

std::optional<VisitorRow> VisitorsView::selectedRow() const {
    if (!m_selection)
        return std::nullopt;
    const int index = m_rows->indexOf(*m_selection);
    if (index < 0)
        return std::nullopt;
    return m_rows->rows()[index];
}

void VisitorsView::showEvent(QShowEvent *event) {
    SectionView::showEvent(event);
    if (!m_started) {
        m_started = true;
        keyChanged();
    }
}

VisitorsView::ReloadKey VisitorsView::currentKey() const {
    return {query(), m_model ? m_model->visitorRevision() : 0};
}

void VisitorsView::keyChanged() {
    if (!m_started || !m_model)
        return;
    const ReloadKey key = currentKey();
    if (m_key && *m_key == key)
        return;
    m_key = key;
    if (m_reload)
        m_reload->cancel();
    m_reload.emplace();
    reloadRun(m_reload->token());
}

QCoro::Task<> VisitorsView::reloadRun(CancellationToken cancel) {
    QPointer<VisitorsView> self(this);
    try {
        // Typing pauses this long before a request goes out.
        co_await sleepFor(debounce, cancel);
    } catch (...) {
        co_return;
    }
    if (!self || self->m_destroying || cancel.isCancelled())
        co_return;
    co_await loadPage(true, cancel);
}

void VisitorsView::loadMore() {
    if (!isLoading() && m_hasMore)
        loadPage(false, {});
}

QCoro::Task<> VisitorsView::loadPage(bool reset, CancellationToken cancel) {
    QPointer<VisitorsView> self(this);
    QPointer<AppModel> model = m_model;
    if (!model)
        co_return;
    const VisitorQuery pageQuery = query();
    const int offset = reset ? 0 : int(rows().size());
    const quint64 generation = m_rowsGeneration;
    ++m_loadsRunning;
    updateChrome();
    QList<VisitorRow> page;
    std::optional<QString> failure;
    try {
        page = co_await model->cloud()->visitorPage(pageQuery, offset, pageSize, cancel);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self || self->m_destroying)
        co_return;
    --m_loadsRunning;
    // A run superseded by a newer filter shows nothing, even when its page still came:
    // it would put the old filter's records under the new one.
    if (cancel.isCancelled()) {
        updateChrome();
        co_return;
    }
    if (failure) {
        updateChrome();
        if (!failure->isEmpty())
            setProblem(*failure);
        co_return;
    }
    if (reset) {
        ++m_rowsGeneration;
        m_rows->setRows(std::move(page));
        m_hasMore = m_rows->rowCount() == pageSize;
        restoreSelection();
    } else if (generation == m_rowsGeneration) {
        m_hasMore = page.size() == pageSize;
        m_rows->appendRows(page);
    }
    updateChrome();
}

void VisitorsView::selectionChanged() {
    const QModelIndexList selected = m_table->selectionModel()->selectedRows();
    if (selected.isEmpty())
        m_selection.reset();
    else
        m_selection = m_rows->rows()[selected.first().row()].id;
    updateChrome();
}

void VisitorsView::restoreSelection() {
    // The reload replaced the rows; keep the same record selected if it is still there.
    const int index = m_selection ? m_rows->indexOf(*m_selection) : -1;
    if (index < 0) {
        m_selection.reset();
        return;
    }
    QSignalBlocker block(m_table->selectionModel());
    m_table->selectionModel()->select(
        m_rows->index(index, 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_table->selectionModel()->setCurrentIndex(m_rows->index(index, 0),
                                               QItemSelectionModel::NoUpdate);
}

void VisitorsView::updateChrome() {
    const bool dates = m_limitsDates->isChecked();
    for (QWidget *widget : {static_cast<QWidget *>(m_fromLabel), static_cast<QWidget *>(m_from),
                            static_cast<QWidget *>(m_toLabel), static_cast<QWidget *>(m_to)})
        widget->setVisible(dates);

    const QLocale &locale = m_model ? m_model->clock().locale : QLocale();
    m_count->setText(locale.toString(rows().size()) +
                     (m_hasMore ? QStringLiteral("+") : QString()) + QStringLiteral(" shown"));

    const bool empty = rows().isEmpty() && !isLoading();
    m_table->setVisible(!empty);
    m_empty->setVisible(empty);
    m_loadMoreBar->setVisible(m_hasMore);
    m_loadMore->setEnabled(!isLoading());

    m_exportAction->setEnabled(!isExporting());
    m_exportBar->setVisible(isExporting());
    if (m_export) {
        const qsizetype fetched = m_export->fetched;
        m_exportText->setText(
            fetched == 0 ? QStringLiteral("Exporting\u2026")
                         : QStringLiteral("Exporting\u2026 ") + locale.toString(fetched) +
                               (fetched == 1 ? QStringLiteral(" record") : QStringLiteral(" records")) +
                               QStringLiteral(" fetched"));
    }

    const std::optional<VisitorRow> selected = selectedRow();
    if (selected && *selected != m_detail->row())
        m_detail->setRow(*selected);
    m_detail->setVisible(selected.has_value());
}

void VisitorsView::setProblem(std::optional<QString> text) {
    setProblemAlert(m_alert, this, m_problem, std::move(text));
}

void VisitorsView::exportAs(LogFormat format) {
    if (isExporting() || m_saveDialog || !m_model)
        return;
    const Clock &clock = m_model->clock();
    const QDate today = clock.now().toTimeZone(clock.zone).date();
    const QString suffix = logFileSuffix(format);
    m_saveDialog = new QFileDialog(this, formatTitle(format));
    m_saveDialog->setObjectName(QStringLiteral("exportSaveDialog"));
    m_saveDialog->setAcceptMode(QFileDialog::AcceptSave);
    m_saveDialog->setFileMode(QFileDialog::AnyFile);
    m_saveDialog->setNameFilter(formatFilter(format));
    m_saveDialog->setDefaultSuffix(suffix);
    m_saveDialog->setDirectory(
        QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    m_saveDialog->selectFile(proposedLogName(today) + QLatin1Char('.') + suffix);
    m_saveDialog->setWindowModality(Qt::WindowModal);
    m_saveDialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_saveDialog, &QFileDialog::fileSelected, this,
            [this, format](const QString &path) { startExport(format, path); });
    // Closed means done, even before the dialog is deleted: the next export may begin.
    connect(m_saveDialog, &QDialog::finished, this, [this] { m_saveDialog = nullptr; });
    m_saveDialog->open();
}

void VisitorsView::startExport(LogFormat format, const QString &path) {
    if (path.isEmpty() || isExporting() || !m_model)
        return;
    m_export.emplace();
    m_export->id = ++m_exportCounter;
    updateChrome();
    exportRun(format, path, m_export->id, m_export->cancel.token());
}

QCoro::Task<> VisitorsView::exportRun(LogFormat format, QString path, quint64 id,
                                      CancellationToken cancel) {
    QPointer<VisitorsView> self(this);
    QPointer<AppModel> model = m_model;
    std::optional<QString> failure;
    // Every argument is a named local: GCC 12 destroys some temporaries of a co_await
    // expression twice, and a doubly destroyed QPointer frees this view's guard while the
    // view still lives.
    VisitorQuery exportQuery = query();
    std::function<void(qsizetype)> progress = [self, id](qsizetype fetched) {
        if (self && !self->m_destroying)
            self->exportProgress(id, fetched);
    };
    Clock clock = model->clock();
    try {
        co_await exportVisitorLog(model->cloud(), std::move(exportQuery), format, path, cancel,
                                  std::move(progress), std::move(clock));
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self || self->m_destroying || !m_export || m_export->id != id)
        co_return; // cancelled: the screen is already back to normal
    m_export.reset();
    updateChrome();
    if (failure && !failure->isEmpty())
        setProblem(*failure);
}

void VisitorsView::exportProgress(quint64 id, qsizetype fetched) {
    if (!m_export || m_export->id != id)
        return;
    m_export->fetched = fetched;
    updateChrome();
}

void VisitorsView::cancelExport() {
    if (!m_export)
        return;
    m_export->cancel.cancel();
    m_export.reset();
    updateChrome();
}
