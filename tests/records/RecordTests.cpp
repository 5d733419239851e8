// Decoding and encoding of the wire records, the timestamp rules, and what an invite shows.

#include "support/TestMain.h"

#include "QuotedJson.h"
#include "records/Records.h"

#include <QJsonDocument>
#include <QTest>

namespace {

QJsonValue json(const QByteArray &text) {
    return QJsonDocument::fromJson("[" + text + "]").array().at(0);
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

const QByteArray fullRow =
    J("{'id':'6F9619FF-8B86-D011-B42D-00CF4FC964FF','visitor_name':'Ada','host_name':'Grace',"
      "'answers':[{'label':'Name','value':'Ada'}],'list_name':'Invited','device_name':'Desk',"
      "'signed_in_at':'2026-03-01T09:30:05.123456+00:00','signed_out_at':'2026-03-01T11:00:00Z'}");

// fullRow with one key replaced (or removed, when `value` is empty).
QByteArray rowWith(const QString &key, const char *value) {
    QJsonObject object = json(fullRow).toObject();
    if (*value)
        object.insert(key, json(J(value)));
    else
        object.remove(key);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

const QTimeZone newYork("America/New_York");

Clock clockAt(const QDateTime &now, const QString &locale = QStringLiteral("en_US")) {
    return Clock{[now] { return now; }, newYork, QLocale(locale)};
}

// Null texts stand for absent keys.
Invite inviteFor(const char *date, const char *time = nullptr, const char *usedAt = nullptr) {
    Invite invite;
    if (date)
        invite.visitDate = QString(date);
    if (time)
        invite.visitTime = QString(time);
    if (usedAt)
        invite.usedAt = QString(usedAt);
    return invite;
}

} // namespace

class RecordTests : public QObject {
    Q_OBJECT

private slots:
    void parseTimestamp_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected"); // in UTC with ms, empty for no value
        const char *rows[][3] = {
            {"six digits cut", "2026-03-01T09:30:05.999999+02:00", "2026-03-01T07:30:05.999Z"},
            {"three digits, Z", "2026-03-01T09:30:05.123Z", "2026-03-01T09:30:05.123Z"},
            {"one digit is tenths", "2026-03-01T09:30:05.5Z", "2026-03-01T09:30:05.500Z"},
            {"no fraction, -03:30", "2026-03-01T23:30:05-03:30", "2026-03-02T03:00:05.000Z"},
            {"no offset", "2026-03-01T09:30:05", ""},
            {"offset without colon", "2026-03-01T09:30:05+0000", ""},
            {"no such day", "2026-02-30T09:30:05Z", ""},
            {"empty fraction", "2026-03-01T09:30:05.Z", ""},
            {"word", "yesterday", ""}};
        for (const auto &row : rows)
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
    }
    void parseTimestamp() {
        QFETCH(QString, text);
        const std::optional<QDateTime> parsed = ::parseTimestamp(text);
        QTEST(parsed ? parsed->toUTC().toString(Qt::ISODateWithMs) : QString(), "expected");
    }

    void formatTimestamp() {
        QCOMPARE(::formatTimestamp(QDateTime(QDate(2026, 3, 1), QTime(23, 5, 9, 987), newYork)),
                 "2026-03-02T04:05:09Z");
        QCOMPARE(::formatTimestamp(QDateTime()), "");
    }

    void visitorRowDecodes() {
        const QDateTime in(QDate(2026, 3, 1), QTime(9, 30, 5, 123), Qt::UTC);
        const QDateTime out(QDate(2026, 3, 1), QTime(11, 0), Qt::UTC);
        VisitorRow expected(QUuid("6f9619ff-8b86-d011-b42d-00cf4fc964ff"), "Ada", "Grace",
                            QList<VisitorAnswer>(), in, out, "Invited", "Desk");
        expected.answers = {{"Name", "Ada"}};
        QCOMPARE(VisitorRow::fromJson(json(fullRow)), expected);
    }

    void visitorRowKeys_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error"); // empty: decodes
        QTest::addColumn<bool>("onSite");
        const char *rows[][4] = {
            {"answers null", "answers", "null", ""},
            {"host absent", "host_name", "", ""},
            {"signed out null", "signed_out_at", "null", ""},
            {"unreadable sign-out stays on site", "signed_out_at", "'later'", ""},
            {"signed_in_at missing", "signed_in_at", "", "signed_in_at: Bad timestamp"},
            {"signed_in_at unreadable", "signed_in_at", "'2026-03-01'",
             "signed_in_at: Bad timestamp"},
            {"name null", "visitor_name", "null", "visitor_name: null where a value is required"},
            {"name a number", "visitor_name", "4",
             "visitor_name: expected a string, found a number"},
            {"id not a UUID", "id", "'visitor-7'", "id: not a UUID"},
            {"answer without label", "answers", "[{'label':'a','value':'b'},{'value':'c'}]",
             "answers[1].label: missing"}};
        for (const auto &row : rows)
            QTest::newRow(row[0]) << rowWith(row[1], row[2]) << QString(row[3])
                                  << (QByteArray(row[1]) == "signed_out_at");
    }
    void visitorRowKeys() {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        QCOMPARE(decodeError<VisitorRow>(text), error);
        if (error.isEmpty())
            QTEST(VisitorRow::fromJson(json(text)).isOnSite(), "onSite");
    }

