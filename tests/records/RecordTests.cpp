// Decoding and encoding of the wire records, and the timestamp rules.

#include "support/TestMain.h"

#include "TestJson.h"
#include "model/Records.h"

#include <QJsonDocument>
#include <QTest>

namespace {

QDateTime utc(const QString &iso) {
    QDateTime moment = QDateTime::fromString(iso, Qt::ISODateWithMs);
    Q_ASSERT(moment.isValid());
    return moment.toUTC();
}

QJsonValue json(const QByteArray &text) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson("[" + text + "]", &error);
    Q_ASSERT(error.error == QJsonParseError::NoError);
    return document.array().at(0);
}

// The decoding error's text, or an empty string when decoding succeeded.
template <typename T> QString decodeError(const QByteArray &text) {
    try {
        T::fromJson(json(text));
    } catch (const DecodingError &error) {
        return error.description();
    }
    return {};
}

const QByteArray fullRow = J(
    "{'id':'6F9619FF-8B86-D011-B42D-00CF4FC964FF','visitor_name':'Ada Lovelace',"
    "    'host_name':'Grace','answers':[{'label':'Name','value':'Ada "
    "Lovelace'},{'label':'Email','value':'ada@example.com'}],"
    "    "
    "'signed_in_at':'2026-03-01T09:30:05.123456+00:00','signed_out_at':'2026-03-01T11:00:00+00:00',"
    "    'list_name':'Invited','device_name':'Front desk'}");

