#include "support/TestMain.h"

#include "model/Export.h"

#include <QRegularExpression>
#include <QTest>

namespace {

// A small, strict reader of the CSV we promise: every cell quoted, "" for a quote inside,
// a comma between cells, CRLF between lines. Anything else reads as no rows at all.
QList<QStringList> readCsv(const QByteArray &bytes) {
    static const QRegularExpression cell(R"re("((?:[^"]|"")*)"(,|\r\n|$))re");
    const QString text = QString::fromUtf8(bytes);
    QList<QStringList> rows{{}};
    qsizetype at = 0;
    for (auto m = cell.match(text); m.hasMatch() && m.capturedStart() == at;
         m = cell.match(text, at)) {
        rows.last() << m.captured(1).replace(R"("")", R"(")");
        if (m.captured(2) == "\r\n")
            rows.append(QStringList());
        at = m.capturedEnd();
        if (m.captured(2).isEmpty())
            return at == text.size() ? rows : QList<QStringList>{};
    }
    return {};
}

VisitorRow visitor(const QString &name, QList<VisitorAnswer> answers = {}) {
    VisitorRow row;
    row.id = QUuid::createUuid();
    row.visitorName = name;
    row.answers = std::move(answers);
    row.signedInAt = QDateTime(QDate(2026, 3, 1), QTime(9, 30), QTimeZone::utc());
    return row;
}

const QStringList kFixedHead{"Name", "Visiting"};
const QStringList kFixedTail{"Signed in", "Signed out", "List", "Device"};

} // namespace

class CsvExportTest : public QObject {
    Q_OBJECT

private slots:
    // Answer columns in order of first appearance over all rows; labels compare exactly.
    void answerColumns_data() {
        QTest::addColumn<QList<VisitorRow>>("rows");
        QTest::addColumn<QStringList>("columns");
        QTest::addColumn<QList<QStringList>>("values");
        QTest::newRow("first appearance across rows")
            << QList<VisitorRow>{visitor("Ada", {{"Email", "ada@example.com"}}),
                                 visitor("Alan", {{"Company", "Bletchley"}, {"Email", "a@x.org"}})}
            << QStringList{"Email", "Company"}
            << QList<QStringList>{{"ada@example.com", ""}, {"a@x.org", "Bletchley"}};
        QTest::newRow("letter case makes another column")
            << QList<VisitorRow>{visitor("Ada", {{"Company", "Analytical"}, {"company", "Eng"}})}
            << QStringList{"Company", "company"} << QList<QStringList>{{"Analytical", "Eng"}};
        QTest::newRow("empty label is Answer")
            << QList<VisitorRow>{visitor("Ada", {{"", "blue"}}),
                                 visitor("Alan", {{"Answer", "red"}})}
            << QStringList{"Answer"} << QList<QStringList>{{"blue"}, {"red"}};
        QTest::newRow("same label twice in a row: first wins")
            << QList<VisitorRow>{visitor("Ada", {{"Phone", "111"}, {"Phone", "222"}})}
            << QStringList{"Phone"} << QList<QStringList>{{"111"}};
    }
    void answerColumns() {
        QFETCH(QList<VisitorRow>, rows);
        QFETCH(QStringList, columns);
        QFETCH(QList<QStringList>, values);
        const QList<QStringList> lines = readCsv(exportCSV(rows));
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
        for (const QString text :
             {"Ada \"Countess\" Lovelace", "\"", "Lovelace, Ada", "first\r\nsecond\nthird", "a=b+c",
              " =1", "'quoted", "Zoë 李小龍 🎉 \"x\""})
            QTest::newRow(qPrintable(text)) << text << text;
        for (const QString lead : {"=", "+", "-", "@", "\t", "\r"})
            QTest::newRow(qPrintable("starts with " + lead)) << lead + "1+1"
                                                             << "'" + lead + "1+1";
    }
    void cellText() {
        QFETCH(QString, text);
        QFETCH(QString, cell);
        VisitorRow row = visitor(text, {{text, text}});
        row.hostName = text;
        row.listName = text;
        row.deviceName = text;
        const QList<QStringList> lines = readCsv(exportCSV({row}));
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[1], (QStringList{cell, cell, cell, "2026-03-01T09:30:00Z", "", cell, cell}));
        // The header cell of that answer's label follows the same rule.
        QCOMPARE(lines[0][2], cell);
    }

    // Byte-level promises: UTF-8 without BOM, every cell quoted (empty ones as ""), CRLF
    // between lines and nothing after the last; timestamps in UTC with Z.
    void bytes() {
        const QByteArray header =
            "\"Name\",\"Visiting\",\"Signed in\",\"Signed out\",\"List\",\"Device\"";
        QCOMPARE(exportCSV({}), header);
        VisitorRow gone = visitor(QStringLiteral("Zoë"));
        gone.signedOutAt = QDateTime(QDate(2026, 3, 1), QTime(12, 5, 9, 999), QTimeZone(3600));
        QCOMPARE(exportCSV({visitor("Al"), gone}),
                 header + "\r\n\"Al\",\"\",\"2026-03-01T09:30:00Z\",\"\",\"\",\"\"" +
                     "\r\n\"Zo\xC3\xAB\",\"\",\"2026-03-01T09:30:00Z\",\"2026-03-01T11:05:09Z\","
                     "\"\",\"\"");
    }
};

GW_TEST(CsvExportTest)
#include "CsvExportTest.moc"
