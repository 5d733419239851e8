// How sessions end and survive: a password change or sign-out ends sessions for every
// API at once, a refresh token reused moments later gets the session it was spent for,
// and one replayed later ends its session.

#include "support/BackendKit.h"
#include "support/TestMain.h"

#include <QNetworkReply>

using namespace kit;

namespace {

struct Desk {
    QString accessToken;
    QString refreshToken;
};

Desk deskOf(const HttpReply &tokenReply) {
    return {field(tokenReply, "access_token"), field(tokenReply, "refresh_token")};
}

// Which of the APIs still honour a desk's access token, as "rest-read rest-write user
// invites" with each word present when that call was let through.
QString honouredBy(const BackendInfo &info, const Desk &desk) {
    QStringList out;
    if (rest(info, desk.accessToken, "GET", u"visitors?select=id"_s).status == 200)
        out << u"rest-read"_s;
    const QByteArray name = "Session probe " + QUuid::createUuid().toByteArray(QUuid::Id128);
    const int insert =
        rest(info, desk.accessToken, "POST", u"visitors"_s, "{\"visitor_name\":\"" + name + "\"}")
            .status;
    const int rows = sqlCount(
        info, u"select count(*) from visitors where visitor_name = '%1'"_s.arg(QString(name)));
    if (insert == 201 || rows > 0)
        out << u"rest-write"_s;
    if (sendRequest("GET", info.authUrl(u"user"_s), {}, deskHeaders(info, desk.accessToken))
            .status == 200)
        out << u"user"_s;
    // A live session passes the token check and fails on the empty body instead.
    if (sendRequest("POST", QUrl(info.url.toString() + u"/api/invites"_s), "{}",
                    deskHeaders(info, desk.accessToken))
            .status != 401)
        out << u"invites"_s;
    return out.join(QLatin1Char(' '));
}

const QString everything = u"rest-read rest-write user invites"_s;

} // namespace

class SessionRulesTest : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();

