#include "WebhookDelivery.h"

#include "notify/JsonWriter.h"
#include "notify/Notifier.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSettings>
#include <cstdio>
#include <qcoro/qcoronetworkreply.h>
#include <qcoro/qcorotimer.h>

namespace {
// QCoro::sleepFor uses a coarse timer, which may fire up to 5% early; the pause between
// the two attempts is meant to be the full time.
QCoro::Task<> pause(std::chrono::milliseconds duration) {
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    timer.start(duration);
    co_await timer;
}

std::optional<NotifyError> outcomeOf(QNetworkReply *reply) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        const int code = status.toInt();
        if (code >= 200 && code <= 299)
            return std::nullopt;
        return NotifyError::http(code);
    }
    switch (reply->error()) {
    case QNetworkReply::NoError:
        return NotifyError::network(QStringLiteral("No response"));
    // Nothing here aborts a reply, so a cancelled one ran out of time.
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError:
        return NotifyError::network(QStringLiteral("The request timed out."));
    default:
        return NotifyError::network(reply->errorString());
    }
}

QCoro::Task<std::optional<NotifyError>> postOnce(QPointer<QNetworkAccessManager> network,
                                                 QNetworkRequest request, QByteArray body) {
    if (!network)
        co_return NotifyError::network(QStringLiteral("No response"));
    QPointer<QNetworkReply> reply = network->post(request, body);
    co_await qCoro(reply.data()).waitForFinished();
    if (!reply)
        co_return NotifyError::network(QStringLiteral("No response"));
    const std::optional<NotifyError> outcome = outcomeOf(reply);
    reply->deleteLater();
    co_return outcome;
}

// The root of a delivery nobody waits for: it must not let anything escape.
QCoro::Task<> deliverDetached(VisitorAlert alert, QUrl url, QNetworkAccessManager *network,
                              QSettings *prefs, DeliveryOptions options) {
    try {
        co_await sendAlert(std::move(alert), std::move(url), network, prefs, std::move(options));
    } catch (...) {
    }
}
} // namespace

std::optional<QUrl> parseWebhookURL(const QString &text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    const QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    if (url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    if (url.host().isEmpty())
        return std::nullopt;
    return url;
}

QCoro::Task<std::optional<NotifyError>> sendAlert(VisitorAlert alert, QUrl url,
                                                  QNetworkAccessManager *network, QSettings *prefs,
                                                  DeliveryOptions options) {
    const QPointer<QNetworkAccessManager> manager(network);
    const bool defaultPrefs = prefs == nullptr;
    const QPointer<QSettings> store(prefs);

    const QByteArray body = compactJson(makePayload(alert, detectService(url), options.clock));
    QNetworkRequest request(url);
    request.setRawHeader("Content-Type", "application/json");
    request.setTransferTimeout(int(options.timeout.count()));

    std::optional<NotifyError> outcome = co_await postOnce(manager, request, body);
    if (outcome) {
        co_await pause(options.retryDelay);
        outcome = co_await postOnce(manager, request, body);
    }

    if (defaultPrefs) {
        QSettings settings;
        recordNotifyStatus(outcome, &settings, options.clock.now());
    } else if (store) {
        recordNotifyStatus(outcome, store, options.clock.now());
    }
    co_return outcome;
}

void recordNotifyStatus(const std::optional<NotifyError> &outcome, QSettings *prefs,
                        const QDateTime &now) {
    if (!prefs)
        return;
    if (outcome) {
        prefs->setValue(QLatin1String(notifyLastErrorKey), outcome->message());
    } else {
        prefs->setValue(QLatin1String(notifyLastSuccessKey), now);
        prefs->remove(QLatin1String(notifyLastErrorKey));
    }
    prefs->sync();
}

std::optional<QUrl> notifyTarget(const NotificationSettings &settings, VisitorAlert::Event event,
                                 const VisitorRow &row) {
    const bool wanted =
        event == VisitorAlert::Event::signIn ? settings.notifySignIn : settings.notifySignOut;
    if (!wanted)
        return std::nullopt;
    if (row.hostName) {
        const auto personal = settings.employeeWebhooks.constFind(*row.hostName);
        if (personal != settings.employeeWebhooks.constEnd())
            if (const std::optional<QUrl> url = parseWebhookURL(*personal))
                return url;
    }
    return parseWebhookURL(settings.officeWebhook);
}

void notifyHosts(VisitorAlert::Event event, const VisitorRow &row,
                 const NotificationSettings &settings, QNetworkAccessManager *network,
                 QSettings *prefs, DeliveryOptions options) {
    const std::optional<QUrl> target = notifyTarget(settings, event, row);
    if (!target)
        return;
    const QDateTime now = options.clock.now();
    // The task runs on by itself; dropping its handle does not stop it.
    deliverDetached(VisitorAlert::fromRow(row, event, now), *target, network, prefs,
                    std::move(options));
}
