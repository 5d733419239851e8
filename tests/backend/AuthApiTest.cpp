// The auth API as the desk and the website use it: sign-up and sign-in errors, sign-out,
// and password reset by mail (refresh rotation is in SessionRulesTest).

#include "support/BackendKit.h"
#include "support/TestMain.h"

#include <QDir>
#include <QRegularExpression>
#include <QUrlQuery>

using namespace kit;

namespace {

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
    TestAccount taken;

private slots:
    void initTestCase() {
        if (info)
            taken = createTestAccount(*info);
    }

    void refusals_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QJsonObject>("body");
        QTest::addColumn<bool>("dated"); // X-Supabase-Api-Version: 2024-01-01
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("errorCode");
        auto row = [](const char *name, const char *path, const QString &email,
                      const QString &password, bool dated, int status, const char *code) {
            QTest::newRow(name) << QString::fromLatin1(path)
                                << QJsonObject{{u"email"_s, email}, {u"password"_s, password}}
                                << dated << status << QString::fromLatin1(code);
        };
        const char *signIn = "token?grant_type=password";
        row("taken address", "signup", taken.email.toUpper(), "another one", false, 422,
            "user_already_exists");
        row("taken address, dated", "signup", taken.email, "another one", true, 422,
            "user_already_exists");
        row("wrong password", signIn, taken.email, taken.password + "x", false, 400,
            "invalid_credentials");
        row("unknown address", signIn, "nobody-here@example.com", "12345678", false, 400,
            "invalid_credentials");
        row("password of 7", "signup", "seven@example.com", "1234567", false, 422, "weak_password");
    }
    void refusals() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, path);
        QFETCH(QJsonObject, body);
        QFETCH(bool, dated);
        QFETCH(int, status);
        QFETCH(QString, errorCode);
        const HttpReply reply =
            auth(*info, path, body,
                 dated ? HeaderList{{"X-Supabase-Api-Version", "2024-01-01"}} : HeaderList{});
        QCOMPARE(reply.status, status);
        const QJsonObject error = reply.json().object();
        QCOMPARE(error.size(), dated ? 2 : 3);
        if (!dated)
            QCOMPARE(error.value(u"code"_s).toInt(), status);
        QCOMPARE(field(reply, dated ? "code" : "error_code"), errorCode);
        const QString message = field(reply, dated ? "message" : "msg");
        QVERIFY(!message.isEmpty());
        // The same words whether or not the address has an account.
        if (errorCode == u"invalid_credentials"_s)
            QCOMPARE(message, u"Invalid login credentials"_s);
        // Nothing a refusal did changed the account.
        QCOMPARE(kit::signIn(*info, taken.email, taken.password).status, 200);
    }

    void logoutEndsOnlyThatSession() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const HttpReply other = signIn(*info, account.email, account.password);
        const HttpReply out = sendRequest("POST", info->authUrl(u"logout"_s), {},
                                          deskHeaders(*info, account.accessToken));
        QCOMPARE(out.status, 204);
        QCOMPARE(refresh(*info, account.refreshToken).status, 400);
        // Another desk of the same account stays signed in.
        QCOMPARE(refresh(*info, field(other, "refresh_token")).status, 200);
    }

    // The link in the mail signs its holder in once, never leads off the site, and lets
    // them choose a new password.
    void passwordResetByMail() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const QString site = info->url.toString();
        const QString redirect = site + u"/auth/callback?next=/reset-password"_s;
        const QDir outbox(info->outbox);
        const QStringList before = outbox.entryList({u"*.eml"_s});
        QCOMPARE((auth(*info, u"recover"_s, {{"email", "nobody@example.com"}}).status), 200);
        QCOMPARE(outbox.entryList({u"*.eml"_s}), before);
        const QString recover =
            u"recover?redirect_to="_s + QString::fromLatin1(QUrl::toPercentEncoding(redirect));
        QCOMPARE((auth(*info, recover, {{"email", account.email}}).status), 200);
        QString mail;
        for (const QString &name : outbox.entryList({u"*.eml"_s}))
            if (!before.contains(name)) {
                QFile file(outbox.filePath(name));
                QVERIFY(file.open(QIODevice::ReadOnly));
                mail += QString::fromUtf8(file.readAll());
            }
        QVERIFY(mail.contains(u"To: "_s + account.email));
        const QUrl link(
            QRegularExpression(u"(http://\\S+/auth/v1/verify\\?\\S+)"_s).match(mail).captured(1));
        QVERIFY(link.isValid());

        // Opened in a browser: no API key.
        const QByteArray location = sendRequest("GET", link).header("location");
        QVERIFY2(location.startsWith(redirect.toUtf8() + "#"), location.constData());
        const QString token = fragmentOf(location).value(u"access_token"_s);
        QCOMPARE(decodeClaims(token).value("sub").toString(), uuidText(account.userId));
        auto setPassword = [&](const char *password) {
            return sendRequest("PUT", info->authUrl(u"user"_s), compact({{"password", password}}),
                               deskHeaders(*info, token))
                .status;
        };
        QCOMPARE(setPassword("short"), 422);
        QCOMPARE(setPassword("reset and fine"), 200);
        QCOMPARE(signIn(*info, account.email, account.password).status, 400);
        QCOMPARE(signIn(*info, account.email, u"reset and fine"_s).status, 200);

        // Used once; and a link rewritten to point elsewhere still lands on this site.
        QUrlQuery query(link);
        query.removeAllQueryItems(u"redirect_to"_s);
        query.addQueryItem(u"redirect_to"_s, u"https://evil.example/"_s);
        QUrl rewritten = link;
        rewritten.setQuery(query);
        const QByteArray again = sendRequest("GET", rewritten).header("location");
        QVERIFY2(again.startsWith(site.toUtf8() + "/#"), again.constData());
        QCOMPARE(fragmentOf(again).value(u"error_code"_s), u"otp_expired"_s);
    }
};

GW_BACKEND_TEST(AuthApiTest)
#include "AuthApiTest.moc"
