// Bad input of every kind gets a 4xx with a JSON error body: never a 5xx, never a crash,
// and nothing is written.

#include "support/BackendKit.h"
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
        visitorId = runSql(*info, u"select id from visitors where owner_id = '%1' limit 1"_s.arg(
                                      uuidText(account.userId)));
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
        row("mismatched keys", "POST", "visitors",
            "[{\"visitor_name\":\"a\"},{\"host_name\":\"b\"}]", 400, "PGRST102");
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
        row("unknown table", "GET", "users", "", 404, "PGRST205");
        row("schema-qualified table", "GET", "auth.users", "", 404, "PGRST125");
        row("SQL in select", "GET", "visitors?select=id,(select%20email%20from%20auth.users)", "",
            400, "PGRST100");
        row("SQL in uuid filter", "GET", "visitors?id=eq.1'%20or%20'1'='1", "", 400, "22P02");
        row("NUL in filter value", "GET", "visitors?visitor_name=eq.a%00b", "", 400, "PGRST100");
        row("SQL in order", "GET", "visitors?order=signed_in_at;drop%20table%20visitors", "", 400,
            "PGRST100");
        row("patch with SQL value", "PATCH", "visitors?id=eq.%ID%",
            "{\"signed_out_at\":\"now()); delete from visitors; --\"}", 400, "22007");
        row("unknown conflict column", "POST", "kiosk_settings?on_conflict=secret",
            "{\"employees\":[]}", 400, "42703");
        row("auth: body not JSON", "AUTH", "token?grant_type=password", "email=a&password=b", 400,
            "bad_json");
    }
    void refused() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, code);
        path.replace(u"%ID%"_s, visitorId);
        const QString before = snapshot();
        const bool isAuth = method == "AUTH";
        const HttpReply reply =
            isAuth ? sendRequest(
                         "POST", info->authUrl(path), body,
                         {{"apikey", info->apikey.toUtf8()}, {"Content-Type", "application/json"}})
                   : rest(*info, account.accessToken, method, path, body, "return=representation");
        QCOMPARE(reply.status, status);
        QVERIFY2(!reply.json().object().isEmpty(), reply.body.left(200).constData());
        if (!code.isEmpty())
            QCOMPARE(field(reply, isAuth ? "error_code" : "code"), code);
        QVERIFY(!field(reply, isAuth ? "msg" : "message").isEmpty());
        QCOMPARE(snapshot(), before);
    }

    void oversizedBodies() {
        GW_REQUIRE_BACKEND(info);
        const QString before = snapshot();
        const QByteArray body = "{\"visitor_name\":\"" + QByteArray(1024 * 1024 + 10, 'a') + "\"}";
        for (const QUrl &url : {info->restUrl(u"visitors"_s), info->authUrl(u"signup"_s)}) {
            const HttpReply reply =
                sendRequest("POST", url, body, deskHeaders(*info, account.accessToken));
            QCOMPARE(reply.status, 413);
            QVERIFY(!reply.json().object().isEmpty());
        }
        QCOMPARE(snapshot(), before);
    }

    // Values are data, never SQL: text that looks like SQL is stored and matched as text.
    void sqlLookingTextIsJustText() {
        GW_REQUIRE_BACKEND(info);
        const QString name = u"Robert'); DROP TABLE visitors; --"_s;
        QCOMPARE(rest(*info, account.accessToken, "POST", u"visitors"_s,
                      compact({{u"visitor_name"_s, name}}))
                     .status,
                 201);
        const HttpReply found = rest(*info, account.accessToken, "GET",
                                     u"visitors?select=visitor_name&visitor_name=eq."_s +
                                         QString::fromLatin1(QUrl::toPercentEncoding(name)));
        QCOMPARE(found.json().array(), (QJsonArray{QJsonObject{{u"visitor_name"_s, name}}}));
        const HttpReply none = rest(*info, account.accessToken, "GET",
                                    u"visitors?select=id&visitor_name=eq.x'%20or%20'1'%3D'1"_s);
        QCOMPARE(none.body, QByteArray("[]"));
        // And the server is still up after all of the above.
        QCOMPARE(
            rest(*info, account.accessToken, "GET", u"visitors?select=id"_s).json().array().size(),
            6);
    }
};

GW_BACKEND_TEST(BadInputTest)
#include "BadInputTest.moc"
