#include "DeskHarness.h"
#include "model/AppModel.h"
#include "support/TestMain.h"
#include "ui/RollCall.h"

#include <QDir>
#include <QElapsedTimer>
#include <QPrinterInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <pwd.h>
#include <unistd.h>

namespace {
// What poppler makes of a PDF: its text, or its info (pages, page size).
QString poppler(const QString &tool, const QString &path) {
    QProcess process;
    process.start(tool, tool == "pdftotext" ? QStringList{path, "-"} : QStringList{path});
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return {};
    return QString::fromUtf8(process.readAllStandardOutput());
}

QString savedPdf(const QTemporaryDir &dir, const QByteArray &pdf) {
    const QString path = dir.filePath(QString::number(pdf.size()) + ".pdf");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(pdf) != pdf.size())
        return {};
    return path;
}

VisitorRow visitor(const QString &name, const QDateTime &in, std::optional<QString> host = {},
                   std::optional<QString> device = {}) {
    VisitorRow row;
    row.id = QUuid::createUuid();
    row.visitorName = name;
    row.signedInAt = in;
    row.hostName = std::move(host);
    row.deviceName = std::move(device);
    return row;
}

Clock fixedClock(const char *locale) {
    Clock clock;
    clock.zone = QTimeZone::utc();
    clock.locale = QLocale(QString::fromLatin1(locale));
    clock.now = [] { return QDateTime(QDate(2026, 12, 7), QTime(9, 45), QTimeZone::utc()); };
    return clock;
}

int pageCount(const QString &info) {
    return QRegularExpression(R"(Pages:\s+(\d+))").match(info).captured(1).toInt();
}

// Width and height in points.
QSizeF pageSize(const QString &info) {
    const auto m = QRegularExpression(R"(Page size:\s+([0-9.]+) x ([0-9.]+) pts)").match(info);
    return {m.captured(1).toDouble(), m.captured(2).toDouble()};
}
} // namespace

