#include "support/TestMain.h"

#include "model/Export.h"

#include <QTest>

namespace {

// A small, strict reader of the CSV we promise: every cell quoted, "" for a quote inside,
// CRLF between lines. Returns no rows and sets `error` on anything else.
QList<QStringList> readCsv(const QByteArray &bytes, QString *error) {
    const QString text = QString::fromUtf8(bytes);
    QList<QStringList> rows;
    QStringList row;
    QString cell;
    enum { cellStart, inQuotes, afterQuotes } state = cellStart;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        switch (state) {
        case cellStart:
            if (c != u'"') {
                *error = QStringLiteral("unquoted cell at %1").arg(i);
                return {};
            }
            state = inQuotes;
            break;
        case inQuotes:
            if (c == u'"' && i + 1 < text.size() && text[i + 1] == u'"') {
                cell += u'"';
                ++i;
            } else if (c == u'"') {
                state = afterQuotes;
            } else {
                cell += c;
            }
            break;
        case afterQuotes:
            row.append(cell);
            cell.clear();
            state = cellStart;
            if (c == u',')
                break;
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
                rows.append(row);
                row.clear();
                ++i;
                break;
            }
            *error = QStringLiteral("unexpected %1 after a cell at %2").arg(c).arg(i);
            return {};
        }
    }
    if (state != afterQuotes) {
        *error = QStringLiteral("text ends inside a cell or after a separator");
        return {};
    }
    row.append(cell);
    rows.append(row);
    return rows;
}

QDateTime utc(int year, int month, int day, int hour, int minute, int second = 0, int ms = 0) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second, ms), QTimeZone::utc());
}

VisitorRow visitor(const QString &name, QList<VisitorAnswer> answers = {}) {
    VisitorRow row;
    row.id = QUuid::createUuid();
    row.visitorName = name;
    row.answers = std::move(answers);
    row.signedInAt = utc(2026, 3, 1, 9, 30);
    return row;
}

const QStringList kFixedHead{"Name", "Visiting"};
const QStringList kFixedTail{"Signed in", "Signed out", "List", "Device"};

} // namespace

class CsvExportTest : public QObject {
    Q_OBJECT

    static QList<QStringList> read(const QList<VisitorRow> &rows) {
        QString error;
        const QList<QStringList> lines = readCsv(exportCSV(rows), &error);
        if (!error.isEmpty())
            qWarning("%s", qPrintable(error));
        return lines;
    }

private slots:
    // Answer columns in order of first appearance over all rows; labels compare exactly.
    void answerColumns_data() {
        QTest::addColumn<QList<VisitorRow>>("rows");
        QTest::addColumn<QStringList>("columns");
        QTest::addColumn<QList<QStringList>>("values");
        QTest::newRow("no answers")
            << QList<VisitorRow>{visitor("Ada")} << QStringList{} << QList<QStringList>{{}};
        QTest::newRow("first appearance across rows")
            << QList<VisitorRow>{visitor("Ada", {{"Email", "ada@example.com"}}),
                                 visitor("Alan",
                                         {{"Company", "Bletchley"}, {"Email", "alan@x.org"}})}
            << QStringList{"Email", "Company"}
            << QList<QStringList>{{"ada@example.com", ""}, {"alan@x.org", "Bletchley"}};
        QTest::newRow("letter case makes another column")
            << QList<VisitorRow>{visitor("Ada",
                                         {{"Company", "Analytical"}, {"company", "Engines"}})}
            << QStringList{"Company", "company"} << QList<QStringList>{{"Analytical", "Engines"}};
        QTest::newRow("empty label is Answer")
            << QList<VisitorRow>{visitor("Ada", {{"", "blue"}}),
                                 visitor("Alan", {{"Answer", "red"}})}
            << QStringList{"Answer"} << QList<QStringList>{{"blue"}, {"red"}};
        QTest::newRow("same label twice in a row: first wins")
            << QList<VisitorRow>{visitor("Ada", {{"Phone", "111"}, {"Phone", "222"}})}
            << QStringList{"Phone"} << QList<QStringList>{{"111"}};
        QTest::newRow("label like a fixed header")
            << QList<VisitorRow>{visitor("Ada", {{"Name", "Countess"}})} << QStringList{"Name"}
            << QList<QStringList>{{"Countess"}};
    }
    void answerColumns() {
        QFETCH(QList<VisitorRow>, rows);
        QFETCH(QStringList, columns);
        QFETCH(QList<QStringList>, values);
        const QList<QStringList> lines = read(rows);
        QCOMPARE(lines.size(), rows.size() + 1);
        QCOMPARE(lines[0], kFixedHead + columns + kFixedTail);
        for (qsizetype i = 0; i < rows.size(); ++i) {
            QCOMPARE(lines[i + 1].size(), lines[0].size());
            QCOMPARE(lines[i + 1].mid(2, columns.size()), values[i]);
        }
    }

