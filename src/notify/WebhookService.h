#pragma once

#include <QList>
#include <QString>
#include <QUrl>

// The chat service a webhook address belongs to; decides the message format.
enum class WebhookService { slack, teams, googleChat, discord, json };

QList<WebhookService> allWebhookServices();
// The name the Alerts settings show ("Slack", "Microsoft Teams", ...).
QString displayName(WebhookService service);

// Classifies by host (case-insensitive) and, for Discord, by path. Anything that is not
// recognised gets the generic JSON document. Never fails.
WebhookService detectService(const QUrl &url);