// The fire roll call on paper: who is on it, over how many pages, on what paper, and
// what it says when the list is not fresh.
class RollCallTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void initTestCase() {
        if (QStandardPaths::findExecutable("pdftotext").isEmpty())
            QSKIP("pdftotext (poppler-utils) is needed to read the roll call");
    }

    // Every name once, with its host, the count and the place; sixty visitors take more
    // than one numbered page.
    void everyoneOnSiteExactlyOnce_data() {
        QTest::addColumn<int>("visitors");
        QTest::addColumn<int>("minimumPages");
        QTest::newRow("three") << 3 << 1;
        QTest::newRow("sixty") << 60 << 2;
    }
    void everyoneOnSiteExactlyOnce() {
        QFETCH(int, visitors);
        QFETCH(int, minimumPages);
        RollCall rollCall;
        rollCall.clock = fixedClock("en_GB");
        rollCall.placeName = QStringLiteral("Harbour Office");
        rollCall.asOf = rollCall.clock.now();
        for (int i = 0; i < visitors; ++i)
            rollCall.onSite << visitor(QStringLiteral("Guest%1x").arg(i, 2, 10, QLatin1Char('0')),
                                       rollCall.clock.now().addSecs(-60 * i),
                                       i % 2 ? std::optional<QString>("Dana Scully") : std::nullopt,
                                       QStringLiteral("Lobby iPad"));
        const QString path = savedPdf(m_dir, rollCallPDF(rollCall));
        QVERIFY(!path.isEmpty());
        const QString text = poppler("pdftotext", path);
        for (const VisitorRow &row : std::as_const(rollCall.onSite))
            QVERIFY2(text.count(row.visitorName) == 1, qPrintable(row.visitorName));
        QVERIFY(text.contains(QStringLiteral("%1 on site").arg(visitors)));
        QVERIFY(text.contains("Roll call"));
        QVERIFY(text.contains("Harbour Office"));
        QVERIFY(text.contains("Dana Scully"));
        const int pages = pageCount(poppler("pdfinfo", path));
        QVERIFY2(pages >= minimumPages, qPrintable(QString::number(pages)));
        QVERIFY(text.contains(QStringLiteral("Page %1 of %1").arg(pages)));
    }

    // A4 by default, US Letter where the locale's country uses it.
    void paperFollowsTheLocale_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QSizeF>("points");
        QTest::newRow("Germany") << "de_DE" << QSizeF(595, 842);
        QTest::newRow("United States") << "en_US" << QSizeF(612, 792);
        QTest::newRow("Canada") << "en_CA" << QSizeF(612, 792);
    }
    void paperFollowsTheLocale() {
        QFETCH(QString, locale);
        QFETCH(QSizeF, points);
        RollCall rollCall;
        rollCall.clock = fixedClock(locale.toLatin1());
        const QString path = savedPdf(m_dir, rollCallPDF(rollCall));
        const QSizeF size = pageSize(poppler("pdfinfo", path));
        QVERIFY2(qAbs(size.width() - points.width()) < 1 &&
                     qAbs(size.height() - points.height()) < 1,
                 qPrintable(QString("%1 x %2").arg(size.width()).arg(size.height())));
    }

    // With the backend out of reach the desk still prints its last list, and says how
    // old it is.
    void offlineUsesTheLastList() {
        DeskHarness h;
        h.backend.addVisitor("Ann Lee", QDateTime::currentDateTimeUtc().addSecs(-300));
        h.launch();
        QTRY_COMPARE(h.model()->onSite().size(), 1);
        RollCall fresh = RollCall::fromModel(*h.model());
        QVERIFY(!fresh.offline);
        QVERIFY(fresh.asOfText().startsWith("as of "));

        h.backend.failVisitorReads = 503;
        h.window()->refreshAction()->trigger();
        QTRY_VERIFY(h.model()->error());
        RollCall offline = RollCall::fromModel(*h.model());
        QVERIFY(offline.offline);
        QCOMPARE(offline.onSite, fresh.onSite);
        QCOMPARE(offline.asOf, fresh.asOf);

        offline.clock = fixedClock("en_GB");
        offline.asOf = QDateTime(QDate(2026, 12, 7), QTime(9, 41), QTimeZone::utc());
        QCOMPARE(offline.asOfText(), QStringLiteral("Offline — list as of 09:41"));
        const QString text = poppler("pdftotext", savedPdf(m_dir, rollCallPDF(offline)));
        QVERIFY2(text.contains(QStringLiteral("Offline — list as of 09:41")), qPrintable(text));
        QVERIFY(text.contains("Ann Lee"));
    }

    // Never the label printer: its pages would come out one per label.
    void choosesAFullPagePrinter_data() {
        QTest::addColumn<QString>("defaultPrinter");
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("default") << "Office" << QStringList{"Labels", "Office"} << "Labels"
                                 << "Office";
        QTest::newRow("default is the label printer")
            << "Labels" << QStringList{"Labels", "Office"} << "Labels"
            << "Office";
        QTest::newRow("no default") << "" << QStringList{"Labels", "Office"} << "Labels"
                                    << "Office";
        QTest::newRow("only the label printer") << "Labels" << QStringList{"Labels"} << "Labels"
                                                << "";
        QTest::newRow("nothing installed") << "" << QStringList{} << ""
                                           << "";
    }
    void choosesAFullPagePrinter() {
        QFETCH(QString, defaultPrinter);
        QFETCH(QStringList, installed);
        QFETCH(QString, label);
        QFETCH(QString, chosen);
        QCOMPARE(chooseRollCallPrinter(defaultPrinter, installed, label), chosen);
    }

    // Printed through CUPS, it comes out as full pages of the locale's paper.
    void printsFullPagesThroughCups() {
        const QString queue = qEnvironmentVariable("GREETWELL_PDF_QUEUE", "GreetwellPDF");
        if (!QPrinterInfo::availablePrinterNames().contains(queue))
            QSKIP(qPrintable("No CUPS queue " + queue + " (scripts/test sets it up)"));
        const passwd *user = getpwuid(geteuid());
        QVERIFY(user);
        const QDir out(qEnvironmentVariable("GREETWELL_PDF_DIR", "/var/spool/cups-pdf/greetwell") +
                       '/' + QString::fromLocal8Bit(user->pw_name));
        // cups-pdf gives every roll call the same file name: only one written from now on
        // counts.
        const QDateTime started = QDateTime::currentDateTime().addSecs(-1);

        RollCall rollCall;
        rollCall.clock = fixedClock("de_DE");
        rollCall.asOf = rollCall.clock.now();
        for (int i = 0; i < 30; ++i)
            rollCall.onSite << visitor(QStringLiteral("Printed Guest %1").arg(i),
                                       rollCall.clock.now());
        QCOMPARE(printRollCall(rollCall, QStringLiteral("Labels"), queue), QString());

        QString info;
        QElapsedTimer waited;
        waited.start();
        while (info.isEmpty() && waited.elapsed() < 30000) {
            QTest::qWait(200);
            for (const QFileInfo &file : out.entryInfoList({"Roll_call*.pdf"}, QDir::Files))
                if (file.lastModified() >= started &&
                    !(info = poppler("pdfinfo", file.filePath())).isEmpty()) {
                    QFile::remove(file.filePath());
                    break;
                }
        }
        QVERIFY2(!info.isEmpty(), qPrintable("nothing printed into " + out.path()));
        QVERIFY2(pageCount(info) >= 2, qPrintable(info));
        const QSizeF size = pageSize(info);
        QVERIFY2(qAbs(size.width() - 595) < 2 && qAbs(size.height() - 842) < 2, qPrintable(info));
    }
};

GW_TEST(RollCallTest)
#include "RollCallTests.moc"