    // Whatever a cell holds comes back as the same text, apart from the apostrophe that
    // keeps a spreadsheet from running it as a formula.
    void cellText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cell");
        QTest::newRow("plain") << "Ada Lovelace"
                               << "Ada Lovelace";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("quotes") << "Ada \"Countess\" Lovelace"
                                << "Ada \"Countess\" Lovelace";
        QTest::newRow("only a quote") << "\""
                                      << "\"";
        QTest::newRow("comma") << "Lovelace, Ada"
                               << "Lovelace, Ada";
        QTest::newRow("line breaks") << "first\r\nsecond\nthird"
                                     << "first\r\nsecond\nthird";
        QTest::newRow("equals") << "=HYPERLINK(\"http://x\")"
                                << "'=HYPERLINK(\"http://x\")";
        QTest::newRow("plus") << "+1 555 0100"
                              << "'+1 555 0100";
        QTest::newRow("minus") << "-2+3"
                               << "'-2+3";
        QTest::newRow("at") << "@SUM(A1)"
                            << "'@SUM(A1)";
        QTest::newRow("tab") << "\t=1"
                             << "'\t=1";
        QTest::newRow("carriage return") << "\r=1"
                                         << "'\r=1";
        QTest::newRow("formula later in the text") << "a=b+c"
                                                   << "a=b+c";
        QTest::newRow("leading space") << " =1"
                                       << " =1";
        QTest::newRow("apostrophe already") << "'quoted"
                                            << "'quoted";
        QTest::newRow("non-ASCII") << "Zoë Ångström 李小龍 🎉"
                                   << "Zoë Ångström 李小龍 🎉";
        QTest::newRow("non-ASCII then quote") << "é\"x\""
                                              << "é\"x\"";
    }
    void cellText() {
        QFETCH(QString, text);
        QFETCH(QString, cell);
        VisitorRow row = visitor(text, {{text, text}});
        row.hostName = text;
        row.listName = text;
        row.deviceName = text;
        const QList<QStringList> lines = read({row});
        QCOMPARE(lines.size(), 2);
        const QStringList expected{cell, cell, cell, "2026-03-01T09:30:00Z", "", cell, cell};
        QCOMPARE(lines[1], expected);
        // The header cell of that answer's label follows the same rule.
        QCOMPARE(lines[0][2], text.isEmpty() ? QStringLiteral("Answer") : cell);
    }

    void optionalFields() {
        VisitorRow here = visitor("Ada");
        VisitorRow gone = visitor("Alan");
        gone.hostName = "Charles Babbage";
        gone.signedOutAt = utc(2026, 3, 1, 17, 5, 9);
        gone.listName = "Contractors";
        gone.deviceName = "Lobby iPad";
        const QList<QStringList> lines = read({here, gone});
        QCOMPARE(lines[1], (QStringList{"Ada", "", "2026-03-01T09:30:00Z", "", "", ""}));
        QCOMPARE(lines[2], (QStringList{"Alan", "Charles Babbage", "2026-03-01T09:30:00Z",
                                        "2026-03-01T17:05:09Z", "Contractors", "Lobby iPad"}));
    }

    // UTC with whole seconds and Z, exactly as timestamps are sent to the backend.
    void timestamps_data() {
        QTest::addColumn<QDateTime>("moment");
        QTest::addColumn<QString>("text");
        QTest::newRow("UTC") << utc(2026, 3, 1, 9, 30) << "2026-03-01T09:30:00Z";
        QTest::newRow("milliseconds dropped")
            << utc(2026, 12, 31, 23, 59, 59, 999) << "2026-12-31T23:59:59Z";
        QTest::newRow("offset") << QDateTime(QDate(2026, 3, 1), QTime(1, 0), QTimeZone(-5 * 3600))
                                << "2026-03-01T06:00:00Z";
        QTest::newRow("named zone, day changes")
            << QDateTime(QDate(2026, 7, 1), QTime(8, 15, 1), QTimeZone("Pacific/Auckland"))
            << "2026-06-30T20:15:01Z";
        QTest::newRow("leap day") << utc(2028, 2, 29, 0, 0) << "2028-02-29T00:00:00Z";
        QTest::newRow("before 1970 with milliseconds")
            << utc(1969, 12, 31, 23, 59, 59, 500) << "1969-12-31T23:59:59Z";
        QTest::newRow("year 1") << utc(1, 1, 1, 0, 0, 1) << "0001-01-01T00:00:01Z";
    }
    void timestamps() {
        QFETCH(QDateTime, moment);
        QFETCH(QString, text);
        VisitorRow row = visitor("Ada");
        row.signedInAt = moment;
        row.signedOutAt = moment;
        const QList<QStringList> lines = read({row});
        QCOMPARE(lines[1][2], text);
        QCOMPARE(lines[1][3], text);
        QCOMPARE(lines[1][2], formatTimestamp(moment));
    }

    // Byte-level promises: UTF-8 without BOM, every cell quoted (empty ones as ""), CRLF
    // between lines and nothing after the last.
    void bytes() {
        const QByteArray header =
            "\"Name\",\"Visiting\",\"Signed in\",\"Signed out\",\"List\",\"Device\"";
        QCOMPARE(exportCSV({}), header);

        VisitorRow row = visitor(QStringLiteral("Zoë"));
        const QByteArray csv = exportCSV({row, row});
        QVERIFY(!csv.startsWith("\xEF\xBB\xBF"));
        QCOMPARE(csv, header + "\r\n\"Zo\xC3\xAB\",\"\",\"2026-03-01T09:30:00Z\",\"\",\"\",\"\"" +
                          "\r\n\"Zo\xC3\xAB\",\"\",\"2026-03-01T09:30:00Z\",\"\",\"\",\"\"");
    }
};

GW_TEST(CsvExportTest)
#include "CsvExportTest.moc"
