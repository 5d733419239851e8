#include "support/TestMain.h"

#include "notify/WebhookDelivery.h"
#include "notify/WebhookService.h"

#include <QTest>

class WebhookAddressTests : public QObject {
    Q_OBJECT
private slots:
    void detection_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<WebhookService>("expected");
        const auto row = [](const char *url, WebhookService service) {
            QTest::newRow(url) << QString::fromUtf8(url) << service;
        };
        using S = WebhookService;
        row("https://hooks.slack.com/services/T000/B000/XXXX", S::slack);
        row("https://HOOKS.Slack.COM/services/T000/B000/XXXX", S::slack);
        row("https://slack.com/services/T000", S::json);
        row("https://hooks.slack.com.example.net/services/x", S::json);
        row("https://prod-12.westus.logic.azure.com:443/workflows/a/triggers/manual/paths/invoke",
            S::teams);
        row("https://PROD-12.WestUS.Logic.Azure.COM/workflows/a", S::teams);
        row("https://logic.azure.com/workflows/a", S::json);
        row("https://notlogic.azure.com/workflows/a", S::json);
        row("https://default1a.b2.environment.api.powerplatform.com/powerautomate/automations",
            S::teams);
        row("https://powerplatform.com/x", S::json);
        row("https://mypowerplatform.com/x", S::json);
        row("https://chat.googleapis.com/v1/spaces/AAAA/messages?key=k&token=t%3D", S::googleChat);
        row("https://Chat.GoogleAPIs.com/v1/spaces/AAAA/messages", S::googleChat);
        row("https://www.googleapis.com/v1/spaces/AAAA/messages", S::json);
        row("https://discord.com/api/webhooks/123/abc", S::discord);
        row("https://DISCORD.com/api/webhooks/123/abc", S::discord);
        row("https://discordapp.com/api/webhooks/123/abc", S::discord);
        row("https://discord.com/API/Webhooks/123/abc", S::json);
        row("https://discord.com/channels/1/2", S::json);
        row("https://canary.discord.com/api/webhooks/123/abc", S::json);
        row("https://ptb.discordapp.com/api/webhooks/123/abc", S::json);
        row("https://example.com/api/webhooks/123", S::json);
        row("", S::json);
    }
    void detection() {
        QFETCH(QString, url);
        QFETCH(WebhookService, expected);
        QCOMPARE(detectService(QUrl(url)), expected);
    }

    void acceptance_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("accepted"); // empty: rejected
        const QString slack = QStringLiteral("https://hooks.slack.com/services/x");
        QTest::newRow("plain") << slack << slack;
        QTest::newRow("spaces and line breaks around") << " \t" + slack + "\r\n " << slack;
        QTest::newRow("scheme in capitals") << "HTTPS://example.com/h"
                                            << "https://example.com/h";
        QTest::newRow("query kept") << "https://c.example/m?key=a&token=b%3D"
                                    << "https://c.example/m?key=a&token=b%3D";
        QTest::newRow("plain http") << "http://example.com/hook"
                                    << "";
        QTest::newRow("other scheme") << "ftp://example.com/hook"
                                      << "";
        QTest::newRow("no scheme") << "hooks.slack.com/services/x"
                                   << "";
        QTest::newRow("no host") << "https:///hook"
                                 << "";
        QTest::newRow("not a url") << "https://exa mple.com/hook"
                                   << "";
        QTest::newRow("blank") << " \n "
                               << "";
    }
    void acceptance() {
        QFETCH(QString, text);
        QFETCH(QString, accepted);
        const std::optional<QUrl> url = parseWebhookURL(text);
        QCOMPARE(url ? url->toString(QUrl::FullyEncoded) : QString(), accepted);
    }
};

GW_TEST(WebhookAddressTests)
#include "WebhookAddressTests.moc"
