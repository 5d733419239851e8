// The website's pages against the local backend: the invitation page and its QR code,
// the password reset's answers to its page, and what the pages never show. The pages in
// a real browser are tested in tests/browser.

#include "WebsiteTestKit.h"

#include "support/TestMain.h"

#include <QUrlQuery>

using namespace web;

class WebsitePagesTest : public QObject {
    Q_OBJECT

    std::optional<BackendInfo> info = BackendInfo::load();

    HttpReply page(const QString &path) {
        return sendRequest("GET", QUrl(info->url.toString() + path));
    }

private slots:
    void invitationPageShowsTheInviteAndItsCode() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        QCOMPARE(saveForm(*info, account, {{0, "Name"}}, "Harbor & Sons").status, 201);
        const QJsonObject body{{"answers", QJsonArray{answer(0, "<b>Zoë & \"Co\"</b>")}},
                               {"email", "zoe@example.com"},
                               {"visit_date", "2031-01-03"},
                               {"visit_time", "16:05"},
                               {"note", "Gate <B>, then left"}};
        const QJsonObject invite =
            api(*info, account.accessToken, "/api/invites", compact(body)).json().object();
        const QString path = "/i/" + invite.value("token").toString();

        const HttpReply reply = page(path);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.header("cache-control"), QByteArray("no-store"));
        const QString html = QString::fromUtf8(reply.body);
        // What people typed is shown as text, never as markup.
        QVERIFY(html.contains("&lt;b&gt;Zoë &amp; &quot;Co&quot;&lt;/b&gt;"));
        QVERIFY(!html.contains("<b>Zoë"));
        QVERIFY(html.contains("Gate &lt;B&gt;, then left"));
        QVERIFY(html.contains("Harbor &amp; Sons"));
        QVERIFY(html.contains("Friday, January 3, 2031 at 16:05"));
        // The code holds the invite link.
        QVERIFY(html.contains("<svg") && html.contains("<path "));
    }

    void passwordResetThroughTheCallbackPage() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const QString callback = info->url.toString() + "/auth/callback?next=/reset-password";
        const HeaderList anon{{"apikey", info->apikey.toUtf8()},
                              {"Content-Type", "application/json"}};
        // The request the desk's "Forgot password?" sends.
        QUrl recover = info->authUrl("recover");
        recover.setQuery("redirect_to=" + QString::fromLatin1(QUrl::toPercentEncoding(callback)));
        QCOMPARE(sendRequest("POST", recover, compact({{"email", account.email}}), anon).status,
                 200);
        const QStringList mails = mailsTo(*info, account.email);
        QCOMPARE(mails.size(), 1);
        const auto link = QRegularExpression(R"((http://\S+/auth/v1/verify\?\S+))").match(mails[0]);
        QVERIFY(link.hasMatch());

        // The link lands on the callback page with the session in the fragment.
        const HttpReply verified = sendRequest("GET", QUrl(link.captured(1)));
        QCOMPARE(verified.status, 303);
        const QString location = QString::fromUtf8(verified.header("location"));
        QVERIFY2(location.startsWith(callback + "#access_token="), qPrintable(location));
        const QString accessToken =
            QUrlQuery(QUrl(location).fragment()).queryItemValue("access_token");

        const QUrl post(info->url.toString() + "/auth/callback");
        const auto submit = [&](const QString &token, const QString &password,
                                const QString &confirm) {
            return postForm(
                post, {{"access_token", token}, {"password", password}, {"confirm", confirm}});
        };
        const auto signIn = [&](const QString &password) {
            return sendRequest("POST", info->authUrl("token?grant_type=password"),
                               compact({{"email", account.email}, {"password", password}}), anon)
                .status;
        };
        const QString newPassword = QStringLiteral("fresh start+1 é");
        const HttpReply mismatch = submit(accessToken, newPassword, newPassword + "x");
        QCOMPARE(mismatch.status, 422);
        QCOMPARE(mismatch.json().object().value("error").toString(),
                 QStringLiteral("The two passwords are not the same."));
        // Only a session that a reset link opened may set a password this way.
        QCOMPARE(submit(account.accessToken, newPassword, newPassword).status, 401);

        const HttpReply done = submit(accessToken, newPassword, newPassword);
        QCOMPARE(done.status, 200);
        QCOMPARE(done.header("cache-control"), QByteArray("no-store"));
        QCOMPARE(signIn(newPassword), 200);
        QCOMPARE(signIn(account.password), 400);
        // Whoever held the old password is signed out everywhere.
        QCOMPARE(
            sendRequest("GET", info->authUrl("user"), {}, deskHeaders(*info, account.accessToken))
                .status,
            401);

        // The link works once, and a forged token changes nothing.
        QCOMPARE(submit(accessToken, "another password", "another password").status, 401);
        const QString forged = forgeToken(account.userId, "wrong-secret-wrong-secret");
        QCOMPARE(submit(forged, "attacker password", "attacker password").status, 401);
        QCOMPARE(signIn(newPassword), 200);
    }

    void pagesRevealNoServerPaths() {
        GW_REQUIRE_BACKEND(info);
        const QString folder = QDir(info->outbox).absolutePath();
        for (const char *path :
             {"/", "/auth/callback?next=/reset-password", "/dashboard", "/support", "/privacy",
              "/guides/host-notifications", "/nowhere"}) {
            const QString html = QString::fromUtf8(page(path).body);
            QVERIFY2(html.contains("</html>"), path);
            QVERIFY2(!html.contains(folder) && !html.contains("/tmp/"), path);
        }
    }
};

GW_BACKEND_TEST(WebsitePagesTest)
#include "WebsitePagesTest.moc"
