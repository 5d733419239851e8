// The website's pages against the local backend: the invitation page and its QR code,
// the help pages, and a password reset from the e-mailed link to the new password.

#include "WebsiteTestKit.h"

#include "support/TestMain.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>
#include <QUrlQuery>

#include <qrencode.h>

using namespace web;

namespace {

// The dark modules drawn by the page's SVG, row by row, quiet zone included.
QList<QBitArray> svgModules(const QString &svg) {
    const auto size =
        QRegularExpression(QStringLiteral("viewBox=\"0 0 (\\d+) (\\d+)\"")).match(svg);
    const auto path = QRegularExpression(QStringLiteral("<path [^>]*d=\"([^\"]*)\"")).match(svg);
    if (!size.hasMatch() || !path.hasMatch())
        return {};
    const int n = size.captured(1).toInt();
    QList<QBitArray> rows(n, QBitArray(n));
    auto runs = QRegularExpression(QStringLiteral(R"(M(\d+) (\d+)h(\d+)v1h-(\d+)z)"))
                    .globalMatch(path.captured(1));
    while (runs.hasNext()) {
        const auto run = runs.next();
        const int x = run.captured(1).toInt(), y = run.captured(2).toInt();
        for (int i = 0; i < run.captured(3).toInt() && y < n && x + i < n; ++i)
            rows[y].setBit(x + i);
    }
    return rows;
}

// The symbol any QR encoder must produce for `text` at level M, with a 4-module margin.
QList<QBitArray> expectedModules(const QByteArray &text) {
    QRcode *code = QRcode_encodeData(int(text.size()),
                                     reinterpret_cast<const unsigned char *>(text.constData()), 0,
                                     QR_ECLEVEL_M);
    if (!code)
        return {};
    const int n = code->width + 8;
    QList<QBitArray> rows(n, QBitArray(n));
    for (int y = 0; y < code->width; ++y)
        for (int x = 0; x < code->width; ++x)
            if (code->data[y * code->width + x] & 1)
                rows[y + 4].setBit(x + 4);
    QRcode_free(code);
    return rows;
}

} // namespace

class WebsitePagesTest : public QObject {
    Q_OBJECT

    std::optional<BackendInfo> info = BackendInfo::load();

    QJsonObject createInvite(const TestAccount &account, const QJsonObject &extra = {}) {
        QJsonObject body{{QStringLiteral("answers"),
                          QJsonArray{answer(0, QStringLiteral("<b>Zoë & \"Co\"</b>"))}},
                         {QStringLiteral("email"), QStringLiteral("zoe@example.com")}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            body.insert(it.key(), it.value());
        const HttpReply reply =
            api(*info, account.accessToken, QStringLiteral("/api/invites"), compact(body));
        if (reply.status != 201)
            qWarning() << "create answered" << reply.status << reply.body;
        return reply.json().object();
    }

    HttpReply page(const QString &path) { return sendRequest("GET", siteUrl(*info, path)); }

private slots:
    void invitationPageShowsTheInviteAndItsCode() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        const TestAccount account = newAccount(*info);
        QCOMPARE(saveForm(*info, account, {field(0, QStringLiteral("Name"))},
                          QStringLiteral("Harbor & Sons"))
                     .status,
                 201);
        const QJsonObject invite = createInvite(
            account, {{QStringLiteral("visit_date"), QStringLiteral("2031-01-03")},
                      {QStringLiteral("visit_time"), QStringLiteral("16:05")},
                      {QStringLiteral("note"), QStringLiteral("Gate <B>, then left")}});
        const QString token = invite.value(QStringLiteral("token")).toString();

        const HttpReply reply = page(QStringLiteral("/i/") + token);
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.header("content-type").startsWith("text/html"));
        QCOMPARE(reply.header("cache-control"), QByteArray("no-store"));
        QCOMPARE(reply.header("referrer-policy"), QByteArray("no-referrer"));
        const QString html = QString::fromUtf8(reply.body);
        // What people typed is shown as text, never as markup.
        QVERIFY(html.contains(QStringLiteral("&lt;b&gt;Zoë &amp; &quot;Co&quot;&lt;/b&gt;")));
        QVERIFY(!html.contains(QStringLiteral("<b>Zoë")));
        QVERIFY(html.contains(QStringLiteral("Gate &lt;B&gt;, then left")));
        QVERIFY(html.contains(QStringLiteral("Harbor &amp; Sons")));
        QVERIFY(html.contains(QStringLiteral("Friday, January 3, 2031 at 16:05")));

