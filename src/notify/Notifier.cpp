#include "Notifier.h"

#include <QJsonArray>
#include <QRegularExpression>

namespace {
const QString middleDot = QStringLiteral(" \u00B7 ");

// ISO 8601 in UTC to whole seconds, e.g. 2026-03-04T15:06:07Z.
QString isoSeconds(const QDateTime &date) {
    return date.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

// Slack reads "<!channel>", "<@U123>" and links between angle brackets as commands; the
// three control characters are escaped as Slack documents, and nothing else changes.
QString slackEscaped(QString text) {
    text.replace(u'&', QStringLiteral("&amp;"));
    text.replace(u'<', QStringLiteral("&lt;"));
    text.replace(u'>', QStringLiteral("&gt;"));
    return text;
}

// Google Chat has no escape: a zero-width space after each "<" keeps "<users/all>" and
// "<url|text>" from being read as a mention or a link, and looks the same.
QString googleChatNeutralised(QString text) {
    text.replace(u'<', QStringLiteral("<\u200B"));
    return text;
}

QJsonObject mrkdwn(const QString &text) {
    return {{QStringLiteral("type"), QStringLiteral("mrkdwn")},
            {QStringLiteral("text"), slackEscaped(text)}};
}

// The locale's short time format without seconds (the C locale's includes them), and
// with the rest of it as it stands.
QString hoursAndMinutesFormat(const QLocale &locale) {
    const QString format = locale.timeFormat(QLocale::ShortFormat);
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == u'\'') {
            quoted = !quoted;
        } else if (!quoted && (c == u's' || c == u'z')) {
            // Drop the field and the separator before it ("HH:mm:ss" gives "HH:mm").
            while (!out.isEmpty() && (out.back() == u':' || out.back() == u'.' ||
                                      out.back() == u',' || out.back() == u' '))
                out.chop(1);
            while (i + 1 < format.size() && format[i + 1] == c)
                ++i;
            continue;
        }
        out += c;
    }
    static const QRegularExpression hasMinutes(QStringLiteral("m"));
    return hasMinutes.match(out).hasMatch() ? out : QStringLiteral("HH:mm");
}

QJsonObject slackPayload(const VisitorAlert &alert, const Clock &clock) {
    QJsonArray blocks;
    blocks.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("section")},
                              {QStringLiteral("text"), mrkdwn('*' + headline(alert) + '*')}});
    if (!alert.answers.isEmpty())
        blocks.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("section")},
                                  {QStringLiteral("text"), mrkdwn(answerLines(alert).join('\n'))}});
    const QString context = shortTime(alert.date, clock) + middleDot + QStringLiteral("Greetwell");
    blocks.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("context")},
                              {QStringLiteral("elements"), QJsonArray{mrkdwn(context)}}});
    return {{QStringLiteral("blocks"), blocks},
            {QStringLiteral("text"), slackEscaped(summaryText(alert, clock))}};
}

// An Adaptive Card in the message shape that Teams workflows ("Post to a channel when a
// webhook request is received") pick the card out of.
QJsonObject teamsPayload(const VisitorAlert &alert, const Clock &clock) {
    QJsonArray body;
    body.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("TextBlock")},
                            {QStringLiteral("text"), headline(alert)},
                            {QStringLiteral("size"), QStringLiteral("Medium")},
                            {QStringLiteral("weight"), QStringLiteral("Bolder")},
                            {QStringLiteral("wrap"), true}});
    if (!alert.answers.isEmpty()) {
        QJsonArray facts;
        for (const VisitorAnswer &answer : alert.answers)
            facts.append(QJsonObject{{QStringLiteral("title"), answer.label},
                                     {QStringLiteral("value"), answer.value}});
        body.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("FactSet")},
                                {QStringLiteral("facts"), facts}});
    }
    body.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("TextBlock")},
                            {QStringLiteral("text"), shortTime(alert.date, clock)},
                            {QStringLiteral("isSubtle"), true},
                            {QStringLiteral("spacing"), QStringLiteral("Small")}});
    const QJsonObject card{
        // The published schema address uses plain http; it is an identifier, not fetched.
        {QStringLiteral("$schema"),
         QStringLiteral("http://adaptivecards.io/schemas/adaptive-card.json")},
        {QStringLiteral("type"), QStringLiteral("AdaptiveCard")},
        {QStringLiteral("version"), QStringLiteral("1.4")},
        {QStringLiteral("body"), body}};
    const QJsonObject attachment{
        {QStringLiteral("contentType"), QStringLiteral("application/vnd.microsoft.card.adaptive")},
        {QStringLiteral("content"), card}};
    return {{QStringLiteral("type"), QStringLiteral("message")},
            {QStringLiteral("attachments"), QJsonArray{attachment}}};
}

QJsonObject jsonPayload(const VisitorAlert &alert, const Clock &clock) {
    QJsonArray fields;
    for (const VisitorAnswer &answer : alert.answers)
        fields.append(QJsonObject{{QStringLiteral("label"), answer.label},
                                  {QStringLiteral("value"), answer.value}});
    QJsonObject payload{{QStringLiteral("event"), VisitorAlert::rawValue(alert.event)},
                        {QStringLiteral("fields"), fields},
                        {QStringLiteral("text"), summaryText(alert, clock)},
                        {QStringLiteral("timestamp"), isoSeconds(alert.date)},
                        {QStringLiteral("visitor"), alert.visitorName}};
    if (alert.hostName)
        payload.insert(QStringLiteral("host"), *alert.hostName);
    return payload;
}
} // namespace

QString headline(const VisitorAlert &alert) {
    if (alert.event == VisitorAlert::Event::signOut)
        return alert.visitorName + QStringLiteral(" has signed out");
    if (alert.hostName)
        return alert.visitorName + QStringLiteral(" has arrived to see ") + *alert.hostName;
    return alert.visitorName + QStringLiteral(" has signed in");
}

QStringList answerLines(const VisitorAlert &alert) {
    QStringList lines;
    for (const VisitorAnswer &answer : alert.answers) {
        const QString label = answer.label.isEmpty() ? QStringLiteral("Answer") : answer.label;
        lines.append(label + QStringLiteral(": ") + answer.value);
    }
    return lines;
}

QString shortTime(const QDateTime &date, const Clock &clock) {
    return clock.locale.toString(date.toTimeZone(clock.zone).time(),
                                 hoursAndMinutesFormat(clock.locale));
}

QString summaryText(const VisitorAlert &alert, const Clock &clock) {
    QStringList lines{headline(alert) + middleDot + shortTime(alert.date, clock)};
    lines += answerLines(alert);
    return lines.join('\n');
}

QJsonObject makePayload(const VisitorAlert &alert, WebhookService service, const Clock &clock) {
    switch (service) {
    case WebhookService::slack:
        return slackPayload(alert, clock);
    case WebhookService::teams:
        return teamsPayload(alert, clock);
    case WebhookService::googleChat:
        return {{QStringLiteral("text"), googleChatNeutralised(summaryText(alert, clock))}};
    case WebhookService::discord:
        // No @everyone, role or user pings from whatever a visitor typed.
        return {{QStringLiteral("allowed_mentions"),
                 QJsonObject{{QStringLiteral("parse"), QJsonArray{}}}},
                {QStringLiteral("content"), summaryText(alert, clock)}};
    case WebhookService::json:
        return jsonPayload(alert, clock);
    }
    return jsonPayload(alert, clock);
}
