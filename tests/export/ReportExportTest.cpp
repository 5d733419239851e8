#include "support/TestMain.h"

#include "model/Export.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

QDateTime utc(int day, int hour, int minute) {
    return QDateTime(QDate(2026, 3, day), QTime(hour, minute), QTimeZone::utc());
}

Clock fixedClock() {
    Clock clock;
    clock.now = [] { return utc(2, 14, 5); };
    clock.zone = QTimeZone::utc();
    clock.locale = QLocale("en_US");
    return clock;
}

// Visitors 1..count, every other one still on site.
QList<VisitorRow> makeRows(int count) {
    QList<VisitorRow> rows;
    for (int i = 0; i < count; ++i) {
        VisitorRow row;
        row.id = QUuid::createUuid();
        row.visitorName = QStringLiteral("Visitor%1").arg(i + 1);
        row.signedInAt = utc(1, 9, 30);
        if (i % 2)
            row.signedOutAt = utc(1, 17, 0);
        rows.append(row);
    }
    return rows;
}

} // namespace

class ReportExportTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    // The text lines of one page, as pdftotext lays them out.
    QStringList pageText(const QByteArray &pdf, int page) {
        const QString path = m_dir.filePath("report.pdf");
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(pdf) != pdf.size())
            return {};
        file.close();
        QProcess process;
        const QString n = QString::number(page);
        process.start("pdftotext", {"-layout", "-f", n, "-l", n, path, "-"});
        process.waitForFinished(30000);
        QStringList lines;
        for (const QString &line : QString::fromUtf8(process.readAllStandardOutput()).split('\n'))
            if (!line.simplified().isEmpty())
                lines << line.simplified();
        return lines;
    }

private slots:
    // US Letter pages, read from the file itself; fourteen rows on each, the fifteenth
    // starts a new page that repeats the header.
    void pages_data() {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("pages");
        QTest::newRow("0 rows") << 0 << 1;
        QTest::newRow("1 row") << 1 << 1;
        QTest::newRow("14 rows") << 14 << 1;
        QTest::newRow("15 rows") << 15 << 2;
    }
    void pages() {
        QFETCH(int, rows);
        QFETCH(int, pages);
        const QByteArray pdf = exportReport(makeRows(rows), "Visitor Log", fixedClock());
        QVERIFY(pdf.startsWith("%PDF-"));
        const QString text = QString::fromLatin1(pdf);
        QCOMPARE(text.count(QRegularExpression(R"(/Type\s*/Page(?![a-zA-Z]))")), pages);
        QCOMPARE(text.count("/MediaBox"), pages);
        QCOMPARE(text.count(QRegularExpression(
                     R"(/MediaBox\s*\[\s*0\s+0\s+612(\.0*)?\s+792(\.0*)?\s*\])")),
                 pages);

        if (QStandardPaths::findExecutable("pdftotext").isEmpty())
            QSKIP("pdftotext (poppler-utils) is needed to read the report's text");
        const QString total = rows == 1 ? "1 record" : QString("%1 records").arg(rows);
        QStringList names;
        for (int page = 1; page <= pages; ++page) {
            const QStringList lines = pageText(pdf, page);
            QVERIFY2(lines.size() >= 3, qPrintable(lines.join('|')));
            QCOMPARE(lines[0], QStringLiteral("Visitor Log"));
            QCOMPARE(lines[1], "Generated Mar 2, 2026 at 2:05 PM \u00B7 " + total);
            QCOMPARE(lines[2], QStringLiteral("VISITOR SIGNED IN SIGNED OUT"));
            for (const QString &line : lines.mid(3))
                names << line.section(' ', 0, 0);
            if (page == 1 && rows >= 2) {
                QCOMPARE(lines[3], QStringLiteral("Visitor1 Mar 1, 2026 at 9:30 AM On site"));
                QCOMPARE(lines[4], QStringLiteral("Visitor2 Mar 1, 2026 at 9:30 AM Mar 1, "
                                                  "2026 at 5:00 PM"));
            }
        }
        QStringList expected;
        for (const VisitorRow &row : makeRows(rows))
            expected << row.visitorName;
        QCOMPARE(names, expected);
    }

    // The abbreviated date and short time of the locale, in the clock's time zone.
    void dates() {
        const auto text = [](const char *locale, const QByteArray &zone) {
            Clock clock;
            clock.locale = QLocale(locale);
            clock.zone = QTimeZone(zone);
            return reportDateText(utc(1, 9, 30), clock);
        };
        QCOMPARE(text("en_US", "Asia/Tokyo"), "Mar 1, 2026 at 6:30 PM");
        QCOMPARE(text("de_DE", "UTC"), "1. März 2026, 09:30");
        QCOMPARE(text("C", "UTC"), "Mar 1, 2026 at 9:30 AM"); // reads as American English
    }
};

GW_TEST(ReportExportTest)
#include "ReportExportTest.moc"
