#pragma once

#include "notify/VisitorAlert.h"
#include "notify/WebhookService.h"
#include "records/Records.h"

#include <QJsonObject>
#include <QStringList>

// The texts and messages built from one alert. Pure functions; the time texts use the
// clock's locale and time zone (the system's unless a test pins them).

// "V has arrived to see H", "V has signed in" or "V has signed out".
QString headline(const VisitorAlert &alert);
// "Label: value" per answer, "Answer: value" when the label is empty.
QStringList answerLines(const VisitorAlert &alert);
// Time of day only, in the locale's short style (9:41 AM in US English).
QString shortTime(const QDateTime &date, const Clock &clock = {});
// Headline · time, then the answer lines, joined with line feeds.
QString summaryText(const VisitorAlert &alert, const Clock &clock = {});

// The JSON message for the service's incoming webhook.
QJsonObject makePayload(const VisitorAlert &alert, WebhookService service, const Clock &clock = {});
