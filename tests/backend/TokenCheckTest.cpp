// Access tokens and API keys: what the REST and auth APIs accept and how they refuse.

#include "support/BackendKit.h"
#include "support/TestMain.h"

using namespace kit;

namespace {

QJsonObject alg(const char *name) {
    return {{u"alg"_s, QLatin1String(name)}, {u"typ"_s, "JWT"}};
}

} // namespace

class TokenCheckTest : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();
    TestAccount owner, other;

    // Claims like the server's own for the owner, with `change` applied (a null value removes).
    QJsonObject claims(const QJsonObject &change = {}, qint64 lifetime = 3600) const {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        QJsonObject c{{u"aud"_s, u"authenticated"_s},
                      {u"role"_s, u"authenticated"_s},
                      {u"sub"_s, uuidText(owner.userId)},
                      {u"iat"_s, now - 10},
                      {u"exp"_s, now + lifetime}};
        for (auto it = change.begin(); it != change.end(); ++it)
            it.value().isNull() ? void(c.remove(it.key())) : void(c.insert(it.key(), it.value()));
        return c;
    }

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
        QTest::addColumn<QString>("code");  // PGRST303 tells the desk to refresh
        if (!info)
            return;
        const QByteArray secret = info->jwtSecret.toUtf8();
        QTest::newRow("no header") << u"-"_s << u"PGRST302"_s;

        QTest::newRow("alg none") << signToken(alg("none"), claims(), secret, QByteArray())
                                  << "PGRST301";

        QTest::newRow("wrong key")
            << signToken(alg("HS256"), claims(), "not-the-secret-at-all!!") << "PGRST301";
        // The owner's real token with the other account's id pasted into its payload.
        QJsonObject swapped = decodeClaims(owner.accessToken);
        swapped.insert(u"sub"_s, uuidText(other.userId));
        QTest::newRow("tampered payload")
            << owner.accessToken.section(QLatin1Char('.'), 0, 0) + QLatin1Char('.') +
                   QString::fromLatin1(base64Url(compact(swapped))) + QLatin1Char('.') +
                   owner.accessToken.section(QLatin1Char('.'), 2, 2)
            << "PGRST301";
        QTest::newRow("expired") << signToken(alg("HS256"), claims({}, -5), secret) << "PGRST303";
        QTest::newRow("superuser role")
            << signToken(alg("HS256"), claims({{u"role"_s, "postgres"}}), secret) << "PGRST303";
        QTest::newRow("no audience")
            << signToken(alg("HS256"), claims({{u"aud"_s, QJsonValue()}}), secret) << "PGRST303";
        QTest::newRow("no expiry")
            << signToken(alg("HS256"), claims({{u"exp"_s, QJsonValue()}}), secret) << "PGRST303";
        QTest::newRow("subject not a uuid")
            << signToken(alg("HS256"), claims({{u"sub"_s, "' or 1=1 --"}}), secret) << "PGRST303";
    }
    void refusedTokens() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, token);
        QFETCH(QString, code);
        HeaderList headers{{"apikey", info->apikey.toUtf8()}};
        if (token != QLatin1String("-"))
            headers.append({"Authorization", "Bearer " + token.toUtf8()});

        const HttpReply read =
            sendRequest("GET", info->restUrl(u"visitors?select=id"_s), {}, headers);
        QCOMPARE(read.status, 401);
        QCOMPARE(field(read, "code"), code);
        QVERIFY(read.header("www-authenticate").startsWith("Bearer"));

        // Writes are refused the same way, and nothing is written.
        const HttpReply insert = sendRequest("POST", info->restUrl(u"visitors"_s),
                                             R"({"visitor_name":"Intruder"})", headers);
        QCOMPARE(insert.status, 401);
        QCOMPARE(sqlCount(*info, QStringLiteral("select count(*) from visitors where "
                                                "visitor_name = 'Intruder'")),
                 0);
        const HttpReply user = sendRequest("GET", info->authUrl(u"user"_s), {}, headers);
        QCOMPARE(user.status, 401);
        QVERIFY(!field(user, "error_code").isEmpty());
    }

    // The control for the refusals above: a well-made token the server did not issue is
    // honoured, so they are refused for what they are, not for being unfamiliar.
    void aCorrectlySignedTokenIsAccepted() {
        GW_REQUIRE_BACKEND(info);
        const HttpReply reply =
            rest(*info, signToken(alg("HS256"), claims(), info->jwtSecret.toUtf8()), "GET",
                 u"visitors?select=id"_s);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json().array().size(), 3);
    }

    // Every request is POSTed: the key is checked before anything else.
    void apiKeys_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("key"); // empty: no apikey header
        QTest::addColumn<QString>("message");
        const QString none = u"No API key found in request"_s, wrong = u"Invalid API key"_s;
        QTest::newRow("auth, none") << "auth/v1/token?grant_type=password" << QByteArray() << none;
        QTest::newRow("auth, prefix")
            << "auth/v1/signup" << QByteArray("sb_publishable_greetwell") << wrong;
        QTest::newRow("rest, none, unknown table") << "rest/v1/nothing" << QByteArray() << none;
        QTest::newRow("rpc, wrong") << "rest/v1/rpc/delete_account" << QByteArray("x") << wrong;
    }
    void apiKeys() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, path);
        QFETCH(QByteArray, key);
        QFETCH(QString, message);
        HeaderList headers{{"Authorization", "Bearer " + owner.accessToken.toUtf8()},
                           {"Content-Type", "application/json"}};
        if (!key.isEmpty())
            headers.append({"apikey", key});
        const HttpReply reply = sendRequest(
            "POST", QUrl(info->url.toString() + QLatin1Char('/') + path), "{}", headers);
        QCOMPARE(reply.status, 401);
        QCOMPARE(reply.json().object(), (QJsonObject{{u"message"_s, message}}));
        // The account survived the unauthorised delete_account call.
        QCOMPARE(sqlCount(*info, u"select count(*) from auth.users where id = '%1'"_s.arg(
                                     uuidText(owner.userId))),
                 1);
    }
};

GW_BACKEND_TEST(TokenCheckTest)
#include "TokenCheckTest.moc"
