// The Visitors screen against the real local backend, used as a person at the desk uses
// it: typing a search, choosing days, paging, signing out from the side panel, exporting.

#include "support/TestMain.h"

#include "cloud/CloudClient.h"
#include "model/AppModel.h"
#include "support/BackendFixture.h"
#include "support/Tasks.h"
#include "support/desk/BackendSession.h"
#include "ui/VisitorDetail.h"
#include "ui/VisitorsView.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>

namespace {

const QTimeZone newYork("America/New_York");

// Remembers the visitor-log page requests (limit 50) the desk sends.
class CountingNetwork : public QNetworkAccessManager {
public:
    QList<QUrl> pageReads;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *data) override {
        const QUrl url = request.url();
        const bool get = op == GetOperation ||
                         request.attribute(QNetworkRequest::CustomVerbAttribute).toByteArray() == "GET";
        if (get && url.path().endsWith(QLatin1String("/rest/v1/visitors")) &&
            url.query().contains(QLatin1String("limit=50&")))
            pageReads.append(url);
        return QNetworkAccessManager::createRequest(op, request, data);
    }
};

// The file through Python's csv module, which knows nothing of our writer.
QList<QStringList> readCsvFile(const QString &path) {
    QProcess python;
    python.start("python3", {"-c", "import csv, json, sys\n"
                                   "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
                                   "    print(json.dumps(list(csv.reader(f))))",
                             path});
    if (!python.waitForFinished(30000) || python.exitCode() != 0)
        qFatal("python3 could not read %s: %s", qPrintable(path),
               python.readAllStandardError().constData());
    QList<QStringList> lines;
    for (const QJsonValue &line : QJsonDocument::fromJson(python.readAllStandardOutput()).array())
        lines.append(line.toVariant().toStringList());
    return lines;
}

// The output of a poppler tool run on `path`.
QString poppler(const QString &tool, const QStringList &args) {
    QProcess process;
    process.start(tool, args);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        qFatal("%s failed: %s", qPrintable(tool), process.readAllStandardError().constData());
    return QString::fromUtf8(process.readAllStandardOutput());
}

int pdfPages(const QString &path) {
    static const QRegularExpression pages(QStringLiteral("Pages:\\s+(\\d+)"));
    return pages.match(poppler("pdfinfo", {path})).captured(1).toInt();
}

QString sqlText(const QString &text) {
    return QStringLiteral("$t$") + text + QStringLiteral("$t$");
}

QByteArray fileBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class VisitorsViewTests : public QObject {
    Q_OBJECT

    BackendInfo backend;
    TestAccount account;
    CountingNetwork network;
    std::unique_ptr<CloudClient> client;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<QMainWindow> window;
    VisitorsView *view = nullptr;
    std::unique_ptr<QTemporaryDir> folder;

    void insert(const QString &name, const QDateTime &in, std::optional<QDateTime> out = {},
                const QString &answers = QStringLiteral("[]")) {
        runSql(backend,
               QStringLiteral("insert into public.visitors (owner_id, device_record_id, "
                              "visitor_name, host_name, answers, signed_in_at, signed_out_at, "
                              "device_name) values ('%1', gen_random_uuid()::text, %2, "
                              "'Grace Hopper', %3::jsonb, '%4', %5, 'Front Desk');")
                   .arg(account.userId.toString(QUuid::WithoutBraces), sqlText(name),
                        sqlText(answers), formatTimestamp(in),
                        out ? "'" + formatTimestamp(*out) + "'" : QStringLiteral("null")));
    }

    // The screen inside a window with its toolbar, as the desk shows it.
    void open() {
        window = std::make_unique<QMainWindow>();
        view = new VisitorsView(model.get(), window.get());
        auto *toolbar = window->addToolBar(QStringLiteral("Visitors"));
        toolbar->addActions(view->toolbarActions());
        window->setCentralWidget(view);
        window->resize(1100, 700);
        window->show();
        QVERIFY(settle(0));
    }

    // Waits until more page requests than `before` went out and the last one is done.
    bool settle(qsizetype before) {
        return QTest::qWaitFor(
            [&] { return network.pageReads.size() > before && !view->isLoading(); }, 10000);
    }

    template <typename T = QWidget> T *find(const char *name) const {
        return window->findChild<T *>(QLatin1String(name));
    }
    QString countText() const { return find<QLabel>("visitorCount")->text(); }
    QStringList shownNames() const {
        QStringList names;
        for (const VisitorRow &row : view->rows())
            names << row.visitorName;
        return names;
    }
    QFileDialog *saveDialog() const {
        for (QFileDialog *dialog : window->findChildren<QFileDialog *>("exportSaveDialog"))
            if (dialog->isVisible())
                return dialog;
        return nullptr;
    }
    QMessageBox *alert() const {
        auto *box = find<QMessageBox>("actionErrorAlert");
        return box && box->isVisible() ? box : nullptr;
    }

    // Chooses `format` in the Export menu and saves to `path` in the dialog, confirming
    // the replacement of an existing file as a person would.
    void exportTo(LogFormat format, const QString &path) {
        view->findChild<QAction *>(format == LogFormat::pdf ? "exportPdfAction"
                                                            : "exportCsvAction")
            ->trigger();
        QFileDialog *dialog = nullptr;
        QVERIFY(QTest::qWaitFor([&] { return (dialog = saveDialog()); }));
        const QString suffix = format == LogFormat::pdf ? "pdf" : "csv";
        QCOMPARE(dialog->nameFilters().size(), 1);
        QVERIFY(dialog->nameFilters().first().contains("*." + suffix));
        const QDate today = QDateTime::currentDateTime().toTimeZone(newYork).date();
        QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(),
                 "Visitor Log " + today.toString("yyyy-MM-dd") + "." + suffix);
        QTimer confirm;
        connect(&confirm, &QTimer::timeout, this, [dialog = QPointer<QFileDialog>(dialog)] {
            if (dialog)
                for (QMessageBox *box : dialog->findChildren<QMessageBox *>())
                    if (box->isVisible())
                        box->button(QMessageBox::Yes)->click();
        });
        confirm.start(50);
        dialog->selectFile(path);
        QMetaObject::invokeMethod(dialog, "accept");
        QVERIFY(view->isExporting());
        QVERIFY(!find<QWidget>("exportButton")->isEnabled());
    }

