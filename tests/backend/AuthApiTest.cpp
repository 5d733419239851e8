// The auth API as the desk and the website use it: sign-up, sign-in, refresh rotation,
// sign-out, password change and reset, and accounts that must confirm their address.

#include "BackendTestKit.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

using namespace kit;

namespace {

QSet<QString> outboxFiles(const QString &folder) {
    const auto names = QDir(folder).entryList({QStringLiteral("*.eml")}, QDir::Files);
    return QSet<QString>(names.begin(), names.end());
}

// The one .eml file that appeared since `before`.
QString newMail(const QString &folder, const QSet<QString> &before) {
    const QSet<QString> added = outboxFiles(folder) - before;
    if (added.size() != 1)
        return {};
    QFile file(QDir(folder).filePath(*added.begin()));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QUrl linkIn(const QString &mail) {
    const auto match =
        QRegularExpression(QStringLiteral("(http://\\S+/auth/v1/verify\\?\\S+)")).match(mail);
    return match.hasMatch() ? QUrl(match.captured(1)) : QUrl();
}

// The fragment of a verify redirect as key/value pairs.
QMap<QString, QString> fragmentOf(const QByteArray &location) {
    QMap<QString, QString> out;
    const QString fragment = QUrl(QString::fromUtf8(location)).fragment(QUrl::FullyDecoded);
    for (const QString &pair : fragment.split(QLatin1Char('&'), Qt::SkipEmptyParts))
        out.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    return out;
}

} // namespace

class AuthApiTest : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();

private slots:
    void signUpAnswersWithASession() {
        GW_REQUIRE_BACKEND(info);
        const QString email = QStringLiteral("  New.Person-%1@Example.COM ")
                                  .arg(QUuid::createUuid().toString(QUuid::Id128).left(8));
        const HttpReply reply =
            auth(*info, QStringLiteral("signup"),
                 {{QStringLiteral("email"), email},
                  {QStringLiteral("password"), QStringLiteral("long enough")},
                  {QStringLiteral("data"),
                   QJsonObject{{QStringLiteral("name"), QStringLiteral("Zoë")}}}});
        QCOMPARE(reply.status, 200);
        const QJsonObject body = reply.json().object();
        QCOMPARE(body.value(QStringLiteral("token_type")).toString(), QStringLiteral("bearer"));
        QCOMPARE(body.value(QStringLiteral("expires_in")).toInt(), 3600);
        QVERIFY(!body.value(QStringLiteral("refresh_token")).toString().isEmpty());
        const QJsonObject user = body.value(QStringLiteral("user")).toObject();
        QCOMPARE(user.value(QStringLiteral("email")).toString(), email.trimmed().toLower());
        QCOMPARE(user.value(QStringLiteral("user_metadata"))
                     .toObject()
                     .value(QStringLiteral("name"))
                     .toString(),
                 QStringLiteral("Zoë"));

        const QJsonObject claims =
            decodeClaims(body.value(QStringLiteral("access_token")).toString());
        QCOMPARE(claims.value(QStringLiteral("sub")).toString(),
                 user.value(QStringLiteral("id")).toString());
        QCOMPARE(claims.value(QStringLiteral("role")).toString(), QStringLiteral("authenticated"));
        QCOMPARE(claims.value(QStringLiteral("aud")).toString(), QStringLiteral("authenticated"));
        QCOMPARE(claims.value(QStringLiteral("email")).toString(), email.trimmed().toLower());
        QVERIFY(!QUuid::fromString(claims.value(QStringLiteral("session_id")).toString()).isNull());
        QCOMPARE(claims.value(QStringLiteral("exp")).toInteger() -
                     claims.value(QStringLiteral("iat")).toInteger(),
                 3600);
        QCOMPARE(claims.value(QStringLiteral("exp")).toInteger(),
                 body.value(QStringLiteral("expires_at")).toInteger());
    }

    void takenAddressIsRefusedInBothErrorForms() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const QJsonObject again{{QStringLiteral("email"), account.email.toUpper()},
                                {QStringLiteral("password"), QStringLiteral("another password")}};

        const HttpReply old = auth(*info, QStringLiteral("signup"), again);
        QCOMPARE(old.status, 422);
        QCOMPARE(old.json().object(),
                 (QJsonObject{{QStringLiteral("code"), 422},
                              {QStringLiteral("error_code"), QStringLiteral("user_already_exists")},
                              {QStringLiteral("msg"), QStringLiteral("User already registered")}}));