private slots:
    // Desk A acts; desk B is another session of the same account.
    void endingSessions_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("aSurvives");
        QTest::newRow("A changes the password") << u"password"_s << true;
        QTest::newRow("A changes only its name") << u"profile"_s << true;
        QTest::newRow("A signs out everywhere") << u"global"_s << false;
        QTest::newRow("A signs out the others") << u"others"_s << true;
    }
    void endingSessions() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, action);
        QFETCH(bool, aSurvives);
        const TestAccount account = createTestAccount(*info);
        const Desk a{account.accessToken, account.refreshToken};
        const Desk b = deskOf(signIn(*info, account.email, account.password));
        QCOMPARE(honouredBy(*info, b), everything);

        int status = 0;
        if (action == u"password"_s || action == u"profile"_s) {
            const QJsonObject change = action == u"password"_s
                                           ? QJsonObject{{u"password"_s, u"a brand new one"_s}}
                                           : QJsonObject{{u"data"_s, QJsonObject{{"name", "Ann"}}}};
            status = sendRequest("PUT", info->authUrl(u"user"_s), compact(change),
                                 deskHeaders(*info, a.accessToken))
                         .status;
            QCOMPARE(status, 200);
        } else {
            status = sendRequest("POST", info->authUrl(u"logout?scope="_s + action), {},
                                 deskHeaders(*info, a.accessToken))
                         .status;
            QCOMPARE(status, 204);
        }

        const bool bSurvives = action == u"profile"_s;
        QCOMPARE(honouredBy(*info, b), bSurvives ? everything : QString());
        QCOMPARE(refresh(*info, b.refreshToken).status, bSurvives ? 200 : 400);
        QCOMPARE(honouredBy(*info, a), aSurvives ? everything : QString());
        QCOMPARE(refresh(*info, a.refreshToken).status, aSurvives ? 200 : 400);
    }

    // A lost answer: the desk sends its token again and gets the same new session.
    void reuseWithinTheIntervalGetsTheSameSession() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const HttpReply first = refresh(*info, account.refreshToken);
        QCOMPARE(first.status, 200);
        const QString next = field(first, "refresh_token");
        QVERIFY(!next.isEmpty() && next != account.refreshToken);

        const HttpReply again = refresh(*info, account.refreshToken);
        QCOMPARE(again.status, 200);
        QCOMPARE(field(again, "refresh_token"), next);
        QCOMPARE(decodeClaims(field(again, "access_token")).value("session_id"),
                 decodeClaims(account.accessToken).value("session_id"));
        QCOMPARE(honouredBy(*info, deskOf(again)), everything);

        // The chain moved on twice: the first token still leads to the newest one.
        const QString third = field(refresh(*info, next), "refresh_token");
        QVERIFY(!third.isEmpty() && third != next);
        QCOMPARE(field(refresh(*info, account.refreshToken), "refresh_token"), third);
        QCOMPARE(refresh(*info, third).status, 200);
    }

    // Replayed after the interval: the token was copied, so its session ends.
    void reuseAfterTheIntervalEndsTheSession() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const Desk other = deskOf(signIn(*info, account.email, account.password));
        const HttpReply first = refresh(*info, account.refreshToken);
        QCOMPARE(first.status, 200);
        runSql(*info, u"update auth.refresh_tokens set updated_at = now() - interval '11 seconds' "
                      "where user_id = '%1' and revoked"_s.arg(uuidText(account.userId)));

        const HttpReply replay = refresh(*info, account.refreshToken);
        QCOMPARE(replay.status, 400);
        QCOMPARE(field(replay, "error_code"), u"refresh_token_already_used"_s);
        QCOMPARE(refresh(*info, field(first, "refresh_token")).status, 400);
        QCOMPARE(honouredBy(*info, deskOf(first)), QString());
        // Only that session: the account's other desk goes on.
        QCOMPARE(honouredBy(*info, other), everything);
    }

    // Fifty desks of one account waking at once with the same token all stay signed in.
    void concurrentRefreshesShareOneSession() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        QNetworkAccessManager manager;
        QList<QNetworkReply *> replies;
        QNetworkRequest request(info->authUrl(u"token?grant_type=refresh_token"_s));
        request.setRawHeader("apikey", info->apikey.toUtf8());
        request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
        for (int i = 0; i < 50; ++i)
            replies.append(
                manager.post(request, compact({{u"refresh_token"_s, account.refreshToken}})));
        QSet<QString> handedOut;
        for (QNetworkReply *reply : replies) {
            QVERIFY(QTest::qWaitFor([reply] { return reply->isFinished(); }, 60000));
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            const QByteArray body = reply->readAll();
            QVERIFY2(status == 200, body.constData());
            handedOut.insert(QJsonDocument::fromJson(body)["refresh_token"].toString());
            reply->deleteLater();
        }
        QCOMPARE(handedOut.size(), 1);
        QCOMPARE(refresh(*info, *handedOut.begin()).status, 200);
    }

    // The official clients read an error's code by the version the answer names.
    void apiVersionIsEchoed_data() {
        QTest::addColumn<QByteArray>("asked");
        QTest::addColumn<QByteArray>("echoed");
        QTest::addColumn<QString>("codeKey");
        QTest::newRow("dated") << QByteArray("2024-01-01") << QByteArray("2024-01-01") << "code";
        QTest::newRow("older") << QByteArray("2023-06-01") << QByteArray("2023-06-01")
                               << "error_code";
        QTest::newRow("none") << QByteArray() << QByteArray() << "error_code";
        QTest::newRow("not a date") << QByteArray("latest") << QByteArray() << "";
    }
    void apiVersionIsEchoed() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QByteArray, asked);
        QFETCH(QByteArray, echoed);
        QFETCH(QString, codeKey);
        const HeaderList version =
            asked.isEmpty() ? HeaderList{} : HeaderList{{"X-Supabase-Api-Version", asked}};
        const HttpReply wrong = auth(
            *info, u"token?grant_type=password"_s,
            {{u"email"_s, u"nobody@example.com"_s}, {u"password"_s, u"wrong password"_s}}, version);
        QCOMPARE(wrong.status, 400);
        QCOMPARE(wrong.header("x-supabase-api-version"), echoed);
        if (!codeKey.isEmpty())
            QCOMPARE(wrong.json()[codeKey].toString(), u"invalid_credentials"_s);

        const TestAccount account = createTestAccount(*info);
        HeaderList headers = deskHeaders(*info, account.accessToken);
        headers.append(version);
        const HttpReply user = sendRequest("GET", info->authUrl(u"user"_s), {}, headers);
        QCOMPARE(user.status, 200);
        QCOMPARE(user.header("x-supabase-api-version"), echoed);
    }

    // PostgreSQL stores no NUL character; the request is refused, not failed.
    void nulInUserData_data() {
        QTest::addColumn<QString>("where");
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("sign-up value") << u"signup"_s << QByteArray(R"({"name":"Ann\u0000"})");
        QTest::newRow("sign-up key") << u"signup"_s << QByteArray(R"({"na\u0000me":"Ann"})");
        QTest::newRow("profile value") << u"user"_s << QByteArray(R"({"name":"A\u0000nn"})");
        QTest::newRow("profile, nested") << u"user"_s << QByteArray(R"({"list":[{"x":"\u0000"}]})");
    }
    void nulInUserData() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, where);
        QFETCH(QByteArray, data);
        HttpReply reply;
        const TestAccount account = createTestAccount(*info);
        if (where == u"signup"_s) {
            const QString email =
                u"nul-%1@example.com"_s.arg(QUuid::createUuid().toString(QUuid::Id128));
            reply = sendRequest(
                "POST", info->authUrl(u"signup"_s),
                "{\"email\":\"" + email.toUtf8() +
                    "\",\"password\":\"long enough\",\"data\":" + data + "}",
                {{"apikey", info->apikey.toUtf8()}, {"Content-Type", "application/json"}});
            QCOMPARE(
                sqlCount(*info, u"select count(*) from auth.users where email = '%1'"_s.arg(email)),
                0);
        } else {
            reply = sendRequest("PUT", info->authUrl(u"user"_s), "{\"data\":" + data + "}",
                                deskHeaders(*info, account.accessToken));
        }
        QCOMPARE(reply.status, 400);
        QCOMPARE(field(reply, "error_code"), u"validation_failed"_s);
        QCOMPARE(runSql(*info,
                        u"select raw_user_meta_data->>'name' from auth.users where id = '%1'"_s.arg(
                            uuidText(account.userId))),
                 u"Test User"_s);
    }
};

GW_BACKEND_TEST(SessionRulesTest)
#include "SessionRulesTest.moc"
