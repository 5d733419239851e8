// The REST API as the desk uses it: inserts, reads with counts and ranges, the search
// filter, sign-out updates, settings upserts and invites.

#include "BackendTestKit.h"
#include "support/TestMain.h"

using namespace kit;

namespace {

const QString visitorColumns = QStringLiteral(
    "id,visitor_name,host_name,answers,signed_in_at,signed_out_at,list_name,device_name");

QJsonObject
newVisitor(const TestAccount &account, const QString &name, const QString &signedInAt,
           const QString &deviceRecord = QUuid::createUuid().toString(QUuid::WithoutBraces)) {
    return {{QStringLiteral("owner_id"), uuidText(account.userId)},
            {QStringLiteral("device_record_id"), deviceRecord},
            {QStringLiteral("visitor_name"), name},
            {QStringLiteral("host_name"), QJsonValue::Null},
            {QStringLiteral("answers"),
             QJsonArray{QJsonObject{{QStringLiteral("label"), QStringLiteral("Company")},
                                    {QStringLiteral("value"), QStringLiteral("Acme")}}}},
            {QStringLiteral("signed_in_at"), signedInAt},
            {QStringLiteral("device_name"), QStringLiteral("Front desk")}};
}

QStringList names(const HttpReply &reply) {
    QStringList out;
    for (const auto &row : reply.json().array())
        out << row.toObject().value(QStringLiteral("visitor_name")).toString();
    return out;
}

} // namespace

class RestApiTest : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();
    TestAccount fiftySeven; // an account with exactly 57 visitors, 4 on site