// fullRow with one key replaced (or removed, when `value` is empty).
QByteArray rowWith(const QString &key, const QByteArray &value) {
    QJsonObject object = json(fullRow).toObject();
    if (value.isEmpty())
        object.remove(key);
    else
        object.insert(key, json(value));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

class RecordTests : public QObject {
    Q_OBJECT

private slots:
    void parseTimestamp_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected"); // ISO in UTC with ms, or empty for no value

        QTest::newRow("six fraction digits, offset") << "2026-03-01T09:30:05.123456+00:00"
                                                     << "2026-03-01T09:30:05.123Z";
        QTest::newRow("six digits are cut, not rounded") << "2026-03-01T09:30:05.999999Z"
                                                         << "2026-03-01T09:30:05.999Z";
        QTest::newRow("three fraction digits, Z") << "2026-03-01T09:30:05.123Z"
                                                  << "2026-03-01T09:30:05.123Z";
        QTest::newRow("one fraction digit is tenths") << "2026-03-01T09:30:05.5Z"
                                                      << "2026-03-01T09:30:05.500Z";
        QTest::newRow("no fraction, offset") << "2026-03-01T09:30:05+00:00"
                                             << "2026-03-01T09:30:05.000Z";
        QTest::newRow("positive offset") << "2026-03-01T09:30:05+02:00"
                                         << "2026-03-01T07:30:05.000Z";
        QTest::newRow("negative half-hour offset") << "2026-03-01T09:30:05.250-03:30"
                                                   << "2026-03-01T13:00:05.250Z";
        QTest::newRow("offset across midnight") << "2026-03-01T23:30:00-05:00"
                                                << "2026-03-02T04:30:00.000Z";
        QTest::newRow("no offset") << "2026-03-01T09:30:05"
                                   << "";
        QTest::newRow("offset without colon") << "2026-03-01T09:30:05+0000"
                                              << "";
        QTest::newRow("space instead of T") << "2026-03-01 09:30:05Z"
                                            << "";
        QTest::newRow("date only") << "2026-03-01"
                                   << "";
        QTest::newRow("no such day") << "2026-02-30T09:30:05Z"
                                     << "";
        QTest::newRow("hour 24") << "2026-03-01T24:00:00Z"
                                 << "";
        QTest::newRow("empty fraction") << "2026-03-01T09:30:05.Z"
                                        << "";
        QTest::newRow("word") << "yesterday"
                              << "";
        QTest::newRow("empty") << ""
                               << "";
    }
    void parseTimestamp() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const std::optional<QDateTime> parsed = ::parseTimestamp(text);
        if (expected.isEmpty()) {
            QVERIFY2(!parsed, qPrintable(parsed ? parsed->toString(Qt::ISODateWithMs) : QString()));
        } else {
            QVERIFY(parsed);
            QCOMPARE(parsed->toUTC().toString(Qt::ISODateWithMs), expected);
            QCOMPARE(*parsed, utc(expected));
        }
    }

    void formatTimestamp_data() {
        QTest::addColumn<QDateTime>("moment");
        QTest::addColumn<QString>("expected");
        QTest::newRow("UTC, milliseconds dropped")
            << utc("2026-03-01T09:30:00.987Z") << "2026-03-01T09:30:00Z";
        QTest::newRow("offset written in UTC")
            << QDateTime(QDate(2026, 3, 1), QTime(23, 5, 9), Qt::OffsetFromUTC, -5 * 3600)
            << "2026-03-02T04:05:09Z";
        QTest::newRow("time zone written in UTC")
            << QDateTime(QDate(2026, 7, 1), QTime(8, 0), QTimeZone("Europe/Berlin"))
            << "2026-07-01T06:00:00Z";
        QTest::newRow("invalid") << QDateTime() << "";
    }
    void formatTimestamp() {
        QFETCH(QDateTime, moment);
        QFETCH(QString, expected);
        QCOMPARE(::formatTimestamp(moment), expected);
        if (!expected.isEmpty())
            QCOMPARE(::parseTimestamp(expected),
                     std::optional<QDateTime>(moment.toUTC().addMSecs(-moment.time().msec())));
    }

    void visitorRowDecodes() {
        const VisitorRow row = VisitorRow::fromJson(json(fullRow));
        VisitorRow expected;
        expected.id = QUuid::fromString(QStringLiteral("6f9619ff-8b86-d011-b42d-00cf4fc964ff"));
        expected.visitorName = QStringLiteral("Ada Lovelace");
        expected.hostName = QStringLiteral("Grace");
        expected.answers = {{"Name", "Ada Lovelace"}, {"Email", "ada@example.com"}};
        expected.signedInAt = utc("2026-03-01T09:30:05.123Z");
        expected.signedOutAt = utc("2026-03-01T11:00:00Z");
        expected.listName = QStringLiteral("Invited");
        expected.deviceName = QStringLiteral("Front desk");
        QCOMPARE(row, expected);
        QVERIFY(!row.isOnSite());
    }

    void visitorRowOptionalKeys_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("hasHost");
        QTest::addColumn<int>("answers");
        QTest::addColumn<bool>("onSite");
        QTest::addColumn<bool>("hasDevice");
        QTest::newRow("answers null") << rowWith("answers", "null") << true << 0 << false << true;
        QTest::newRow("answers absent") << rowWith("answers", {}) << true << 0 << false << true;
        QTest::newRow("host null") << rowWith("host_name", "null") << false << 2 << false << true;
        QTest::newRow("host absent") << rowWith("host_name", {}) << false << 2 << false << true;
        QTest::newRow("signed out null")
            << rowWith("signed_out_at", "null") << true << 2 << true << true;
        QTest::newRow("signed out unreadable stays on site")
            << rowWith("signed_out_at", "\"later\"") << true << 2 << true << true;
        QTest::newRow("device absent") << rowWith("device_name", {}) << true << 2 << false << false;
    }
    void visitorRowOptionalKeys() {
        QFETCH(QByteArray, text);
        const VisitorRow row = VisitorRow::fromJson(json(text));
        QTEST(row.hostName.has_value(), "hasHost");
        QTEST(int(row.answers.size()), "answers");
        QTEST(row.isOnSite(), "onSite");
        QTEST(row.deviceName.has_value(), "hasDevice");
    }

    void visitorRowFailures_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        QTest::newRow("signed_in_at missing")
            << rowWith("signed_in_at", {}) << "signed_in_at: Bad timestamp";
        QTest::newRow("signed_in_at null")
            << rowWith("signed_in_at", "null") << "signed_in_at: Bad timestamp";
        QTest::newRow("signed_in_at unreadable")
            << rowWith("signed_in_at", "\"2026-03-01 09:30\"") << "signed_in_at: Bad timestamp";
        QTest::newRow("signed_in_at a number")
            << rowWith("signed_in_at", "1772357405") << "signed_in_at: Bad timestamp";
        QTest::newRow("visitor_name missing")
            << rowWith("visitor_name", {}) << "visitor_name: missing";
        QTest::newRow("visitor_name null")
            << rowWith("visitor_name", "null") << "visitor_name: null where a value is required";
        QTest::newRow("visitor_name a number")
            << rowWith("visitor_name", "42") << "visitor_name: expected a string, found a number";
        QTest::newRow("id not a UUID") << rowWith("id", "\"visitor-7\"") << "id: not a UUID";
        QTest::newRow("id missing") << rowWith("id", {}) << "id: missing";
        QTest::newRow("host_name wrong type")
            << rowWith("host_name", "true") << "host_name: expected a string, found a boolean";
        QTest::newRow("answers an object")
            << rowWith("answers", "{}") << "answers: expected an array, found an object";
        QTest::newRow("answer without label")
            << rowWith("answers", J("[{'label':'a','value':'b'},{'value':'c'}]"))
            << "answers[1].label: missing";
        QTest::newRow("not an object") << QByteArray("[]") << "expected a JSON object";
    }
    void visitorRowFailures() {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        QCOMPARE(decodeError<VisitorRow>(text), error);
    }

    void arrayBodies_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("rows");      // -1: decoding fails
        QTest::addColumn<QString>("error"); // part of the error text
        QTest::newRow("empty array") << QByteArray("[]") << 0 << "";
        QTest::newRow("two rows") << "[" + fullRow + "," + fullRow + "]" << 2 << "";
        QTest::newRow("one bad row fails all")
            << "[" + fullRow + "," + rowWith("signed_in_at", "\"soon\"") + "]" << -1
            << "signed_in_at: Bad timestamp";
        QTest::newRow("object instead of array") << QByteArray("{}") << -1 << "not a JSON array";
        QTest::newRow("not JSON") << QByteArray("<html>") << -1 << "not valid JSON";
        QTest::newRow("empty body") << QByteArray() << -1 << "not valid JSON";
    }
    void arrayBodies() {
        QFETCH(QByteArray, body);
        QFETCH(int, rows);
        QFETCH(QString, error);
        try {
            const QList<VisitorRow> decoded = decodeArray<VisitorRow>(body);
            QCOMPARE(int(decoded.size()), rows);
        } catch (const DecodingError &e) {
            QCOMPARE(rows, -1);
            QVERIFY2(e.description().contains(error), qPrintable(e.description()));
        }
    }

    void newVisitorEncoding_data() {
        QTest::addColumn<std::optional<QString>>("host");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("host")
            << std::optional<QString>("Grace Hopper")
            << QByteArray(J(
                   "{'owner_id':'0b6c1a3e-5f2d-4c8e-9a71-3d2e4f5a6b7c','device_record_id':'rec-1',"
                   "'visitor_name':'Ada \\\"A\\\" L','host_name':'Grace Hopper',"
                   "'answers':[{'label':'Name','value':'Ada \\\"A\\\" L'}],"
                   "'signed_in_at':'2026-03-01T09:30:00Z','device_name':'Front desk'}"));
        QTest::newRow("no host is null, never omitted")
            << std::optional<QString>()
            << QByteArray(J(
                   "{'owner_id':'0b6c1a3e-5f2d-4c8e-9a71-3d2e4f5a6b7c','device_record_id':'rec-1',"
                   "'visitor_name':'Ada \\\"A\\\" L','host_name':null,"
                   "'answers':[{'label':'Name','value':'Ada \\\"A\\\" L'}],"
                   "'signed_in_at':'2026-03-01T09:30:00Z','device_name':'Front desk'}"));
    }
    void newVisitorEncoding() {
        QFETCH(std::optional<QString>, host);
        NewVisitor visitor;
        visitor.ownerID = QUuid::fromString(QStringLiteral("0B6C1A3E-5F2D-4C8E-9A71-3D2E4F5A6B7C"));
        visitor.deviceRecordID = QStringLiteral("rec-1");
        visitor.visitorName = QStringLiteral("Ada \"A\" L");
        visitor.hostName = host;
        visitor.answers = {{"Name", "Ada \"A\" L"}};
        visitor.signedInAt = utc("2026-03-01T09:30:00.456Z");
        visitor.deviceName = QStringLiteral("Front desk");
        QTEST(visitor.toJson(), "expected");
        QVERIFY(QJsonDocument::fromJson(visitor.toJson()).isObject());
    }

    void kioskSettingsEncoding() {
        KioskSettings settings = KioskSettings::defaults();
        QJsonObject written = settings.toJson();
        QVERIFY(!written.contains("place_name"));
        QCOMPARE(written.keys(), (QStringList{"employees", "fields"}));
        QCOMPARE(written.value("fields").toArray().at(1).toObject(),
                 (QJsonObject{{"slot", 1},
                              {"label", "Email"},
                              {"type", "Email"},
                              {"required", false},
                              {"employee_list", false}}));
        QCOMPARE(KioskSettings::fromJson(written), settings);

        settings.placeName = QStringLiteral("Main lobby");
        settings.employees = {"Grace Hopper", "Alan Turing"};
        written = settings.toJson();
        QCOMPARE(written.value("place_name").toString(), QStringLiteral("Main lobby"));
        QCOMPARE(KioskSettings::fromJson(written), settings);
    }

    void settingsDecoding_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        const QByteArray field = J(
            "{'slot':0,'label':'Name','type':'Plain Text','required':true,'employee_list':false}");
        QTest::newRow("no place name") << J("{'fields':[") + field + J("],'employees':[]}") << "";
        QTest::newRow("place name null")
            << J("{'fields':[],'employees':['A'],'place_name':null}") << "";
        QTest::newRow("no employees") << J("{'fields':[]}") << "employees: missing";
        QTest::newRow("employees null")
            << J("{'fields':[],'employees':null}") << "employees: null where a value is required";
        QTest::newRow("employee not a string") << J("{'fields':[],'employees':['A',3]}")
                                               << "employees[1]: expected a string, found a number";
        QTest::newRow("no fields") << J("{'employees':[]}") << "fields: missing";
        QTest::newRow("field without employee_list")
            << J("{'fields':[{'slot':0,'label':'Name','type':'Plain "
                 "Text','required':true}],'employees':[]}")
            << "fields[0].employee_list: missing";
        QTest::newRow("fractional slot")
            << J("{'fields':[{'slot':1.5,'label':'Name','type':'Plain "
                 "Text','required':true,'employee_list':false}],'employees':[]}")
            << "fields[0].slot: expected an integer, found 1.5";
        QTest::newRow("required as text")
            << J("{'fields':[{'slot':1,'label':'Name','type':'Plain "
                 "Text','required':'yes','employee_list':false}],'employees':[]}")
            << "fields[0].required: expected a boolean, found a string";
    }
    void settingsDecoding() {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        QCOMPARE(decodeError<KioskSettings>(text), error);
    }

    void notificationSettings_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        QTest::newRow("complete")
            << QByteArray(J("{'office_webhook':'','notify_sign_in':true,"
                            "            'notify_sign_out':false,'employee_webhooks':{'Grace "
                            "Hopper':'https://hooks.example/1'}}"))
            << "";
        QTest::newRow("no employee webhooks")
            << QByteArray(J("{'office_webhook':'','notify_sign_in':true,'notify_sign_out':false}"))
            << "employee_webhooks: missing";
        QTest::newRow("webhook not a string")
            << QByteArray(J("{'office_webhook':'','notify_sign_in':true,'notify_sign_out':false,"
                            "                'employee_webhooks':{'Grace':1}}"))
            << "employee_webhooks.Grace: expected a string, found a number";
        QTest::newRow("office webhook null")
            << QByteArray(J("{'office_webhook':null,'notify_sign_in':true,'notify_sign_out':false,"
                            "                'employee_webhooks':{}}"))
            << "office_webhook: null where a value is required";
    }
    void notificationSettings() {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        QCOMPARE(decodeError<NotificationSettings>(text), error);
        if (error.isEmpty()) {
            const NotificationSettings settings = NotificationSettings::fromJson(json(text));
            QCOMPARE(settings.employeeWebhooks.value("Grace Hopper"),
                     QStringLiteral("https://hooks.example/1"));
            QCOMPARE(NotificationSettings::fromJson(settings.toJson()), settings);
        }
    }

    void fieldTypes_data() {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<FieldType>("type");
        QTest::newRow("Plain Text") << "Plain Text" << FieldType::plainText;
        QTest::newRow("Numeric") << "Numeric" << FieldType::numeric;
        QTest::newRow("Email") << "Email" << FieldType::email;
        QTest::newRow("Phone") << "Phone" << FieldType::phone;
        QTest::newRow("lower-case email") << "email" << FieldType::plainText;
        QTest::newRow("Checkbox") << "Checkbox" << FieldType::plainText;
        QTest::newRow("empty") << "" << FieldType::plainText;
    }
    void fieldTypes() {
        QFETCH(QString, raw);
        QFETCH(FieldType, type);
        QCOMPARE(fieldTypeFromRaw(raw), type);
    }

    void inviteAnswers() {
        QCOMPARE((InviteAnswer{3, std::nullopt, "x"}.toJson()),
                 (QJsonObject{{"slot", 3}, {"value", "x"}}));
        QCOMPARE((InviteAnswer{3, QString("Company"), "x"}.toJson()),
                 (QJsonObject{{"slot", 3}, {"label", "Company"}, {"value", "x"}}));
        QCOMPARE(InviteAnswer::fromJson(json(J("{'slot':2,'label':null,'value':'v'}"))),
                 (InviteAnswer{2, std::nullopt, "v"}));
        QCOMPARE(decodeError<InviteAnswer>(J("{'label':'a','value':'v'}")), "slot: missing");
    }

    void inviteDecoding_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        const QByteArray base = J("'id':'0b6c1a3e-5f2d-4c8e-9a71-3d2e4f5a6b7c','token':'tok',"
                                  "'visitor_name':'Ada','visitor_email':'ada@example.com',"
                                  "'created_at':'2026-02-20T10:00:00.123456+00:00'");
        QTest::newRow("minimal") << "{" + base + J(",'answers':[]}") << "";
        QTest::newRow("everything")
            << "{" + base +
                   J(",'answers':[{'slot':0,'value':'Ada'}],'visit_date':'2026-03-01',"
                     "'visit_time':'14:30','note':'Bring "
                     "ID','used_at':'2026-03-01T14:35:00+00:00'}")
            << "";
        QTest::newRow("answers missing") << "{" + base + "}"
                                         << "answers: missing";
        QTest::newRow("answers null")
            << "{" + base + J(",'answers':null}") << "answers: null where a value is required";
        QTest::newRow("token missing")
            << QByteArray(J("{'id':'0b6c1a3e-5f2d-4c8e-9a71-3d2e4f5a6b7c','visitor_name':'Ada',"
                            "                'visitor_email':'a@b','created_at':'x','answers':[]}"))
            << "token: missing";
        QTest::newRow("visit_date a number")
            << "{" + base + J(",'answers':[],'visit_date':20260301}")
            << "visit_date: expected a string, found a number";
    }
    void inviteDecoding() {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        QCOMPARE(decodeError<Invite>(text), error);
        if (error.isEmpty()) {
            const Invite invite = Invite::fromJson(json(text));
            QCOMPARE(invite.token, QStringLiteral("tok"));
            // created_at stays the server's text.
            QCOMPARE(invite.createdAt, QStringLiteral("2026-02-20T10:00:00.123456+00:00"));
        }
    }

    void newInviteEncoding_data() {
        QTest::addColumn<NewInvite>("invite");
        QTest::addColumn<QJsonObject>("expected");
        NewInvite bare;
        bare.email = QStringLiteral("ada@example.com");
        bare.answers = {{0, "Ada"}, {4, "Acme"}};
        const QJsonArray answers{QJsonObject{{"slot", 0}, {"value", "Ada"}},
                                 QJsonObject{{"slot", 4}, {"value", "Acme"}}};
        QTest::newRow("optional keys omitted")
            << bare << QJsonObject{{"answers", answers}, {"email", "ada@example.com"}};
        NewInvite full = bare;
        full.visitDate = QStringLiteral("2026-03-01");
        full.visitTime = QStringLiteral("14:30");
        full.note = QString(); // present but empty is still written
        QTest::newRow("all keys") << full
                                  << QJsonObject{{"answers", answers},
                                                 {"email", "ada@example.com"},
                                                 {"visit_date", "2026-03-01"},
                                                 {"visit_time", "14:30"},
                                                 {"note", ""}};
    }
    void newInviteEncoding() {
        QFETCH(NewInvite, invite);
        QFETCH(QJsonObject, expected);
        const QJsonDocument document = QJsonDocument::fromJson(invite.toJson());
        QCOMPARE(document.object(), expected);
    }
};

GW_TEST(RecordTests)

#include "RecordTests.moc"
