// Access tokens and API keys: what the REST and auth APIs accept and how they refuse.

#include "BackendTestKit.h"
#include "support/TestMain.h"

using namespace kit;

class TokenCheckTest : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();
    TestAccount owner, other;

private slots:
    void initTestCase() {
        if (!info)
            return;
        owner = createTestAccount(*info);
        other = createTestAccount(*info);
        seedVisitors(*info, owner.userId, 3, 1);
    }

    void refusedTokens_data() {
        QTest::addColumn<QString>("token"); // "-" for no Authorization header at all
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");
        if (!info)
            return;
        const QByteArray secret = info->jwtSecret.toUtf8();
        const QJsonObject claims = claimsFor(owner.userId);

        QTest::newRow("no header") << "-"
                                   << "PGRST302"
                                   << "Anonymous access is disabled";
        QTest::newRow("not a JWT") << "abc"
                                   << "PGRST301"
                                   << "Expected 3 parts in JWT; got 1";
        QTest::newRow("alg none") << makeToken({{QStringLiteral("alg"), QStringLiteral("none")},
                                                {QStringLiteral("typ"), QStringLiteral("JWT")}},
                                               claims, secret, QByteArray())
                                  << "PGRST301"
                                  << "Wrong or unsupported encoding algorithm";
        QTest::newRow("alg none, signed anyway")
            << makeToken({{QStringLiteral("alg"), QStringLiteral("none")}}, claims, secret)
            << "PGRST301"
            << "Wrong or unsupported encoding algorithm";
        QTest::newRow("HS512") << makeToken({{QStringLiteral("alg"), QStringLiteral("HS512")}},
                                            claims, secret)
                               << "PGRST301"
                               << "Wrong or unsupported encoding algorithm";
        QTest::newRow("wrong key")
            << makeToken(hs256Header(), claims, "not-the-secret-not-the-secret-!!") << "PGRST301"
            << "JWT cryptographic operation failed";
        // The owner's real token with the other account's id pasted into its payload.
        QJsonObject swapped = decodeClaims(owner.accessToken);
        swapped.insert(QStringLiteral("sub"), uuidText(other.userId));
        const QList<QString> parts = owner.accessToken.split(QLatin1Char('.'));
        QTest::newRow("tampered payload")
            << parts[0] + QLatin1Char('.') + QString::fromLatin1(base64Url(compact(swapped))) +
                   QLatin1Char('.') + parts[2]
            << "PGRST301"
            << "JWT cryptographic operation failed";
        QTest::newRow("expired") << makeToken(hs256Header(), claimsFor(owner.userId, -5), secret)
                                 << "PGRST303"
                                 << "JWT expired";
        QJsonObject anon = claims;
        anon.insert(QStringLiteral("role"), QStringLiteral("anon"));
        QTest::newRow("anon role") << makeToken(hs256Header(), anon, secret) << "PGRST303"
                                   << "JWT role is not allowed";
        QJsonObject superuser = claims;
        superuser.insert(QStringLiteral("role"), QStringLiteral("postgres"));
        QTest::newRow("superuser role") << makeToken(hs256Header(), superuser, secret) << "PGRST303"
                                        << "JWT role is not allowed";
        QJsonObject noAudience = claims;
        noAudience.remove(QStringLiteral("aud"));
        QTest::newRow("no audience") << makeToken(hs256Header(), noAudience, secret) << "PGRST303"
                                     << "JWT not in audience";
        QJsonObject noExpiry = claims;
        noExpiry.remove(QStringLiteral("exp"));
        QTest::newRow("no expiry") << makeToken(hs256Header(), noExpiry, secret) << "PGRST303"
                                   << "The JWT 'exp' claim must be a number";
        QJsonObject badSubject = claims;
        badSubject.insert(QStringLiteral("sub"), QStringLiteral("' or 1=1 --"));
        QTest::newRow("subject not a uuid")
            << makeToken(hs256Header(), badSubject, secret) << "PGRST303"
            << "Parsing claims failed";
    }
    void refusedTokens() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, token);
        QFETCH(QString, code);
        QFETCH(QString, message);
        HeaderList headers{{"apikey", info->apikey.toUtf8()}};
        if (token != QLatin1String("-"))
            headers.append({"Authorization", "Bearer " + token.toUtf8()});

        const HttpReply rest =
            sendRequest("GET", info->restUrl(QStringLiteral("visitors?select=id")), {}, headers);
        QCOMPARE(rest.status, 401);
        QCOMPARE(rest.json().object().value(QStringLiteral("code")).toString(), code);
        QCOMPARE(rest.json().object().value(QStringLiteral("message")).toString(), message);
        const QByteArray challenge = rest.header("www-authenticate");
        QVERIFY(challenge.startsWith("Bearer"));
        if (code != QLatin1String("PGRST302"))
            QVERIFY2(challenge.contains("error=\"invalid_token\""), challenge.constData());

        // Writes are refused the same way, and nothing is written.
        const HttpReply insert = sendRequest(
            "POST", info->restUrl(QStringLiteral("visitors")),
            compact(QJsonObject{{QStringLiteral("owner_id"), uuidText(owner.userId)},
                                {QStringLiteral("visitor_name"), QStringLiteral("Intruder")}}),
            headers);
        QCOMPARE(insert.status, 401);
        QCOMPARE(
            sqlCount(*info, QStringLiteral(
                                "select count(*) from visitors where visitor_name = 'Intruder'")),
            0);

        const HttpReply user =
            sendRequest("GET", info->authUrl(QStringLiteral("user")), {}, headers);
        QCOMPARE(user.status, 401);
        QVERIFY(!user.json().object().value(QStringLiteral("error_code")).toString().isEmpty());
    }

    // Tokens the server did not issue but that are signed with its secret are honoured:
    // the checks above refuse tokens for what they are, not for being unfamiliar.
    void aCorrectlySignedTokenIsAccepted() {
        GW_REQUIRE_BACKEND(info);
        const QString token =
            makeToken(hs256Header(), claimsFor(owner.userId), info->jwtSecret.toUtf8());
        const HttpReply reply = rest(*info, token, "GET", QStringLiteral("visitors?select=id"));
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json().array().size(), 3);
    }

    void apiKeys_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("withKey");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QString>("message");
        QTest::newRow("auth, none") << QByteArray("POST") << "auth/v1/token?grant_type=password"
                                    << false << QByteArray() << "No API key found in request";
        QTest::newRow("auth, wrong")
            << QByteArray("POST") << "auth/v1/token?grant_type=password" << true
            << QByteArray("sb_publishable_wrong") << "Invalid API key";
        QTest::newRow("auth, prefix of the key")
            << QByteArray("POST") << "auth/v1/signup" << true
            << QByteArray("sb_publishable_greetwell") << "Invalid API key";
        QTest::newRow("rest, none") << QByteArray("GET") << "rest/v1/visitors" << false
                                    << QByteArray() << "No API key found in request";
        QTest::newRow("rest, wrong") << QByteArray("GET") << "rest/v1/visitors" << true
                                     << QByteArray("x") << "Invalid API key";
        QTest::newRow("rest, unknown table") << QByteArray("GET") << "rest/v1/nothing" << false
                                             << QByteArray() << "No API key found in request";
        QTest::newRow("rpc, wrong") << QByteArray("POST") << "rest/v1/rpc/delete_account" << true
                                    << QByteArray("x") << "Invalid API key";
    }
    void apiKeys() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(bool, withKey);
        QFETCH(QByteArray, key);
        QFETCH(QString, message);
        HeaderList headers{{"Authorization", "Bearer " + owner.accessToken.toUtf8()},
                           {"Content-Type", "application/json"}};
        if (withKey)
            headers.append({"apikey", key});
        const HttpReply reply = sendRequest(
            method, QUrl(info->url.toString() + QLatin1Char('/') + path), "{}", headers);
        QCOMPARE(reply.status, 401);
        QCOMPARE(reply.json().object(), (QJsonObject{{QStringLiteral("message"), message}}));
        // The account survived the unauthorised delete_account call.
        QCOMPARE(sqlCount(*info, QStringLiteral("select count(*) from auth.users where id = '%1'")
                                     .arg(uuidText(owner.userId))),
                 1);
    }
};

GW_BACKEND_TEST(TokenCheckTest)
#include "TokenCheckTest.moc"
