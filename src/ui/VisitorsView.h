#pragma once

#include "SectionView.h"
#include "cloud/Cancellation.h"
#include "cloud/VisitorQuery.h"
#include "model/LogExport.h"
#include "records/Records.h"

#include <QDate>
#include <QPointer>
#include <optional>
#include <qcoro/qcorotask.h>

class AppModel;
class BusyIndicator;
class QAction;
class QCheckBox;
class QDateEdit;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QPushButton;
class QSplitter;
class QTableView;
class QWidgetAction;
class VisitorDetail;
class VisitorLogModel;

// The visitor log: every record of the account, newest first, filtered by a search text
// and an optional range of days, fifty at a time. Reloads a moment after the filter
// changes or the desk signs someone in or out; shows the selected record beside the
// table; exports everything matching the filter as CSV or PDF.
class VisitorsView : public SectionView {
    Q_OBJECT
public:
    static constexpr int pageSize = 50;
    static constexpr std::chrono::milliseconds debounce{300};

    explicit VisitorsView(AppModel *model, QWidget *parent = nullptr);
    ~VisitorsView() override;

    QList<QAction *> toolbarActions() const override;

    // The filter as the backend reads it: the range covers whole days of the desk's
    // calendar, from the start of `fromDate` to the start of the day after `toDate`.
    VisitorQuery query() const;
    const QList<VisitorRow> &rows() const;
    std::optional<VisitorRow> selectedRow() const;
    bool hasMore() const { return m_hasMore; }
    bool isLoading() const { return m_loadsRunning > 0; }
    bool isExporting() const { return m_export.has_value(); }
    const std::optional<QString> &problem() const { return m_problem; }
    // Rows received so far by the running export.
    qsizetype exportedCount() const { return m_export ? m_export->fetched : 0; }

public slots:
    void loadMore();
    // Opens the save dialog for this format; the export starts once a file is chosen.
    void exportAs(LogFormat format);
    void cancelExport();

protected:
    void showEvent(QShowEvent *event) override;

private:
    struct ReloadKey {
        VisitorQuery query;
        qint64 revision = 0;
        bool operator==(const ReloadKey &) const = default;
    };
    struct ExportRun {
        quint64 id = 0;
        CancellationSource cancel;
        qsizetype fetched = 0;
    };

    ReloadKey currentKey() const;
    void keyChanged();
    QCoro::Task<> reloadRun(CancellationToken cancel);
    QCoro::Task<> loadPage(bool reset, CancellationToken cancel);
    QCoro::Task<> exportRun(LogFormat format, QString path, quint64 id, CancellationToken cancel);
    void startExport(LogFormat format, const QString &path);
    void exportProgress(quint64 id, qsizetype fetched);
    void setProblem(std::optional<QString> text);
    void selectionChanged();
    void restoreSelection();
    void updateChrome();

    QPointer<AppModel> m_model;
    QDate m_fromDate;
    QDate m_toDate;
    bool m_hasMore = false;
    int m_loadsRunning = 0;
    // Increased by every reload that replaced the rows: a "Load More" page that began
    // before is for other rows and is dropped.
    quint64 m_rowsGeneration = 0;
    std::optional<QUuid> m_selection;
    std::optional<QString> m_problem;
    std::optional<ReloadKey> m_key;
    std::optional<CancellationSource> m_reload;
    std::optional<ExportRun> m_export;
    quint64 m_exportCounter = 0;
    bool m_started = false;
    bool m_destroying = false;

    QLineEdit *m_search;
    QWidgetAction *m_searchAction;
    QAction *m_exportAction;
    QMenu *m_exportMenu;
    QCheckBox *m_limitsDates;
    QLabel *m_fromLabel;
    QDateEdit *m_from;
    QLabel *m_toLabel;
    QDateEdit *m_to;
    QLabel *m_count;
    VisitorLogModel *m_rows;
    QTableView *m_table;
    QWidget *m_empty;
    QWidget *m_loadMoreBar;
    QPushButton *m_loadMore;
    QWidget *m_exportBar;
    QLabel *m_exportText;
    QPushButton *m_exportCancel;
    QSplitter *m_splitter;
    VisitorDetail *m_detail;
    QPointer<QFileDialog> m_saveDialog;
    QPointer<QMessageBox> m_alert;
};