    void kioskSettingsEncoding() {
        KioskSettings settings = KioskSettings::defaults();
        const QJsonObject written = settings.toJson();
        // A cleared place name is sent as null: an upsert keeps any key it is not given.
        QCOMPARE(written.keys(), (QStringList{"employees", "fields", "place_name"}));
        QVERIFY(written["place_name"].isNull());
        QCOMPARE(written["fields"][1], json(J("{'slot':1,'label':'Email','type':'Email',"
                                              "'required':false,'employee_list':false}")));
        settings.placeName = QStringLiteral("Main lobby");
        QCOMPARE(KioskSettings::fromJson(settings.toJson()), settings);
    }

    void settingsDecoding_data() {
        QTest::addColumn<bool>("kiosk");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        const char *field = "{'label':'N','type':'Email','required':true";
        const char *flags = "{'office_webhook':'','notify_sign_in':true,'notify_sign_out':false";
        const char *rows[][4] = {
            {"k", "place name null", "{'fields':[],'employees':[],'place_name':null", ""},
            {"k", "no employees", "{'fields':[]", "employees: missing"},
            {"k", "no employee_list", "{'employees':[],'fields':[@,'slot':0}]",
             "fields[0].employee_list: missing"},
            {"k", "fractional slot",
             "{'employees':[],'fields':[@,'slot':1.5,'employee_list':false}]",
             "fields[0].slot: expected an integer, found 1.5"},
            {"n", "notifications", "#,'employee_webhooks':{'G':'u'}", ""},
            {"n", "no employee webhooks", "#", "employee_webhooks: missing"},
            {"n", "webhook a number", "#,'employee_webhooks':{'G':1}",
             "employee_webhooks.G: expected a string, found a number"}};
        for (const auto &row : rows) {
            const QByteArray text =
                QByteArray(row[2]).replace("@", field).replace("#", flags) + "}";
            QTest::newRow(row[1]) << (*row[0] == 'k') << J(text) << QString(row[3]);
        }
    }
    void settingsDecoding() {
        QFETCH(bool, kiosk);
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        QCOMPARE(kiosk ? decodeError<KioskSettings>(text) : decodeError<NotificationSettings>(text),
                 error);
        if (!kiosk && error.isEmpty()) {
            const auto settings = NotificationSettings::fromJson(json(text));
            QCOMPARE(NotificationSettings::fromJson(settings.toJson()), settings);
        }
    }

    void fieldTypes() {
        QCOMPARE(fieldTypeFromRaw("Phone"), FieldType::phone);
        QCOMPARE(fieldTypeFromRaw("email"), FieldType::plainText); // names are case-sensitive
        QCOMPARE(fieldTypeFromRaw("Checkbox"), FieldType::plainText);
    }

    void invites() {
        const QByteArray base = J("{'id':'0b6c1a3e-5f2d-4c8e-9a71-3d2e4f5a6b7c','token':'tok',"
                                  "'visitor_name':'Ada','visitor_email':'ada@example.com',"
                                  "'created_at':'2026-02-20T10:00:00.123456+00:00'");
        const Invite invite = Invite::fromJson(json(
            base + J(",'answers':[{'slot':0,'label':null,'value':'Ada'}],'visit_date':'2026-03-01',"
                     "'visit_time':'14:30','note':'ID','used_at':'2026-03-01T14:35:00Z'}")));
        QCOMPARE(invite.answers, (QList<InviteAnswer>{{0, std::nullopt, "Ada"}}));
        QCOMPARE(invite.createdAt, "2026-02-20T10:00:00.123456+00:00"); // the server's own text
        QCOMPARE(invite.note, "ID");
        QCOMPARE(decodeError<Invite>(base + J(",'answers':null}")),
                 "answers: null where a value is required");
        QCOMPARE(decodeError<Invite>(base + J(",'answers':[],'visit_date':20260301}")),
                 "visit_date: expected a string, found a number");
        QCOMPARE((InviteAnswer{3, std::nullopt, "x"}.toJson()),
                 (QJsonObject{{"slot", 3}, {"value", "x"}})); // no label: the key is omitted
    }

