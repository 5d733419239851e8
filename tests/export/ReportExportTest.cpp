#include "support/TestMain.h"

#include "model/Export.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

QDateTime utc(int year, int month, int day, int hour, int minute) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute), QTimeZone::utc());
}

Clock fixedClock(const char *locale = "en_US", const QByteArray &zone = "UTC") {
    Clock clock;
    clock.now = [] { return utc(2026, 3, 2, 14, 5); };
    clock.zone = QTimeZone(zone);
    clock.locale = QLocale(QString::fromLatin1(locale));
    return clock;
}

QList<VisitorRow> makeRows(int count) {
    QList<VisitorRow> rows;
    for (int i = 0; i < count; ++i) {
        VisitorRow row;
        row.id = QUuid::createUuid();
        row.visitorName = QStringLiteral("Visitor%1 Example").arg(i + 1);
        row.signedInAt = utc(2026, 3, 1, 9, 30).addSecs(i * 60);
        if (i % 2)
            row.signedOutAt = row.signedInAt.addSecs(3600);
        rows.append(row);
    }
    return rows;
}

// The page objects of a PDF and their media boxes, read from the file itself.
struct PdfPages {
    int count = 0;
    QStringList mediaBoxes;
};

PdfPages readPages(const QByteArray &pdf) {
    PdfPages pages;
    static const QRegularExpression page(QStringLiteral("/Type\\s*/Page(?![a-zA-Z])"));
    static const QRegularExpression box(QStringLiteral("/MediaBox\\s*\\[\\s*([0-9. ]+?)\\s*\\]"));
    const QString text = QString::fromLatin1(pdf);
    for (auto it = page.globalMatch(text); it.hasNext(); it.next())
        ++pages.count;
    for (auto it = box.globalMatch(text); it.hasNext();)
        pages.mediaBoxes << it.next().captured(1).simplified();
    return pages;
}

struct Word {
    QString text;
    QRectF box;
};

} // namespace

class ReportExportTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    static bool havePdftotext() {
        return !QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty();
    }

    // Every word of one page with its box in points from the top-left corner (pdftotext).
    QList<Word> words(const QByteArray &pdf, int page) {
        const QString path = m_dir.filePath(QStringLiteral("report.pdf"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(pdf) != pdf.size())
            return {};
        file.close();
        QProcess process;
        process.start(QStringLiteral("pdftotext"), {"-bbox", "-f", QString::number(page), "-l",
                                                    QString::number(page), path, "-"});
        process.waitForFinished(30000);
        const QString html = QString::fromUtf8(process.readAllStandardOutput());
        static const QRegularExpression word(QStringLiteral(
            "<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" yMax=\"([0-9.]+)\">"
            "([^<]*)</word>"));
        QList<Word> result;
        for (auto it = word.globalMatch(html); it.hasNext();) {
            const auto m = it.next();
            result.append({m.captured(5).replace(QLatin1String("&amp;"), QLatin1String("&")),
                           QRectF(QPointF(m.captured(1).toDouble(), m.captured(2).toDouble()),
                                  QPointF(m.captured(3).toDouble(), m.captured(4).toDouble()))});
        }
        return result;
    }

    static QString line(const QList<Word> &words, qreal top, qreal left = 0, qreal right = 612) {
        QStringList texts;
        for (const Word &w : words)
            if (qAbs(w.box.top() - top) < 1.5 && w.box.left() >= left - 0.5 && w.box.left() < right)
                texts << w.text;
        return texts.join(QLatin1Char(' '));
    }

private slots:
    // US Letter pages; fourteen rows on each, the fifteenth starts a new page.
    void pages_data() {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("pages");
        QTest::newRow("0 rows") << 0 << 1;
        QTest::newRow("1 row") << 1 << 1;
        QTest::newRow("14 rows") << 14 << 1;
        QTest::newRow("15 rows") << 15 << 2;
        QTest::newRow("28 rows") << 28 << 2;
        QTest::newRow("29 rows") << 29 << 3;
    }
    void pages() {
        QFETCH(int, rows);
        QFETCH(int, pages);
        const QByteArray pdf =
            exportReport(makeRows(rows), QStringLiteral("Visitor Log"), fixedClock());
        QVERIFY(pdf.startsWith("%PDF-"));
        const PdfPages read = readPages(pdf);
        QCOMPARE(read.count, pages);
        QCOMPARE(read.mediaBoxes.size(), pages);
        for (const QString &box : read.mediaBoxes) {
            QList<double> numbers;
            for (const QString &n : box.split(QLatin1Char(' ')))
                numbers << n.toDouble();
            QCOMPARE(numbers, (QList<double>{0, 0, 612, 792}));
        }

        if (!havePdftotext())
            QSKIP("pdftotext (poppler-utils) is needed to read the report's text");
        // The header, with the total, on every page; the rows in order across pages.
        const QString total =
            rows == 1 ? QStringLiteral("1 record") : QStringLiteral("%1 records").arg(rows);
        int row = 0;
        for (int page = 1; page <= pages; ++page) {
            const QList<Word> all = words(pdf, page);
            QCOMPARE(line(all, 36), QStringLiteral("Visitor Log"));
            QCOMPARE(line(all, 56),
                     QStringLiteral("Generated Mar 2, 2026 at 2:05 PM \u00B7 ") + total);
            QCOMPARE(line(all, 80), QStringLiteral("VISITOR SIGNED IN SIGNED OUT"));
            for (int slot = 0; slot < 14 && row < rows; ++slot, ++row) {
                const qreal top = 102 + 44 * slot;
                QCOMPARE(line(all, top, 36, 336), QStringLiteral("Visitor%1 Example").arg(row + 1));
                const QTime in = QTime(9, 30).addSecs(row * 60);
                QCOMPARE(line(all, top, 336, 456),
                         QStringLiteral("Mar 1, 2026 at ") +
                             QLocale(QStringLiteral("en_US")).toString(in, "h:mm AP"));
                QCOMPARE(
                    line(all, top, 456),
                    row % 2
                        ? QStringLiteral("Mar 1, 2026 at ") +
                              QLocale(QStringLiteral("en_US")).toString(in.addSecs(3600), "h:mm AP")
                        : QStringLiteral("On site"));
            }
        }
        QCOMPARE(row, rows);
    }

    // The detail line: host, then every answer as stored, joined by three spaces, wrapped
    // within 290 points and two lines, the last one cut with an ellipsis.
    void detailLine() {
        if (!havePdftotext())
            QSKIP("pdftotext (poppler-utils) is needed to read the report's text");
        VisitorRow short1 = makeRows(1)[0];
        short1.hostName = QStringLiteral("Grace Hopper");
        short1.answers = {{"Company", "Navy"}, {"", "unlabelled"}};
        VisitorRow long1 = makeRows(1)[0];
        long1.visitorName = QStringLiteral("Long Detail");
        for (int i = 0; i < 12; ++i)
            long1.answers.append({QStringLiteral("Question%1").arg(i), QStringLiteral("answer")});
        VisitorRow longName = makeRows(1)[0];
        longName.visitorName =
            QString(8, QLatin1Char(' '))
                .replace(QLatin1Char(' '), QStringLiteral("Wolfeschlegelstein "));
        const QByteArray pdf = exportReport({short1, long1, longName}, "Visitor Log", fixedClock());
        const QList<Word> all = words(pdf, 1);

        QCOMPARE(line(all, 116, 36, 336),
                 QStringLiteral("Visiting: Grace Hopper Company: Navy : unlabelled"));
        // Two lines of detail within the row, the second ending in an ellipsis.
        const QString first = line(all, 160, 36, 336), second = line(all, 160 + 10.5, 36, 336);
        QVERIFY2(first.startsWith("Question0: answer"), qPrintable(first));
        QVERIFY2(second.endsWith(QChar(0x2026)), qPrintable(second));
        QVERIFY(!line(all, 160 + 21, 36, 336).contains("Question"));
        // Nothing from the detail or a long name runs into the date columns.
        for (const Word &w : all)
            if (w.box.top() > 100 && w.box.left() < 336)
                QVERIFY2(w.box.right() <= 330, qPrintable(w.text));
        QVERIFY(line(all, 190, 36, 336).startsWith("Wolfeschlegelstein"));
    }

    // The abbreviated date and short time of the locale, in the clock's time zone.
    void dates_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("zone");
        QTest::addColumn<QString>("text");
        QTest::newRow("en_US") << "en_US"
                               << "UTC"
                               << "Mar 1, 2026 at 9:30 AM";
        QTest::newRow("en_US, New York") << "en_US"
                                         << "America/New_York"
                                         << "Mar 1, 2026 at 4:30 AM";
        QTest::newRow("en_US, Tokyo") << "en_US"
                                      << "Asia/Tokyo"
                                      << "Mar 1, 2026 at 6:30 PM";
        QTest::newRow("en_GB") << "en_GB"
                               << "UTC"
                               << "1 Mar 2026 at 09:30";
        QTest::newRow("de_DE") << "de_DE"
                               << "UTC"
                               << "1. März 2026, 09:30";
        QTest::newRow("fr_FR") << "fr_FR"
                               << "UTC"
                               << "1 mars 2026, 09:30";
        QTest::newRow("C locale reads as American English") << "C"
                                                            << "UTC"
                                                            << "Mar 1, 2026 at 9:30 AM";
    }
    void dates() {
        QFETCH(QString, locale);
        QFETCH(QString, zone);
        QFETCH(QString, text);
        Clock clock;
        clock.locale = QLocale(locale);
        clock.zone = QTimeZone(zone.toUtf8());
        QCOMPARE(reportDateText(utc(2026, 3, 1, 9, 30), clock), text);
    }
};

GW_TEST(ReportExportTest)
#include "ReportExportTest.moc"
