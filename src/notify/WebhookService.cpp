#include "WebhookService.h"

namespace {
// Hosts and domains as the services document their incoming-webhook addresses.
// Slack: https://hooks.slack.com/services/T…/B…/…
constexpr QLatin1StringView slackHost("hooks.slack.com");
// Teams workflows (Power Automate) hand out trigger URLs under Azure Logic Apps
// (prod-NN.<region>.logic.azure.com) or Power Platform
// (<environment>.environment.api.powerplatform.com). Only subdomains count.
constexpr QLatin1StringView logicAppsDomain(".logic.azure.com");
constexpr QLatin1StringView powerPlatformDomain(".powerplatform.com");
// Google Chat: https://chat.googleapis.com/v1/spaces/…/messages?key=…&token=…
constexpr QLatin1StringView googleChatHost("chat.googleapis.com");
// Discord: https://discord.com/api/webhooks/<id>/<token>; discordapp.com is the older
// domain that existing webhook addresses still use.
constexpr QLatin1StringView discordHost("discord.com");
constexpr QLatin1StringView discordAppHost("discordapp.com");
constexpr QLatin1StringView discordWebhookPath("/api/webhooks");
} // namespace

QList<WebhookService> allWebhookServices() {
    return {WebhookService::slack, WebhookService::teams, WebhookService::googleChat,
            WebhookService::discord, WebhookService::json};
}

QString displayName(WebhookService service) {
    switch (service) {
    case WebhookService::slack:
        return QStringLiteral("Slack");
    case WebhookService::teams:
        return QStringLiteral("Microsoft Teams");
    case WebhookService::googleChat:
        return QStringLiteral("Google Chat");
    case WebhookService::discord:
        return QStringLiteral("Discord");
    case WebhookService::json:
        return QStringLiteral("Webhook (JSON)");
    }
    return {};
}

WebhookService detectService(const QUrl &url) {
    const QString host = url.host(QUrl::FullyEncoded).toLower();
    if (host == slackHost)
        return WebhookService::slack;
    if (host.endsWith(logicAppsDomain) || host.endsWith(powerPlatformDomain))
        return WebhookService::teams;
    if (host == googleChatHost)
        return WebhookService::googleChat;
    if (host == discordHost || host == discordAppHost)
        return url.path(QUrl::FullyEncoded).startsWith(discordWebhookPath) ? WebhookService::discord
                                                                           : WebhookService::json;
    return WebhookService::json;
}