    // What an invite shows: its visit day, its status against a fixed clock, and its visit
    // text in a pinned locale and time zone.
    void visitDay_data() {
        QTest::addColumn<QString>("date");   // "-": absent
        QTest::addColumn<QDate>("expected"); // invalid: no visit day
        QTest::newRow("iso date") << "2026-03-01" << QDate(2026, 3, 1);
        QTest::newRow("no leading zeros, empty pieces") << "2026--3-1-" << QDate(2026, 3, 1);
        for (const char *bad : {"2026-03", "2026-March-01", "2026-02-30", "-"})
            QTest::newRow(bad) << bad << QDate();
    }
    void visitDay() {
        QFETCH(QString, date);
        QFETCH(QDate, expected);
        const Clock clock = clockAt(QDateTime(QDate(2026, 3, 4), QTime(12, 0), newYork));
        const QByteArray text = date.toUtf8();
        const Invite invite = inviteFor(date == "-" ? nullptr : text.constData(), "14:30");
        if (expected.isValid()) { // midnight in the clock's zone, not in UTC
            QCOMPARE(invite.visitDay(clock), QDateTime(expected, QTime(0, 0), newYork));
        } else {
            QVERIFY(!invite.visitDay(clock));
            QVERIFY(!invite.whenText(clock));
            QCOMPARE(invite.status(clock).kind, Invite::Status::Kind::waiting);
        }
    }

    void status_data() {
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<Invite>("invite");
        QTest::addColumn<Invite::Status>("expected");
        using Kind = Invite::Status::Kind;
        const QDateTime noon(QDate(2026, 3, 10), QTime(12, 0), newYork);
        const Invite::Status waiting{Kind::waiting, std::nullopt};
        QTest::newRow("day before the visit") << noon << inviteFor("2026-03-11") << waiting;
        QTest::newRow("day of the visit, last minute")
            << noon.addSecs(42000) << inviteFor("2026-03-10") << waiting;
        QTest::newRow("day after the visit")
            << noon << inviteFor("2026-03-09") << Invite::Status{Kind::expired, std::nullopt};
        // 02:00 UTC is still the evening of the 10th in New York.
        QTest::newRow("evening at the desk, next day in UTC")
            << QDateTime(QDate(2026, 3, 11), QTime(2, 0), Qt::UTC) << inviteFor("2026-03-10")
            << waiting;
        QTest::newRow("used, whatever its date")
            << noon << inviteFor("2026-03-01", nullptr, "2026-03-01T14:35:00.123456Z")
            << Invite::Status{Kind::signedIn,
                              QDateTime(QDate(2026, 3, 1), QTime(14, 35, 0, 123), Qt::UTC)};
        QTest::newRow("used_at that does not parse")
            << noon << inviteFor("2026-03-01", nullptr, "soon")
            << Invite::Status{Kind::signedIn, std::nullopt};
    }
    void status() {
        QFETCH(QDateTime, now);
        QFETCH(Invite, invite);
        QFETCH(Invite::Status, expected);
        const Invite::Status status = invite.status(clockAt(now));
        QCOMPARE(int(status.kind), int(expected.kind));
        QCOMPARE(status.usedAt, expected.usedAt);
    }

    void whenText_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time"); // empty: absent
        QTest::addColumn<QString>("expected");
        const char *rows[][5] = {
            {"with seconds", "en_US", "2026-03-01", "09:05:59", "Sunday, March 1 at 9:05 AM"},
            {"no time", "en_US", "2026-03-01", "", "Sunday, March 1"},
            {"no such hour", "en_US", "2026-03-01", "25:00", "Sunday, March 1"},
            // Clocks jump from 2:00 to 3:00 that night: the next valid time is shown.
            {"spring-forward gap", "en_US", "2026-03-08", "2:30", "Sunday, March 8 at 3:00 AM"},
            {"British order", "en_GB", "2026-03-01", "14:30", "Sunday, 1 March at 14:30"},
            {"C locale, without seconds", "C", "2026-03-01", "14:30", "Sunday, 1 March at 14:30"},
            {"Spanish, year and its word dropped", "es_ES", "2026-03-01", "",
             "domingo, 1 de marzo"}};
        for (const auto &row : rows)
            QTest::newRow(row[0]) << row[1] << row[2] << row[3] << row[4];
    }
    void whenText() {
        QFETCH(QString, locale);
        QFETCH(QString, date);
        QFETCH(QString, time);
        const QByteArray dateText = date.toUtf8(), timeText = time.toUtf8();
        const Clock clock = clockAt(QDateTime(QDate(2026, 2, 1), QTime(9, 0), newYork), locale);
        const Invite invite =
            inviteFor(dateText.constData(), time.isEmpty() ? nullptr : timeText.constData());
        QTEST(invite.whenText(clock).value_or(QString()), "expected");
    }
};

GW_TEST(RecordTests)

#include "RecordTests.moc"