private slots:
    void initTestCase() {
        if (!info)
            return;
        fiftySeven = createTestAccount(*info);
        seedVisitors(*info, fiftySeven.userId, 57, 4);
    }

    void insertAnswersTheStoredRow() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const HttpReply reply = rest(*info, account.accessToken, "POST",
                                     QStringLiteral("visitors?select=") + visitorColumns,
                                     compact(newVisitor(account, QStringLiteral("Ada Lovelace"),
                                                        QStringLiteral("2026-03-01T09:30:00Z"))),
                                     "return=representation");
        QCOMPARE(reply.status, 201);
        const QJsonArray rows = reply.json().array();
        QCOMPARE(rows.size(), 1);
        const QJsonObject row = rows.first().toObject();
        QCOMPARE(row.keys().size(), 8); // exactly the selected columns; no owner or search text
        QCOMPARE(row.value(QStringLiteral("visitor_name")).toString(),
                 QStringLiteral("Ada Lovelace"));
        QVERIFY(row.value(QStringLiteral("host_name")).isNull());
        QVERIFY(row.value(QStringLiteral("signed_out_at")).isNull());
        QCOMPARE(QDateTime::fromString(row.value(QStringLiteral("signed_in_at")).toString(),
                                       Qt::ISODate),
                 QDateTime(QDate(2026, 3, 1), QTime(9, 30), Qt::UTC));
        QCOMPARE(row.value(QStringLiteral("answers"))
                     .toArray()
                     .first()
                     .toObject()
                     .value(QStringLiteral("value"))
                     .toString(),
                 QStringLiteral("Acme"));
        // The database keeps the search text.
        QCOMPARE(runSql(*info, QStringLiteral("select search_text from visitors where id = '%1'")
                                   .arg(row.value(QStringLiteral("id")).toString())),
                 QStringLiteral("ada lovelace acme"));
    }

    void theSameDeviceRecordIsStoredOnce() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const QByteArray body = compact(newVisitor(account, QStringLiteral("Retry"),
                                                   QStringLiteral("2026-03-01T09:30:00Z"),
                                                   QStringLiteral("device-record-1")));
        QCOMPARE(rest(*info, account.accessToken, "POST", QStringLiteral("visitors"), body).status,
                 201);
        const HttpReply again =
            rest(*info, account.accessToken, "POST", QStringLiteral("visitors"), body);
        QCOMPARE(again.status, 409);
        QCOMPARE(again.json().object().value(QStringLiteral("code")).toString(),
                 QStringLiteral("23505"));
        QCOMPARE(
            sqlCount(*info, QStringLiteral("select count(*) from visitors where owner_id = '%1'")
                                .arg(uuidText(account.userId))),
            1);
    }

    void countsAndRanges_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<bool>("count");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("contentRange");
        QTest::addColumn<int>("rows");
        QTest::newRow("count of all, one row")
            << "select=id&limit=1" << true << 206 << "0-0/57" << 1;
        QTest::newRow("count on site")
            << "select=id&limit=1&signed_out_at=is.null" << true << 206 << "0-0/4" << 1;
        QTest::newRow("count of none") << "select=id&limit=1&signed_in_at=lt.2000-01-01T00:00:00Z"
                                       << true << 200 << "*/0" << 0;
        QTest::newRow("everything in one page")
            << "select=id&limit=100" << true << 200 << "0-56/57" << 57;
        QTest::newRow("last page")
            << "select=id&limit=50&offset=50" << true << 206 << "50-56/57" << 7;
        QTest::newRow("exactly at the end")
            << "select=id&limit=50&offset=57" << true << 206 << "*/57" << 0;
        QTest::newRow("past the end")
            << "select=id&limit=50&offset=58" << true << 416 << "*/57" << -1;
        QTest::newRow("page without count")
            << "select=id&limit=10" << false << 200 << "0-9/*" << 10;
        QTest::newRow("nothing without count")
            << "select=id&signed_in_at=lt.2000-01-01T00:00:00Z" << false << 200 << "*/*" << 0;
    }
    void countsAndRanges() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, query);
        QFETCH(bool, count);
        QFETCH(int, status);
        QFETCH(QString, contentRange);
        QFETCH(int, rows);
        const HttpReply reply =
            rest(*info, fiftySeven.accessToken, "GET", QStringLiteral("visitors?") + query, {},
                 count ? "count=exact" : QByteArray());
        QCOMPARE(reply.status, status);
        QCOMPARE(QString::fromLatin1(reply.header("content-range")), contentRange);
        if (rows >= 0)
            QCOMPARE(reply.json().array().size(), rows);
        else
            QCOMPARE(reply.json().object().value(QStringLiteral("code")).toString(),
                     QStringLiteral("PGRST103"));
    }

    void logOrderAndDateFilters() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        for (const auto &[name, at] :
             {std::pair{"Early", "2026-03-01T08:00:00Z"}, std::pair{"Noon", "2026-03-01T12:00:00Z"},
              std::pair{"Late", "2026-03-01T18:00:00+00:00"},
              std::pair{"Next day", "2026-03-02T08:00:00Z"}})
            QCOMPARE(
                rest(*info, account.accessToken, "POST", QStringLiteral("visitors"),
                     compact(newVisitor(account, QString::fromUtf8(name), QString::fromUtf8(at))))
                    .status,
                201);
        const QString base = QStringLiteral("visitors?select=") + visitorColumns +
                             QStringLiteral("&order=signed_in_at.desc");
        QCOMPARE(names(rest(*info, account.accessToken, "GET", base)),
                 (QStringList{QStringLiteral("Next day"), QStringLiteral("Late"),
                              QStringLiteral("Noon"), QStringLiteral("Early")}));
        // "gte." first, "lt." second; the day of 1 March only. A "+" in the offset
        // travels as %2B.
        QCOMPARE(
            names(rest(*info, account.accessToken, "GET",
                       base + QStringLiteral("&signed_in_at=gte.2026-03-01T10:00:00%2B02:00&signed_"
                                             "in_at=lt.2026-03-02T00:00:00Z"))),
            (QStringList{QStringLiteral("Late"), QStringLiteral("Noon"), QStringLiteral("Early")}));
        QCOMPARE(names(rest(
                     *info, account.accessToken, "GET",
                     QStringLiteral(
                         "visitors?select=visitor_name&order=signed_in_at.asc&limit=2&offset=1"))),
                 (QStringList{QStringLiteral("Noon"), QStringLiteral("Late")}));
    }

    void searchMatchesPercentAndUnderscoreLiterally_data() {
        QTest::addColumn<QString>("pattern"); // as the desk sends it, before URL encoding
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("escaped percent") << "%50\\%%" << QStringList{QStringLiteral("50% off")};
        QTest::newRow("escaped underscore") << "%a\\_b%" << QStringList{QStringLiteral("a_b")};
        QTest::newRow("plain underscore is a wildcard")
            << "%a_b%" << QStringList{QStringLiteral("axb"), QStringLiteral("a_b")};
        QTest::newRow("star is a wildcard")
            << "*percent*" << QStringList{QStringLiteral("50 percent")};
        QTest::newRow("escaped backslash")
            << "%c:\\\\temp%" << QStringList{QStringLiteral("c:\\temp")};
        QTest::newRow("case-insensitive")
            << "%ACME%"
            << QStringList{QStringLiteral("c:\\temp"), QStringLiteral("axb"), QStringLiteral("a_b"),
                           QStringLiteral("50 percent"), QStringLiteral("50% off")};
    }
    void searchMatchesPercentAndUnderscoreLiterally() {
        GW_REQUIRE_BACKEND(info);
        static TestAccount account;
        if (account.userId.isNull()) {
            account = createTestAccount(*info);
            int minute = 0;
            for (const char *name : {"50% off", "50 percent", "a_b", "axb", "c:\\temp"})
                QCOMPARE(rest(*info, account.accessToken, "POST", QStringLiteral("visitors"),
                              compact(newVisitor(account, QString::fromUtf8(name),
                                                 QStringLiteral("2026-03-01T09:%1:00Z")
                                                     .arg(minute++, 2, 10, QLatin1Char('0')))))
                             .status,
                         201);
        }
        QFETCH(QString, pattern);
        QFETCH(QStringList, expected);
        const HttpReply reply =
            rest(*info, account.accessToken, "GET",
                 QStringLiteral(
                     "visitors?select=visitor_name&order=signed_in_at.desc&search_text=ilike.") +
                     QString::fromLatin1(QUrl::toPercentEncoding(pattern)));
        QCOMPARE(reply.status, 200);
        QCOMPARE(names(reply), expected);
    }

    void signOutStampsOnlyOnce() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const HttpReply inserted =
            rest(*info, account.accessToken, "POST", QStringLiteral("visitors?select=id"),
                 compact(newVisitor(account, QStringLiteral("Leaving"),
                                    QStringLiteral("2026-03-01T09:00:00Z"))),
                 "return=representation");
        const QString id =
            inserted.json().array().first().toObject().value(QStringLiteral("id")).toString();
        const QString path = QStringLiteral("visitors?id=eq.%1&signed_out_at=is.null").arg(id);

        const HttpReply first = rest(*info, account.accessToken, "PATCH", path,
                                     compact(QJsonObject{{QStringLiteral("signed_out_at"),
                                                          QStringLiteral("2026-03-01T10:00:00Z")}}),
                                     "return=minimal");
        QCOMPARE(first.status, 204);
        QVERIFY(first.body.isEmpty());
        const HttpReply second =
            rest(*info, account.accessToken, "PATCH", path,
                 compact(QJsonObject{
                     {QStringLiteral("signed_out_at"), QStringLiteral("2026-03-01T11:00:00Z")}}),
                 "return=minimal");
        QCOMPARE(second.status, 204);
        QCOMPARE(runSql(*info, QStringLiteral("select to_char(signed_out_at at time zone 'UTC', "
                                              "'HH24:MI') from visitors where id = '%1'")
                                   .arg(id)),
                 QStringLiteral("10:00"));
    }

    void upsertCreatesThenMerges() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const QByteArray prefer = "resolution=merge-duplicates,return=minimal";
        QCOMPARE(rest(*info, account.accessToken, "GET",
                      QStringLiteral("kiosk_settings?select=fields,employees,place_name"))
                     .body,
                 QByteArray("[]"));

        const QJsonArray fields{QJsonObject{{QStringLiteral("slot"), 0},
                                            {QStringLiteral("label"), QStringLiteral("Name")},
                                            {QStringLiteral("type"), QStringLiteral("Plain Text")},
                                            {QStringLiteral("required"), true},
                                            {QStringLiteral("employee_list"), false}}};
        const HttpReply created = rest(
            *info, account.accessToken, "POST",
            QStringLiteral("kiosk_settings?on_conflict=owner_id"),
            compact(QJsonObject{{QStringLiteral("owner_id"), uuidText(account.userId)},
                                {QStringLiteral("fields"), fields},
                                {QStringLiteral("employees"), QJsonArray{QStringLiteral("Bob")}},
                                {QStringLiteral("place_name"), QStringLiteral("HQ")}}),
            prefer);
        QCOMPARE(created.status, 201);
        QVERIFY(created.body.isEmpty());

        // Only the employees: the form and the place name stay.
        const HttpReply merged =
            rest(*info, account.accessToken, "POST",
                 QStringLiteral("kiosk_settings?on_conflict=owner_id"),
                 compact(QJsonObject{{QStringLiteral("owner_id"), uuidText(account.userId)},
                                     {QStringLiteral("employees"),
                                      QJsonArray{QStringLiteral("Bob"), QStringLiteral("Cy")}}}),
                 prefer);
        QCOMPARE(merged.status, 200);
        const QJsonArray rows =
            rest(*info, account.accessToken, "GET",
                 QStringLiteral("kiosk_settings?select=fields,employees,place_name"))
                .json()
                .array();
        QCOMPARE(rows.size(), 1);
        const QJsonObject row = rows.first().toObject();
        QCOMPARE(row.value(QStringLiteral("fields")).toArray(), fields);
        QCOMPARE(row.value(QStringLiteral("employees")).toArray(),
                 (QJsonArray{QStringLiteral("Bob"), QStringLiteral("Cy")}));
        QCOMPARE(row.value(QStringLiteral("place_name")).toString(), QStringLiteral("HQ"));

        const QJsonObject alerts{
            {QStringLiteral("owner_id"), uuidText(account.userId)},
            {QStringLiteral("office_webhook"), QStringLiteral("https://hooks.example.com/x")},
            {QStringLiteral("notify_sign_in"), false},
            {QStringLiteral("notify_sign_out"), true},
            {QStringLiteral("employee_webhooks"),
             QJsonObject{{QStringLiteral("Bob"), QStringLiteral("https://b.example.com")}}}};
        QCOMPARE(rest(*info, account.accessToken, "POST",
                      QStringLiteral("notification_settings?on_conflict=owner_id"), compact(alerts),
                      prefer)
                     .status,
                 201);
        QCOMPARE(rest(*info, account.accessToken, "POST",
                      QStringLiteral("notification_settings?on_conflict=owner_id"), compact(alerts),
                      prefer)
                     .status,
                 200);
        QCOMPARE(sqlCount(*info, QStringLiteral("select count(*) from notification_settings where "
                                                "owner_id = '%1' and notify_sign_out")
                                     .arg(uuidText(account.userId))),
                 1);
    }

    void invitesAreReadMarkedAndCancelledButNotCreated() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const QString id = runSql(
            *info, QStringLiteral("insert into invites (owner_id, token, visitor_name, "
                                  "visitor_email, answers, visit_date, visit_time) "
                                  "values ('%1', 'tok-%2', 'Grace', 'grace@example.com', "
                                  "'[{\"slot\":0,\"value\":\"Grace\"}]', "
                                  "'2026-03-01', '14:30') returning id")
                       .arg(uuidText(account.userId), QUuid::createUuid().toString(QUuid::Id128)));
        const HttpReply list = rest(
            *info, account.accessToken, "GET",
            QStringLiteral("invites?select=id,token,visitor_name,visitor_email,answers,visit_date,"
                           "visit_time,note,"
                           "created_at,used_at&order=created_at.desc&limit=50&used_at=is.null"));
        QCOMPARE(list.status, 200);
        const QJsonObject invite = list.json().array().first().toObject();
        QCOMPARE(invite.value(QStringLiteral("id")).toString(), id);
        QCOMPARE(invite.value(QStringLiteral("visit_date")).toString(),
                 QStringLiteral("2026-03-01"));
        QCOMPARE(invite.value(QStringLiteral("visit_time")).toString(), QStringLiteral("14:30"));

        QCOMPARE(rest(*info, account.accessToken, "PATCH", QStringLiteral("invites?id=eq.") + id,
                      compact(QJsonObject{
                          {QStringLiteral("used_at"), QStringLiteral("2026-03-01T14:35:00Z")}}),
                      "return=minimal")
                     .status,
                 204);
        QCOMPARE(rest(*info, account.accessToken, "GET",
                      QStringLiteral("invites?select=id&used_at=is.null"))
                     .body,
                 QByteArray("[]"));

        const HttpReply create =
            rest(*info, account.accessToken, "POST", QStringLiteral("invites"),
                 compact(QJsonObject{
                     {QStringLiteral("token"), QStringLiteral("made-up-token-made-up-token")},
                     {QStringLiteral("visitor_name"), QStringLiteral("Eve")},
                     {QStringLiteral("visitor_email"), QStringLiteral("eve@example.com")}}));
        QCOMPARE(create.status, 403);
        QCOMPARE(create.json().object().value(QStringLiteral("code")).toString(),
                 QStringLiteral("42501"));

        QCOMPARE(rest(*info, account.accessToken, "DELETE", QStringLiteral("invites?id=eq.") + id)
                     .status,
                 204);
        QCOMPARE(
            sqlCount(*info, QStringLiteral("select count(*) from invites where owner_id = '%1'")
                                .arg(uuidText(account.userId))),
            0);
    }
};

GW_BACKEND_TEST(RestApiTest)
#include "RestApiTest.moc"