        const HttpReply dated = auth(*info, QStringLiteral("signup"), again,
                                     {{"X-Supabase-Api-Version", "2024-01-01"}});
        QCOMPARE(dated.status, 422);
        QCOMPARE(
            dated.json().object(),
            (QJsonObject{{QStringLiteral("code"), QStringLiteral("user_already_exists")},
                         {QStringLiteral("message"), QStringLiteral("User already registered")}}));
        // The first password still works; the second attempt changed nothing.
        QCOMPARE(signIn(*info, account.email, account.password).status, 200);
    }

    void signUpChecksItsInput_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("errorCode");
        const QByteArray email = "\"email\":\"checks-" +
                                 QUuid::createUuid().toString(QUuid::Id128).left(8).toLatin1() +
                                 "@example.com\"";
        QTest::newRow("password of 7")
            << "{" + email + ",\"password\":\"1234567\"}" << 422 << "weak_password";
        QTest::newRow("password over 72 bytes")
            << "{" + email + ",\"password\":\"" + QByteArray(73, 'p') + "\"}" << 422
            << "validation_failed";
        QTest::newRow("no password") << "{" + email + "}" << 400 << "validation_failed";
        QTest::newRow("not an address")
            << QByteArray("{\"email\":\"nobody\",\"password\":\"12345678\"}") << 400
            << "validation_failed";
        QTest::newRow("address with a space")
            << QByteArray("{\"email\":\"a b@example.com\",\"password\":\"12345678\"}") << 400
            << "validation_failed";
        QTest::newRow("data not an object")
            << "{" + email + ",\"password\":\"12345678\",\"data\":\"x\"}" << 400 << "bad_json";
        QTest::newRow("email not a string")
            << QByteArray("{\"email\":42,\"password\":\"12345678\"}") << 400 << "bad_json";
        QTest::newRow("malformed JSON") << QByteArray("{\"email\":") << 400 << "bad_json";
        QTest::newRow("JSON array") << QByteArray("[]") << 400 << "bad_json";
    }
    void signUpChecksItsInput() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, errorCode);
        const HttpReply reply =
            sendRequest("POST", info->authUrl(QStringLiteral("signup")), body,
                        {{"apikey", info->apikey.toUtf8()}, {"Content-Type", "application/json"}});
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.json().object().value(QStringLiteral("error_code")).toString(), errorCode);
        QVERIFY(!reply.json().object().value(QStringLiteral("msg")).toString().isEmpty());
    }

    void wrongCredentialsLookTheSameForEveryAddress() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const HttpReply wrongPassword =
            signIn(*info, account.email, account.password + QLatin1Char('x'));
        const HttpReply unknownAddress =
            signIn(*info, QStringLiteral("nobody-here@example.com"), account.password);
        for (const HttpReply &reply : {wrongPassword, unknownAddress}) {
            QCOMPARE(reply.status, 400);
            QCOMPARE(reply.json().object(),
                     (QJsonObject{
                         {QStringLiteral("code"), 400},
                         {QStringLiteral("error_code"), QStringLiteral("invalid_credentials")},
                         {QStringLiteral("msg"), QStringLiteral("Invalid login credentials")}}));
        }
        // Addresses match whatever their case and surrounding blanks.
        QCOMPARE(signIn(*info, QLatin1Char(' ') + account.email.toUpper() + QLatin1Char('\t'),
                        account.password)
                     .status,
                 200);
    }

    void refreshRotatesAndRefusesReuse() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);

        const HttpReply first = refresh(*info, account.refreshToken);
        QCOMPARE(first.status, 200);
        const QString second =
            first.json().object().value(QStringLiteral("refresh_token")).toString();
        QVERIFY(!second.isEmpty());
        QVERIFY(second != account.refreshToken);
        const QJsonObject claims =
            decodeClaims(first.json().object().value(QStringLiteral("access_token")).toString());
        QCOMPARE(claims.value(QStringLiteral("session_id")).toString(),
                 decodeClaims(account.accessToken).value(QStringLiteral("session_id")).toString());

        const HttpReply reused = refresh(*info, account.refreshToken);
        QCOMPARE(reused.status, 400);
        QCOMPARE(reused.json().object().value(QStringLiteral("error_code")).toString(),
                 QStringLiteral("refresh_token_already_used"));
        // A replayed token means it leaked: the whole chain of that session ends.
        QCOMPARE(refresh(*info, second).status, 400);

        const HttpReply unknown = refresh(*info, QStringLiteral("not-a-token"));
        QCOMPARE(unknown.status, 400);
        QCOMPARE(unknown.json().object().value(QStringLiteral("error_code")).toString(),
                 QStringLiteral("refresh_token_not_found"));
    }

    void concurrentRefreshesSpendTheTokenOnce() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        QNetworkAccessManager manager;
        QList<QNetworkReply *> replies;
        for (int i = 0; i < 6; ++i) {
            QNetworkRequest request(
                info->authUrl(QStringLiteral("token?grant_type=refresh_token")));
            request.setRawHeader("apikey", info->apikey.toUtf8());
            request.setHeader(QNetworkRequest::ContentTypeHeader,
                              QStringLiteral("application/json"));
            replies.append(manager.post(
                request,
                compact(QJsonObject{{QStringLiteral("refresh_token"), account.refreshToken}})));
        }
        for (QNetworkReply *reply : replies)
            if (!reply->isFinished())
                QVERIFY(QTest::qWaitFor([reply] { return reply->isFinished(); }, 30000));
        int succeeded = 0;
        for (QNetworkReply *reply : replies) {
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            QVERIFY2(status == 200 || status == 400, qPrintable(QString::number(status)));
            succeeded += status == 200;
            reply->deleteLater();
        }
        QCOMPARE(succeeded, 1);
    }

    void logoutEndsOnlyThatSession() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const HttpReply other = signIn(*info, account.email, account.password);
        QCOMPARE(other.status, 200);

        const HttpReply out =
            sendRequest("POST", info->authUrl(QStringLiteral("logout")), {},
                        {{"apikey", info->apikey.toUtf8()},
                         {"Authorization", "Bearer " + account.accessToken.toUtf8()}});
        QCOMPARE(out.status, 204);
        QVERIFY(out.body.isEmpty());
        QCOMPARE(refresh(*info, account.refreshToken).status, 400);
        // The session's access token no longer opens the account API.
        const HttpReply user = sendRequest("GET", info->authUrl(QStringLiteral("user")), {},
                                           deskHeaders(*info, account.accessToken));
        QCOMPARE(user.status, 401);
        // Another desk of the same account stays signed in.
        QCOMPARE(
            refresh(*info, other.json().object().value(QStringLiteral("refresh_token")).toString())
                .status,
            200);
    }

    void passwordChange() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        auto put = [&](const QString &password, const QString &token) {
            return sendRequest("PUT", info->authUrl(QStringLiteral("user")),
                               compact(QJsonObject{{QStringLiteral("password"), password}}),
                               deskHeaders(*info, token));
        };
        const HttpReply tooShort = put(QStringLiteral("short"), account.accessToken);
        QCOMPARE(tooShort.status, 422);
        QCOMPARE(tooShort.json().object().value(QStringLiteral("error_code")).toString(),
                 QStringLiteral("weak_password"));
        QCOMPARE(put(account.password, account.accessToken).status, 422);

        const HttpReply noToken = sendRequest(
            "PUT", info->authUrl(QStringLiteral("user")),
            compact(QJsonObject{{QStringLiteral("password"), QStringLiteral("whatever123")}}),
            {{"apikey", info->apikey.toUtf8()}, {"Content-Type", "application/json"}});
        QCOMPARE(noToken.status, 401);

        const HttpReply changed = put(QStringLiteral("a brand new password"), account.accessToken);
        QCOMPARE(changed.status, 200);
        QCOMPARE(changed.json().object().value(QStringLiteral("id")).toString(),
                 uuidText(account.userId));
        QCOMPARE(signIn(*info, account.email, account.password).status, 400);
        QCOMPARE(signIn(*info, account.email, QStringLiteral("a brand new password")).status, 200);
    }

    void passwordResetByMail() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const QString redirect =
            info->url.toString() + QStringLiteral("/auth/callback?next=/reset-password");

        // Unknown address: the same answer, and no mail.
        QSet<QString> before = outboxFiles(info->outbox);
        const HttpReply unknown =
            auth(*info, QStringLiteral("recover"),
                 {{QStringLiteral("email"), QStringLiteral("nobody@example.com")}});
        QCOMPARE(unknown.status, 200);
        QCOMPARE(unknown.json().object(), QJsonObject());
        QCOMPARE(outboxFiles(info->outbox), before);

        const HttpReply known = auth(*info,
                                     QStringLiteral("recover?redirect_to=") +
                                         QString::fromLatin1(QUrl::toPercentEncoding(redirect)),
                                     {{QStringLiteral("email"), account.email}});
        QCOMPARE(known.status, 200);
        const QString mail = newMail(info->outbox, before);
        QVERIFY2(!mail.isEmpty(), "expected exactly one new e-mail");
        QVERIFY(mail.contains(QStringLiteral("To: ") + account.email));
        QVERIFY(mail.contains(QStringLiteral("Subject: Reset your Greetwell password")));
        const QUrl link = linkIn(mail);
        QVERIFY(link.isValid());

        // Opened in a browser: no API key. It signs the holder in and lands on the page.
        const HttpReply opened = sendRequest("GET", link);
        QCOMPARE(opened.status, 303);
        const QByteArray location = opened.header("location");
        QVERIFY2(location.startsWith(redirect.toUtf8() + "#"), location.constData());
        const auto fragment = fragmentOf(location);
        QCOMPARE(fragment.value(QStringLiteral("type")), QStringLiteral("recovery"));
        const QString token = fragment.value(QStringLiteral("access_token"));
        QCOMPARE(decodeClaims(token).value(QStringLiteral("sub")).toString(),
                 uuidText(account.userId));
        const HttpReply changed = sendRequest(
            "PUT", info->authUrl(QStringLiteral("user")),
            compact(QJsonObject{{QStringLiteral("password"), QStringLiteral("reset and fine")}}),
            deskHeaders(*info, token));
        QCOMPARE(changed.status, 200);
        QCOMPARE(signIn(*info, account.email, QStringLiteral("reset and fine")).status, 200);

        // A link works once.
        const HttpReply again = sendRequest("GET", link);
        QCOMPARE(again.status, 303);
        QCOMPARE(fragmentOf(again.header("location")).value(QStringLiteral("error_code")),
                 QStringLiteral("otp_expired"));
    }

    void resetLinksNeverLeadOffSite() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const QSet<QString> before = outboxFiles(info->outbox);
        QCOMPARE(auth(*info,
                      QStringLiteral("recover?redirect_to=https%3A%2F%2Fevil.example%2Fsteal"),
                      {{QStringLiteral("email"), account.email}})
                     .status,
                 200);
        const QUrl link = linkIn(newMail(info->outbox, before));
        QVERIFY(link.isValid());
        const QByteArray location = sendRequest("GET", link).header("location");
        QVERIFY2(location.startsWith(info->url.toString().toUtf8() + "/#"), location.constData());
    }

    // A second server on the same database, started with --no-autoconfirm.
    void confirmationByMailBeforeSignIn() {
        GW_REQUIRE_BACKEND(info);
        const QString binary = QStringLiteral(GW_BINARY_DIR "/backend/greetwell-backend");
        if (!QFileInfo(binary).isExecutable())
            QSKIP("greetwell-backend is not built");
        QTemporaryDir outbox;
        QProcess server;
        server.setProgram(binary);
        server.setArguments({QStringLiteral("--port"), QStringLiteral("0"),
                             QStringLiteral("--database"), info->database,
                             QStringLiteral("--jwt-secret"), info->jwtSecret,
                             QStringLiteral("--apikey"), info->apikey, QStringLiteral("--outbox"),
                             outbox.path(), QStringLiteral("--no-autoconfirm")});
        server.start();
        QVERIFY(server.waitForStarted());
        auto cleanup = qScopeGuard([&server] {
            server.terminate();
            if (!server.waitForFinished(10000))
                server.kill();
        });
        QString url;
        QVERIFY(QTest::qWaitFor(
            [&] {
                server.waitForReadyRead(100);
                const QString out = QString::fromUtf8(server.peek(1 << 16));
                const auto m =
                    QRegularExpression(QStringLiteral("ready on (http://\\S+)")).match(out);
                url = m.hasMatch() ? m.captured(1) : QString();
                return !url.isEmpty();
            },
            30000));
        BackendInfo second = *info;
        second.url = QUrl(url);
        second.outbox = outbox.path();

        const QString email = QStringLiteral("confirm-%1@example.com")
                                  .arg(QUuid::createUuid().toString(QUuid::Id128).left(10));
        const HttpReply signup =
            auth(second, QStringLiteral("signup"),
                 {{QStringLiteral("email"), email},
                  {QStringLiteral("password"), QStringLiteral("confirm me please")}});
        QCOMPARE(signup.status, 200);
        // The user object alone: no session until the address is confirmed.
        QVERIFY(!signup.json().object().contains(QStringLiteral("access_token")));
        QCOMPARE(signup.json().object().value(QStringLiteral("email")).toString(), email);

        const HttpReply early = signIn(second, email, QStringLiteral("confirm me please"));
        QCOMPARE(early.status, 400);
        QCOMPARE(early.json().object().value(QStringLiteral("error_code")).toString(),
                 QStringLiteral("email_not_confirmed"));

        const QString mail = newMail(outbox.path(), {});
        QVERIFY(mail.contains(QStringLiteral("To: ") + email));
        const HttpReply opened = sendRequest("GET", linkIn(mail));
        QCOMPARE(opened.status, 303);
        QCOMPARE(fragmentOf(opened.header("location")).value(QStringLiteral("type")),
                 QStringLiteral("signup"));
        QCOMPARE(signIn(second, email, QStringLiteral("confirm me please")).status, 200);
        // Confirmed addresses cannot be signed up again.
        QCOMPARE(auth(second, QStringLiteral("signup"),
                      {{QStringLiteral("email"), email},
                       {QStringLiteral("password"), QStringLiteral("take it over")}})
                     .status,
                 422);
    }
};

GW_BACKEND_TEST(AuthApiTest)
#include "AuthApiTest.moc"