        // The code holds the invite link, exactly as a QR encoder writes it at level M.
        const auto svg = QRegularExpression(QStringLiteral("<svg[^>]*>.*?</svg>")).match(html);
        QVERIFY(svg.hasMatch());
        const QList<QBitArray> drawn = svgModules(svg.captured(0));
        const QList<QBitArray> expected =
            expectedModules((info->url.toString() + QStringLiteral("/i/") + token).toUtf8());
        QVERIFY(!expected.isEmpty());
        QCOMPARE(drawn, expected);
    }

    void pastAndUsedInvitationsSayso() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        const TestAccount account = newAccount(*info);
        const QJsonObject invite =
            createInvite(account, {{QStringLiteral("visit_date"), QStringLiteral("2020-02-29")}});
        const QString path = QStringLiteral("/i/") + invite.value("token").toString();

        QString html = QString::fromUtf8(page(path).body);
        QVERIFY(html.contains(QStringLiteral("Saturday, February 29, 2020, which has passed")));
        QVERIFY(html.contains(QStringLiteral("<svg")));

        QCOMPARE(rest(*info, account.accessToken, "PATCH",
                      QStringLiteral("invites?id=eq.") + invite.value("id").toString(),
                      R"({"used_at":"2020-02-29T09:30:00Z"})", "return=minimal")
                     .status,
                 204);
        const HttpReply used = page(path);
        QCOMPARE(used.status, 200);
        html = QString::fromUtf8(used.body);
        QVERIFY(html.contains(QStringLiteral("used to sign in on Saturday, February 29, 2020")));
        QVERIFY(!html.contains(QStringLiteral("<svg")));
    }

    void unknownAndCancelledInvitationsAreNotFound() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        const TestAccount account = newAccount(*info);
        const QJsonObject invite = createInvite(account);
        const QString path = QStringLiteral("/i/") + invite.value("token").toString();
        QCOMPARE(page(path).status, 200);
        QCOMPARE(rest(*info, account.accessToken, "DELETE",
                      QStringLiteral("invites?id=eq.") + invite.value("id").toString())
                     .status,
                 204);

        const QString tooShort = invite.value("token").toString().left(10);
        for (const QString &gone :
             {path, QStringLiteral("/i/") + tooShort,
              QStringLiteral("/i/%3Cscript%3Ealert(1)%3C%2Fscript%3E"),
              QStringLiteral("/i/") + QString(43, QLatin1Char('A')), QStringLiteral("/i/")}) {
            const HttpReply reply = page(gone);
            QCOMPARE(reply.status, 404);
            QVERIFY(reply.header("content-type").startsWith("text/html"));
            QVERIFY(reply.body.contains("Invitation not found"));
            QVERIFY(!reply.body.contains("<script>alert"));
        }
    }

    void helpPages_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("mentions");
        QTest::newRow("start") << "/" << 200 << QStringList{"Dashboard", "Host alerts guide"};
        QTest::newRow("dashboard")
            << "/dashboard" << 200 << QStringList{"Sign In", "On site", "/auth/v1/token"};
        QTest::newRow("support") << "/support" << 200
                                 << QStringList{"Forgot password?", info ? info->outbox : "outbox"};
        QTest::newRow("privacy") << "/privacy" << 200
                                 << QStringList{"Delete Account", "no advertising"};
        QTest::newRow("guide") << "/guides/host-notifications" << 200
                               << QStringList{"Slack",
                                              "https://hooks.slack.com/services/",
                                              "Microsoft Teams",
                                              "Post to a channel when a webhook "
                                              "request is received",
                                              "Google Chat",
                                              "https://chat.googleapis.com/",
                                              "Discord",
                                              "https://discord.com/api/webhooks/",
                                              "\"event\": \"sign_in\"",
                                              "\"timestamp\""};
        QTest::newRow("unknown page") << "/no/such/page" << 404 << QStringList{"Page not found"};
    }

    void helpPages() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QStringList, mentions);
        const HttpReply reply = page(path);
        QCOMPARE(reply.status, status);
        QVERIFY(reply.header("content-type").startsWith("text/html"));
        QVERIFY(reply.header("content-security-policy").contains("default-src 'none'"));
        const QString html = QString::fromUtf8(reply.body);
        for (const QString &text : mentions)
            QVERIFY2(html.contains(text), qPrintable(text));
        // Inline scripts run only with this response's nonce.
        const auto script =
            QRegularExpression(QStringLiteral("<script nonce=\"([^\"]+)\">")).match(html);
        if (script.hasMatch())
            QVERIFY(reply.header("content-security-policy")
                        .contains("'nonce-" + script.captured(1).toUtf8() + "'"));
        QCOMPARE(html.count(QStringLiteral("<script")), script.hasMatch() ? 1 : 0);
    }

    void apiPathsKeepTheirJsonErrors() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        const HttpReply reply = page(QStringLiteral("/api/nothing-here"));
        QCOMPARE(reply.status, 404);
        QVERIFY(reply.json().object().value(QStringLiteral("error")).isString());
    }

    void passwordResetThroughTheCallbackPage() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        const TestAccount account = newAccount(*info);
        const QString callback =
            info->url.toString() + QStringLiteral("/auth/callback?next=/reset-password");
        // The request the desk's "Forgot password?" sends.
        QUrl recover = info->authUrl(QStringLiteral("recover"));
        recover.setQuery(QStringLiteral("redirect_to=") +
                         QString::fromLatin1(QUrl::toPercentEncoding(callback)));
        QCOMPARE(
            sendRequest("POST", recover, compact({{QStringLiteral("email"), account.email}}),
                        {{"apikey", info->apikey.toUtf8()}, {"Content-Type", "application/json"}})
                .status,
            200);
        const QStringList mails = mailsTo(*info, account.email);
        QCOMPARE(mails.size(), 1);
        const auto link = QRegularExpression(QStringLiteral(R"((http://\S+/auth/v1/verify\?\S+))"))
                              .match(mails[0]);
        QVERIFY(link.hasMatch());

        // The link signs the holder in and lands on the callback page with the session in
        // the fragment, where the page's script picks it up.
        const HttpReply verified = getWithoutRedirect(QUrl(link.captured(1)));
        QCOMPARE(verified.status, 303);
        const QString location = QString::fromUtf8(verified.header("location"));
        QVERIFY2(location.startsWith(callback + QStringLiteral("#access_token=")),
                 qPrintable(location));
        const QUrlQuery fragment(QUrl(location).fragment());
        QCOMPARE(fragment.queryItemValue(QStringLiteral("type")), QStringLiteral("recovery"));
        const QString accessToken = fragment.queryItemValue(QStringLiteral("access_token"));

        const HttpReply form = sendRequest("GET", QUrl(callback));
        QCOMPARE(form.status, 200);
        QVERIFY(form.body.contains("<form method=\"post\" action=\"/auth/callback\">"));
        QVERIFY(form.body.contains("name=\"access_token\""));
        QVERIFY(form.body.contains("type=\"password\" id=\"password\" name=\"password\""));

        const QUrl post = siteUrl(*info, QStringLiteral("/auth/callback"));
        const QString newPassword = QStringLiteral("fresh start+1 é");
        struct Attempt {
            QString password, confirm;
            int status;
            const char *says;
        };
        for (const Attempt &bad : {Attempt{"short", "short", 422, "at least 8"},
                                   Attempt{newPassword, newPassword + "x", 422, "not the same"},
                                   Attempt{account.password, account.password, 422, "different"}}) {
            const HttpReply reply = postForm(post, {{"access_token", accessToken},
                                                    {"password", bad.password},
                                                    {"confirm", bad.confirm}});
            QCOMPARE(reply.status, bad.status);
            QVERIFY2(reply.body.contains(bad.says), reply.body.constData());
            // The form comes back ready for another try, with the same link's session.
            QVERIFY(reply.body.contains(accessToken.toUtf8()));
        }
        const auto signIn = [&](const QString &password) {
            return sendRequest(
                       "POST", info->authUrl(QStringLiteral("token?grant_type=password")),
                       compact({{QStringLiteral("email"), account.email},
                                {QStringLiteral("password"), password}}),
                       {{"apikey", info->apikey.toUtf8()}, {"Content-Type", "application/json"}})
                .status;
        };
        QCOMPARE(signIn(account.password), 200);

        const HttpReply done = postForm(
            post,
            {{"access_token", accessToken}, {"password", newPassword}, {"confirm", newPassword}});
        QCOMPARE(done.status, 200);
        QVERIFY(done.body.contains("Your password is changed"));
        QCOMPARE(signIn(newPassword), 200);
        QCOMPARE(signIn(account.password), 400);

        // The link works once.
        const HttpReply again = postForm(post, {{"access_token", accessToken},
                                                {"password", "another password"},
                                                {"confirm", "another password"}});
        QCOMPARE(again.status, 401);
        QCOMPARE(signIn(newPassword), 200);
        QCOMPARE(getWithoutRedirect(QUrl(link.captured(1))).header("location").contains("error="),
                 true);

        // A forged token changes nothing.
        const HttpReply forged = postForm(
            post, {{"access_token", forgeToken(account.userId, "wrong-secret-wrong-secret")},
                   {"password", "attacker password"},
                   {"confirm", "attacker password"}});
        QCOMPARE(forged.status, 401);
        QCOMPARE(signIn(newPassword), 200);
    }
};

GW_BACKEND_TEST(WebsitePagesTest)
#include "WebsitePagesTest.moc"