private slots:
    void initTestCase() {
        const std::optional<BackendInfo> info = BackendInfo::load();
        GW_REQUIRE_BACKEND(info);
        backend = *info;
    }

    void init() {
        account = createTestAccount(backend);
        auto store = std::make_shared<MemorySessionStore>();
        store->stored = sessionOf(account);
        client = std::make_unique<CloudClient>(&network, store, configOf(backend));
        model = std::make_unique<AppModel>(client.get(), nullptr, nullptr);
        model->setClock(Clock{[] { return QDateTime::currentDateTime(); }, newYork,
                              QLocale(QLocale::English, QLocale::UnitedStates)});
        network.pageReads.clear();
        folder = std::make_unique<QTemporaryDir>();
    }

    void cleanup() {
        window.reset();
        view = nullptr;
        model.reset();
        client.reset();
    }

    void quickTypingSendsOneRequest() {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        insert("Ada Lovelace", now.addSecs(-60));
        insert("Alan Turing", now.addSecs(-120));
        insert("100% Grace_Hopper", now.addSecs(-180));
        open();
        QCOMPARE(network.pageReads.size(), 1);
        QCOMPARE(shownNames(), QStringList({"Ada Lovelace", "Alan Turing", "100% Grace_Hopper"}));

        // Keys 60 ms apart: the pause after the last one is the only one long enough.
        QTest::keyClicks(find<QLineEdit>("visitorSearchField"), "ada l", Qt::NoModifier, 60);
        QVERIFY(settle(1));
        QTest::qWait(500);
        QCOMPARE(network.pageReads.size(), 2);
        QVERIFY(network.pageReads.last().query(QUrl::FullyEncoded).contains("ilike.%25ada%20l%25"));
        QCOMPARE(shownNames(), QStringList{"Ada Lovelace"});

        // Percent and underscore are typed characters, not wildcards.
        QTest::keyClick(find<QLineEdit>("visitorSearchField"), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(find<QLineEdit>("visitorSearchField"), "0% g");
        QVERIFY(settle(2));
        QCOMPARE(shownNames(), QStringList{"100% Grace_Hopper"});
        find<QLineEdit>("visitorSearchField")->clear();
        QVERIFY(settle(3));
        QCOMPARE(shownNames().size(), 3);
    }

    void oneDayRangeHoldsTheWholeDay() {
        const QDate day(2026, 3, 3);
        insert("Before midnight", QDateTime(day.addDays(-1), QTime(23, 59, 59), newYork));
        insert("At midnight", QDateTime(day, QTime(0, 0), newYork));
        insert("Last second", QDateTime(day, QTime(23, 59, 59), newYork));
        insert("Next day", QDateTime(day.addDays(1), QTime(0, 0), newYork));
        open();
        QCOMPARE(view->rows().size(), 4);
        QVERIFY(!find<QDateEdit>("fromDate")->isVisible());

        QTest::mouseClick(find<QCheckBox>("datesSwitch"), Qt::LeftButton, {}, QPoint(4, 4));
        QVERIFY(find<QDateEdit>("fromDate")->isVisible());
        find<QDateEdit>("fromDate")->setDate(day);
        find<QDateEdit>("toDate")->setDate(day);
        QVERIFY(settle(1));
        QTest::qWait(400);
        QCOMPARE(shownNames(), QStringList({"Last second", "At midnight"}));

        // Switching the range off shows every day again.
        QTest::mouseClick(find<QCheckBox>("datesSwitch"), Qt::LeftButton, {}, QPoint(4, 4));
        QVERIFY(settle(network.pageReads.size()));
        QCOMPARE(view->rows().size(), 4);
    }

    void pagesOfFifty_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("firstCount");
        QTest::addColumn<QString>("afterMore");
        QTest::newRow("49: one page, nothing more") << 49 << "49 shown" << "";
        QTest::newRow("50: more may exist, the next page is empty") << 50 << "50+ shown" << "50 shown";
        QTest::newRow("51: the next page holds one") << 51 << "50+ shown" << "51 shown";
    }
    void pagesOfFifty() {
        QFETCH(int, count);
        QFETCH(QString, firstCount);
        QFETCH(QString, afterMore);
        seedVisitors(backend, account.userId, count, 0);
        open();
        QCOMPARE(countText(), firstCount);
        auto *more = find<QPushButton>("loadMoreButton");
        QCOMPARE(more->isVisible(), !afterMore.isEmpty());
        if (afterMore.isEmpty())
            return;
        QTest::mouseClick(more, Qt::LeftButton);
        QVERIFY(settle(1));
        QVERIFY(network.pageReads.last().query().contains("offset=50"));
        QCOMPARE(countText(), afterMore);
        QVERIFY(!more->isVisible());
        QCOMPARE(view->rows().size(), count);
        QCOMPARE(view->rows().last().visitorName, QString("Visitor %1").arg(count));
    }

    void deskSignInReloadsTheTable() {
        insert("Earlier visitor", QDateTime::currentDateTimeUtc().addSecs(-3600));
        open();
        QCOMPARE(shownNames(), QStringList{"Earlier visitor"});
        VisitorDraft draft;
        draft.answers[0] = QStringLiteral("Walk-in Visitor");
        QVERIFY(runTask(model->signIn(draft, std::nullopt)).ok());
        QVERIFY(settle(1));
        QCOMPARE(shownNames(), QStringList({"Walk-in Visitor", "Earlier visitor"}));
    }

    void signOutFromTheDetailPanel() {
        const QDateTime in = QDateTime::currentDateTimeUtc().addSecs(-600);
        insert("Left already", in.addSecs(-600), in);
        insert("Still here", in, std::nullopt,
               "[{\"label\": \"Company\", \"value\": \"Initech\"}, {\"label\": \"\", \"value\": \"Blue\"}]");
        open();
        auto *table = find<QTableView>("visitorTable");
        auto *detail = find<VisitorDetail>("visitorDetail");
        QVERIFY(!detail->isVisible());

        table->selectRow(0);
        QVERIFY(detail->isVisible());
        QCOMPARE(detail->row().visitorName, QString("Still here"));
        QCOMPARE(detail->findChild<QLabel *>("detailSignedOut")->text(), QString("On site"));
        QStringList shown;
        for (QLabel *label : detail->findChildren<QLabel *>())
            shown << label->text();
        QVERIFY(shown.contains("Company") && shown.contains("Initech"));
        QVERIFY(shown.contains("Answer") && shown.contains("Blue"));
        QCOMPARE(table->model()->index(0, 3).data().toString(), QString("On site"));

        auto *signOut = detail->findChild<QPushButton *>("detailSignOutButton");
        QVERIFY(signOut->isVisible());
        QTest::mouseClick(signOut, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return !signOut->isVisible(); }, 10000));
        QVERIFY(!alert());
        // The reloaded row keeps the selection and shows its time in the table and panel.
        QVERIFY(detail->isVisible());
        QCOMPARE(detail->row().visitorName, QString("Still here"));
        QVERIFY(detail->row().signedOutAt.has_value());
        QVERIFY(detail->findChild<QLabel *>("detailSignedOut")->text() != "On site");
        QVERIFY(table->model()->index(0, 3).data().toString() != "On site");
        QCOMPARE(runSql(backend, "select count(*) from visitors where owner_id = '" +
                                     account.userId.toString(QUuid::WithoutBraces) +
                                     "' and signed_out_at is null"),
                 QString("0"));

        // A visitor who has left offers no sign-out; clearing the selection hides the panel.
        table->selectRow(1);
        QCOMPARE(detail->row().visitorName, QString("Left already"));
        QVERIFY(!signOut->isVisible());
        table->clearSelection();
        QVERIFY(!detail->isVisible());
    }

    void exportsCsvAndPdf() {
        seedVisitors(backend, account.userId, 1003, 2);
        // A visitor whose answers would break a careless writer.
        insert("=HYPERLINK(\"x\")", QDateTime::currentDateTimeUtc().addSecs(60), std::nullopt,
               "[{\"label\": \"Company\", \"value\": \"Globex, \\\"Labs\\\"\\nEast\"}]");
        open();

        const QString csv = folder->filePath("log.csv");
        exportTo(LogFormat::csv, csv);
        QVERIFY(QTest::qWaitFor([&] { return !view->isExporting(); }, 30000));
        QVERIFY2(!alert(), alert() ? qPrintable(alert()->informativeText()) : "");
        const QList<QStringList> lines = readCsvFile(csv);
        QCOMPARE(lines.size(), 1 + 1004);
        QCOMPARE(lines[0], QStringList({"Name", "Visiting", "Company", "Email", "Signed in",
                                        "Signed out", "List", "Device"}));
        QCOMPARE(lines[1].mid(0, 4),
                 QStringList({"'=HYPERLINK(\"x\")", "Grace Hopper", "Globex, \"Labs\"\nEast", ""}));
        QCOMPARE(lines[2][0], QString("Visitor 1"));
        QCOMPARE(lines[2][5], QString()); // still on site
        QCOMPARE(lines.last()[0], QString("Visitor 1003"));
        QVERIFY(!lines.last()[5].isEmpty());

        const QString pdf = folder->filePath("log.pdf");
        exportTo(LogFormat::pdf, pdf);
        QVERIFY(QTest::qWaitFor([&] { return !view->isExporting(); }, 60000));
        QVERIFY(!alert());
        QCOMPARE(pdfPages(pdf), (1004 + 13) / 14);
        const QString firstPage = poppler("pdftotext", {"-f", "1", "-l", "1", pdf, "-"});
        QVERIFY(firstPage.contains("Visitor Log"));
        QVERIFY(firstPage.contains("1,004 records") || firstPage.contains("1004 records"));
        QVERIFY(firstPage.contains("Visitor 1"));
        QCOMPARE(QDir(folder->path()).entryList(QDir::Files),
                 QStringList({"log.csv", "log.pdf"}));
    }

    void failedFetchKeepsTheEarlierFile() {
        seedVisitors(backend, account.userId, 1200, 0);
        // The oldest row, on the second export page, is one the desk cannot read.
        runSql(backend, "update visitors set answers = '[{\"label\": \"Company\"}]' where "
                        "owner_id = '" +
                            account.userId.toString(QUuid::WithoutBraces) +
                            "' and visitor_name = 'Visitor 1200'");
        const QString path = folder->filePath("log.csv");
        QFile earlier(path);
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("yesterday's export\r\n");
        earlier.close();
        open();

        exportTo(LogFormat::csv, path);
        QVERIFY(QTest::qWaitFor([&] { return alert() != nullptr; }, 30000));
        QVERIFY(alert()->informativeText().contains("answers"));
        QVERIFY(!view->isExporting());
        QVERIFY(find<QWidget>("exportButton")->isEnabled());
        QCOMPARE(fileBytes(path), QByteArray("yesterday's export\r\n"));
        QCOMPARE(QDir(folder->path()).entryList(QDir::Files), QStringList{"log.csv"});
        alert()->button(QMessageBox::Ok)->click();
        QVERIFY(!view->problem());
    }

    void cancellingWritesNothing() {
        seedVisitors(backend, account.userId, 6000, 0);
        open();
        const QString path = folder->filePath("log.csv");

        // Closing the save dialog starts nothing.
        view->findChild<QAction *>("exportCsvAction")->trigger();
        QFileDialog *dialog = nullptr;
        QVERIFY(QTest::qWaitFor([&] { return (dialog = saveDialog()); }));
        dialog->reject();
        QVERIFY(!view->isExporting());
        QVERIFY(find<QWidget>("exportButton")->isEnabled());

        // Cancel once the first thousand have arrived: the screen is back at once and
        // no file appears, not even after the fetch would have ended.
        exportTo(LogFormat::csv, path);
        QVERIFY(find<QWidget>("exportProgress")->isVisible());
        QVERIFY(QTest::qWaitFor([&] { return view->exportedCount() >= 1000; }, 30000));
        QVERIFY(find<QLabel>("exportProgressText")->text().contains("1,000"));
        QTest::mouseClick(find<QPushButton>("exportCancelButton"), Qt::LeftButton);
        QVERIFY(!view->isExporting());
        QVERIFY(!find<QWidget>("exportProgress")->isVisible());
        QVERIFY(find<QWidget>("exportButton")->isEnabled());
        QTest::qWait(3000);
        QVERIFY(!alert());
        QCOMPARE(QDir(folder->path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }
};

GW_BACKEND_TEST(VisitorsViewTests)
#include "VisitorsViewTests.moc"
