// Bad input of every kind gets a 4xx with a JSON error body: never a 5xx, never a crash,
// and nothing is written.

#include "BackendTestKit.h"
#include "support/TestMain.h"

using namespace kit;

class BadInputTest : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();
    TestAccount account;
    QString visitorId;

    QString snapshot() const {
        // Only this account's rows: other test classes may be writing theirs meanwhile.
        return runSql(
            *info,
            QStringLiteral(
                "select count(*) || ':' || coalesce(md5(string_agg(v::text, '|' order by id)), '') "
                "from visitors v where owner_id = '%1'")
                .arg(uuidText(account.userId)));
    }

private slots:
    void initTestCase() {
        if (!info)
            return;
        account = createTestAccount(*info);
        seedVisitors(*info, account.userId, 5, 2);
        visitorId =
            runSql(*info, QStringLiteral("select id from visitors where owner_id = '%1' limit 1")
                              .arg(uuidText(account.userId)));
    }

    void refused_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path"); // %ID% is one of the account's visitors
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code"); // REST "code" or auth "error_code"; empty: any

        auto row = [](const char *name, const QByteArray &method, const char *path,
                      const QByteArray &body, int status, const char *code) {
            QTest::newRow(name) << method << QString::fromUtf8(path) << body << status
                                << QString::fromUtf8(code);
        };
        row("malformed JSON", "POST", "visitors", "{\"visitor_name\":", 400, "PGRST102");
        row("JSON scalar", "POST", "visitors", "42", 400, "PGRST102");
        row("array of scalars", "POST", "visitors", "[1,2]", 400, "PGRST102");
        row("mismatched keys", "POST", "visitors",
            "[{\"visitor_name\":\"a\"},{\"host_name\":\"b\"}]", 400, "PGRST102");
        row("empty body", "POST", "visitors", "", 400, "PGRST102");
        row("invalid UTF-8", "POST", "visitors", "{\"visitor_name\":\"\xff\xfe\"}", 400,
            "PGRST102");
        row("deep nesting", "POST", "visitors", QByteArray(100000, '[') + QByteArray(100000, ']'),
            400, "PGRST102");
        row("NUL escape in text", "POST", "visitors",
            "{\"visitor_name\":\"a\\u0000b\",\"signed_in_at\":\"2026-03-01T09:00:00Z\"}", 400, "");
        row("unknown column in body", "POST", "visitors",
            "{\"visitor_name\":\"a\",\"is_admin\":true}", 400, "PGRST204");
        row("column name with SQL", "POST", "visitors",
            "{\"visitor_name\\\" text); drop table visitors; --\":\"a\"}", 400, "PGRST204");
        row("wrong type in body", "POST", "visitors",
            "{\"visitor_name\":\"a\",\"signed_in_at\":\"tomorrow-ish\"}", 400, "22007");
        row("answers not an array", "POST", "visitors",
            "{\"visitor_name\":\"a\",\"answers\":{\"x\":1}}", 400, "23514");
        row("null required value", "POST", "visitors", "{\"visitor_name\":null}", 400, "23502");
        row("bad uuid in body", "POST", "visitors",
            "{\"id\":\"not-a-uuid\",\"visitor_name\":\"a\"}", 400, "22P02");
        row("unknown table", "GET", "users", "", 404, "PGRST205");
        row("schema-qualified table", "GET", "auth.users", "", 404, "PGRST125");
        row("unknown column in select", "GET", "visitors?select=password", "", 400, "42703");
        row("SQL in select", "GET", "visitors?select=id,(select%20email%20from%20auth.users)", "",
            400, "PGRST100");
        row("unknown column in filter", "GET", "visitors?secret=eq.1", "", 400, "42703");
        row("unknown operator", "GET", "visitors?id=like2.x", "", 400, "PGRST100");
        row("filter without operator", "GET", "visitors?id=%ID%", "", 400, "PGRST100");
        row("bad is value", "GET", "visitors?signed_out_at=is.nothing", "", 400, "PGRST100");
        row("bad uuid in filter", "GET", "visitors?id=eq.abc", "", 400, "22P02");
        row("SQL in uuid filter", "GET", "visitors?id=eq.1'%20or%20'1'='1", "", 400, "22P02");
        row("bad timestamp in filter", "GET", "visitors?signed_in_at=gte.not-a-date", "", 400,
            "22007");
        row("NUL in filter value", "GET", "visitors?visitor_name=eq.a%00b", "", 400, "PGRST100");
        row("operator unfit for the type", "GET", "visitors?id=ilike.*1*", "", 400, "42883");
        row("unknown column in order", "GET", "visitors?order=password.desc", "", 400, "42703");
        row("SQL in order", "GET", "visitors?order=signed_in_at;drop%20table%20visitors", "", 400,
            "PGRST100");
        row("bad order direction", "GET", "visitors?order=signed_in_at.sideways", "", 400,
            "PGRST100");
        row("limit not a number", "GET", "visitors?limit=ten", "", 400, "PGRST100");
        row("negative limit", "GET", "visitors?limit=-1", "", 416, "PGRST103");
        row("negative offset", "GET", "visitors?offset=-5", "", 400, "PGRST100");
        row("huge limit", "GET", "visitors?limit=99999999999999999999999", "", 400, "PGRST100");
        row("patch with an array", "PATCH", "visitors?id=eq.%ID%", "[{\"visitor_name\":\"x\"}]",
            400, "PGRST102");
        row("patch unknown column", "PATCH", "visitors?id=eq.%ID%", "{\"secret\":\"x\"}", 400,
            "PGRST204");
        row("patch with SQL value", "PATCH", "visitors?id=eq.%ID%",
            "{\"signed_out_at\":\"now()); delete from visitors; --\"}", 400, "22007");
        row("delete with bad uuid", "DELETE", "visitors?id=eq.%ID%'--", "", 400, "22P02");
        row("unsupported method", "PUT", "visitors", "{}", 405, "PGRST117");
        row("GET on a function", "GET", "rpc/delete_account", "", 405, "PGRST101");
        row("function body not JSON", "POST", "rpc/delete_account", "{oops", 400, "PGRST102");
        row("unknown conflict column", "POST", "kiosk_settings?on_conflict=secret",
            "{\"employees\":[]}", 400, "42703");
        row("auth: body not JSON", "AUTH", "token?grant_type=password", "email=a&password=b", 400,
            "bad_json");
        row("auth: unknown grant", "AUTH", "token?grant_type=magic", "{}", 400,
            "validation_failed");
        row("auth: refresh token not a string", "AUTH", "token?grant_type=refresh_token",
            "{\"refresh_token\":[1]}", 400, "bad_json");
        row("auth: unknown endpoint", "AUTH", "factors", "{}", 404, "not_found");
    }
    void refused() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, code);
        path.replace(QStringLiteral("%ID%"), visitorId);
        const QString before = snapshot();

        HttpReply reply;
        if (method == "AUTH")
            reply = sendRequest(
                "POST", QUrl(info->url.toString() + QStringLiteral("/auth/v1/") + path), body,
                {{"apikey", info->apikey.toUtf8()}, {"Content-Type", "application/json"}});
        else
            reply = rest(*info, account.accessToken, method, path, body, "return=representation");

        QCOMPARE(reply.status, status);
        const QJsonObject error = reply.json().object();
        QVERIFY2(!error.isEmpty(), reply.body.left(200).constData());
        const QString got = method == "AUTH" ? error.value(QStringLiteral("error_code")).toString()
                                             : error.value(QStringLiteral("code")).toString();
        if (!code.isEmpty())
            QCOMPARE(got, code);
        QVERIFY(!error.value(method == "AUTH" ? QStringLiteral("msg") : QStringLiteral("message"))
                     .toString()
                     .isEmpty());
        QCOMPARE(snapshot(), before);
    }

    void oversizedBodies_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("field");
        QTest::newRow("rest") << "/rest/v1/visitors"
                              << "code";
        QTest::newRow("auth") << "/auth/v1/signup"
                              << "error_code";
    }
    void oversizedBodies() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, url);
        QFETCH(QString, field);
        const QString before = snapshot();
        const QByteArray body = "{\"visitor_name\":\"" + QByteArray(1024 * 1024 + 10, 'a') + "\"}";
        const HttpReply reply = sendRequest("POST", QUrl(info->url.toString() + url), body,
                                            deskHeaders(*info, account.accessToken));
        QCOMPARE(reply.status, 413);
        QVERIFY(!reply.json().object().value(field).toVariant().toString().isEmpty());
        QCOMPARE(snapshot(), before);
    }

    // Values are data, never SQL: text that looks like SQL is stored and matched as text.
    void sqlLookingTextIsJustText() {
        GW_REQUIRE_BACKEND(info);
        const QString name = QStringLiteral("Robert'); DROP TABLE visitors; --");
        const HttpReply stored =
            rest(*info, account.accessToken, "POST", QStringLiteral("visitors?select=visitor_name"),
                 compact(QJsonObject{
                     {QStringLiteral("visitor_name"), name},
                     {QStringLiteral("signed_in_at"), QStringLiteral("2026-03-01T09:00:00Z")}}),
                 "return=representation");
        QCOMPARE(stored.status, 201);
        const HttpReply found =
            rest(*info, account.accessToken, "GET",
                 QStringLiteral("visitors?select=visitor_name&visitor_name=eq.") +
                     QString::fromLatin1(QUrl::toPercentEncoding(name)));
        QCOMPARE(found.status, 200);
        QCOMPARE(found.json()
                     .array()
                     .first()
                     .toObject()
                     .value(QStringLiteral("visitor_name"))
                     .toString(),
                 name);
        const HttpReply none =
            rest(*info, account.accessToken, "GET",
                 QStringLiteral("visitors?select=id&visitor_name=eq.x'%20or%20'1'%3D'1"));
        QCOMPARE(none.status, 200);
        QCOMPARE(none.body, QByteArray("[]"));
        QVERIFY(sqlCount(*info, QStringLiteral("select count(*) from visitors")) > 0);
    }

    void serverStillAnswers() {
        GW_REQUIRE_BACKEND(info);
        const HttpReply reply =
            rest(*info, account.accessToken, "GET", QStringLiteral("visitors?select=id&limit=1"),
                 {}, "count=exact");
        QCOMPARE(reply.status, 206);
        QCOMPARE(QString::fromLatin1(reply.header("content-range")), QStringLiteral("0-0/6"));
    }
};

GW_BACKEND_TEST(BadInputTest)
#include "BadInputTest.moc"
