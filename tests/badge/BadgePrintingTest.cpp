#include "support/TestMain.h"

#include "badge/BadgePrinter.h"

#include <QElapsedTimer>
#include <QPrinterInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <pwd.h>
#include <unistd.h>

// Prints real badges through CUPS to the cups-pdf queue that scripts/test sets up
// (scripts/lib/services.sh, gw_start_cups) and reads the PDF files it writes.
class BadgePrintingTest : public QObject {
    Q_OBJECT

    QString m_queue;
    QString m_outDir;
    QTemporaryDir m_dir;
    std::unique_ptr<QSettings> m_settings;
    QStringList m_printed;

    // A visitor name no other run uses, so its file is ours.
    static QString uniqueName(const QString &first) {
        return first + " Tester " + QString::number(QRandomGenerator::global()->generate(), 16);
    }

    // cups-pdf names the file after the job title, spaces turned to underscores.
    QString expectedFile(const QString &name) const {
        return m_outDir + '/' + BadgePrinter::jobTitle(name).replace(' ', '_') + ".pdf";
    }

    // Waits until cups-pdf has written a complete PDF at `path`; returns its pdfinfo.
    QString waitForPdf(const QString &path) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 30000) {
            QProcess pdfinfo;
            pdfinfo.start("pdfinfo", {path});
            if (pdfinfo.waitForFinished(30000) && pdfinfo.exitStatus() == QProcess::NormalExit &&
                pdfinfo.exitCode() == 0) {
                m_printed << path;
                return QString::fromUtf8(pdfinfo.readAllStandardOutput());
            }
            QTest::qWait(200);
        }
        return {};
    }

    // pdfinfo says one page of this size in points, either way round. cups-pdf draws the
    // job again through PostScript, which cuts the page to whole points; the PDF the job
    // is sent as has the exact size (BadgeDrawingTest).
    static bool onePageOf(const QString &info, const QSizeF &points) {
        const auto m = QRegularExpression(R"(Page size:\s+([0-9.]+) x ([0-9.]+) pts)").match(info);
        const qreal w = m.captured(1).toDouble();
        const qreal h = m.captured(2).toDouble();
        return info.contains(QRegularExpression(R"(Pages:\s+1\n)")) &&
               qAbs(std::max(w, h) - points.width()) < 1 &&
               qAbs(std::min(w, h) - points.height()) < 1;
    }

    // Runs an administration command of the print system; false when it refused.
    static bool cupsAdmin(const QString &program, const QStringList &arguments) {
        QProcess process;
        process.start(program, arguments);
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

private slots:
    void initTestCase() {
        m_queue = qEnvironmentVariable("GREETWELL_PDF_QUEUE", "GreetwellPDF");
        if (!QPrinterInfo::availablePrinterNames().contains(m_queue))
            QSKIP(qPrintable(QString("No CUPS queue \"%1\": start cupsd and the PDF queue with "
                                     "`. scripts/lib/services.sh; gw_start_cups` (scripts/test "
                                     "does)")
                                 .arg(m_queue)));
        if (QStandardPaths::findExecutable("pdfinfo").isEmpty())
            QSKIP("pdfinfo (poppler-utils) is needed to read the printed badges");
        const passwd *user = getpwuid(geteuid());
        QVERIFY(user);
        m_outDir = qEnvironmentVariable("GREETWELL_PDF_DIR", "/var/spool/cups-pdf/greetwell") +
                   '/' + QString::fromLocal8Bit(user->pw_name);
    }

    void init() {
        m_settings = std::make_unique<QSettings>(m_dir.filePath("badge.ini"), QSettings::IniFormat);
        m_settings->clear();
    }

    void cleanupTestCase() {
        for (const QString &path : std::as_const(m_printed))
            QFile::remove(path);
    }

    // One page of the stock's size (CUPS may turn the landscape page upright), in a file
    // named after the job title.
    void printsOnTheStocksPage_data() {
        QTest::addColumn<LabelStock>("stock");
        QTest::newRow("DK-1234") << LabelStock::dk1234;
        QTest::newRow("DK-2205") << LabelStock::dk2205;
    }
    void printsOnTheStocksPage() {
        QFETCH(LabelStock, stock);
        BadgePrinter printer(m_settings.get());
        printer.setPrinterName(m_queue);
        printer.setStock(stock);
        const QString name = uniqueName("Ada");
        QCOMPARE(printer.printBadge(name, QDateTime::currentDateTime()), BadgePrintResult::printed);
        const QString info = waitForPdf(expectedFile(name));
        QVERIFY2(!info.isEmpty(),
                 qPrintable("no PDF named after the job title: " + expectedFile(name)));
        QVERIFY2(onePageOf(info, labelStockPageSize(stock)), qPrintable(info));
    }

    // An empty printer name goes to the system default without asking.
    void printsToTheDefaultPrinter() {
        const QByteArray saved = qgetenv("PRINTER");
        qputenv("PRINTER", m_queue.toUtf8()); // CUPS's per-user default
        BadgePrinter printer(m_settings.get());
        const QString name = uniqueName("Grace");
        const BadgePrintResult result = printer.printBadge(name, QDateTime::currentDateTime());
        saved.isNull() ? qunsetenv("PRINTER") : qputenv("PRINTER", saved);
        QCOMPARE(result, BadgePrintResult::printed);
        QVERIFY2(!waitForPdf(expectedFile(name)).isEmpty(), qPrintable(expectedFile(name)));
    }

    // With printers installed but no default, the badge goes to the first one.
    void noDefaultMeansTheFirstPrinter() {
        const QByteArray printer = qgetenv("PRINTER"), lpdest = qgetenv("LPDEST");
        const QByteArray home = qgetenv("HOME");
        QTemporaryDir noOptions; // no lpoptions file naming a default
        qunsetenv("PRINTER");
        qunsetenv("LPDEST");
        qputenv("HOME", noOptions.path().toUtf8());
        const bool hasDefault = !QPrinterInfo::defaultPrinter().isNull();
        const QString first = BadgePrinter::installedPrinterNames().value(0);
        BadgePrinter badges(m_settings.get());
        const QString name = uniqueName("Hedy");
        const BadgePrintResult result = badges.printBadge(name, QDateTime::currentDateTime());
        printer.isNull() ? qunsetenv("PRINTER") : qputenv("PRINTER", printer);
        lpdest.isNull() ? qunsetenv("LPDEST") : qputenv("LPDEST", lpdest);
        qputenv("HOME", home);
        QVERIFY2(!hasDefault, "the print system has a default printer; this needs none");
        QVERIFY2(first == m_queue, qPrintable("the first printer is " + first));
        QCOMPARE(result, BadgePrintResult::printed);
        QVERIFY2(!waitForPdf(expectedFile(name)).isEmpty(), qPrintable(expectedFile(name)));
    }

    // A queue that refuses jobs gives `failed`, with the print system's reason.
    void refusedJobFails() {
        // A queue of our own: other runs share the PDF queue.
        const QString queue =
            "GreetwellRefuses-" + QString::number(QRandomGenerator::global()->generate(), 16);
        if (!cupsAdmin("lpadmin", {"-p", queue, "-E", "-v", "cups-pdf:/greetwell", "-m",
                                   "lsb/usr/cups-pdf/CUPS-PDF_noopt.ppd"}))
            QSKIP("lpadmin could not add a queue (run as root or in group lpadmin)");
        const bool rejecting = cupsAdmin("cupsreject", {"-r", "Out of labels", queue});
        BadgePrinter badges(m_settings.get());
        badges.setPrinterName(queue);
        const BadgePrintResult result =
            badges.printBadge(uniqueName("Ida"), QDateTime::currentDateTime());
        cupsAdmin("lpadmin", {"-x", queue});
        QVERIFY(rejecting);
        QCOMPARE(result, BadgePrintResult::failed);
        QVERIFY2(badges.failureDetail().contains("not accepting"),
                 qPrintable(badges.failureDetail()));
        QCOMPARE(badgePrintResultMessage(result),
                 "The badge didn't print. Check the printer and try again.");
    }
};

GW_TEST(BadgePrintingTest)
#include "BadgePrintingTest.moc"
