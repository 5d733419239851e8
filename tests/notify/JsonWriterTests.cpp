#include "support/TestMain.h"

#include "notify/JsonWriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {
QJsonValue parsed(const QByteArray &text) {
    return QJsonDocument::fromJson('[' + text + ']').array().at(0);
}
} // namespace

class JsonWriterTests : public QObject {
    Q_OBJECT
private slots:
    void sortedAndCompact() {
        const QJsonObject object{{"visitor", "V"},
                                 {"b", QJsonObject{{"z", true}, {"a", QJsonValue::Null}}},
                                 {"$schema", "x"},
                                 {"B", QJsonArray{1, 2.5, false}},
                                 {QStringLiteral("\u00E9"), QJsonArray{}},
                                 {QStringLiteral("\U0001F600"), 0},
                                 {QStringLiteral("\uFF21"), 0}};
        const QByteArray text = compactJson(object);
        // Code-point order: ASCII, then é, then the full-width A, then the emoji.
        QCOMPARE(text, QStringLiteral("{\"$schema\":\"x\",\"B\":[1,2.5,false],\"b\":{\"a\":null,"
                                      "\"z\":true},\"visitor\":\"V\",\"\u00E9\":[],\"\uFF21\":0,"
                                      "\"\U0001F600\":0}")
                           .toUtf8());
        // QJsonObject's == depends on its internal key order; compare as maps.
        QCOMPARE(parsed(text).toObject().toVariantMap(), object.toVariantMap());
    }

    void strings_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("slashes") << "https://h/x" << QByteArray("\"https:\\/\\/h\\/x\"");
        QTest::newRow("quote, backslash") << "\"q\" \\/" << QByteArray("\"\\\"q\\\" \\\\\\/\"");
        QTest::newRow("line breaks, tabs")
            << "a\nb\r\tc\b\f" << QByteArray("\"a\\nb\\r\\tc\\b\\f\"");
        QTest::newRow("other controls") << QString::fromUtf8("\x00\x01\x1f\x7f", 4)
                                        << QByteArray("\"\\u0000\\u0001\\u001f\x7f\"");
        QTest::newRow("non-ASCII stays UTF-8")
            << QStringLiteral("Zo\u00EB \u00B7 \u65E5 \U0001F600\u2028")
            << QStringLiteral("\"Zo\u00EB \u00B7 \u65E5 \U0001F600\u2028\"").toUtf8();
    }
    void strings() {
        QFETCH(QString, value);
        QFETCH(QByteArray, written);
        QCOMPARE(compactJson(value), written);
        const QJsonObject keyed{{value, value}}; // keys are escaped the same way
        QCOMPARE(parsed(compactJson(keyed)), QJsonValue(keyed));
    }
};

GW_TEST(JsonWriterTests)
#include "JsonWriterTests.moc"
