#pragma once

#include "notify/NotifyError.h"
#include "notify/VisitorAlert.h"
#include "records/Records.h"

#include <QUrl>
#include <chrono>
#include <optional>
#include <qcoro/qcorotask.h>

class QNetworkAccessManager;
class QSettings;

// Preference keys holding the outcome of the last delivery.
inline constexpr char notifyLastSuccessKey[] = "NotifyLastSuccess";
inline constexpr char notifyLastErrorKey[] = "NotifyLastError";

// The one rule for accepting a webhook string anywhere: trimmed, https (any letter
// case), with a non-empty host.
std::optional<QUrl> parseWebhookURL(const QString &text);

// How deliveries are timed; tests shorten the waits and pin the clock.
struct DeliveryOptions {
    std::chrono::milliseconds timeout{10000};   // per attempt, while nothing arrives
    std::chrono::milliseconds retryDelay{2000}; // between the two attempts
    Clock clock;                                // time texts and the recorded moment
};

// Posts the alert in the format of the URL's service; one retry after a failure. The
// outcome is recorded in `prefs` (nullptr: the application's default QSettings) before
// the task ends; no value means success. `network` and `prefs` should outlive the
// task; if either is destroyed first, the delivery fails or goes unrecorded, without
// crashing. Never throws.
QCoro::Task<std::optional<NotifyError>> sendAlert(VisitorAlert alert, QUrl url,
                                                  QNetworkAccessManager *network, QSettings *prefs,
                                                  DeliveryOptions options = {});

// Success stores the moment in "NotifyLastSuccess" and removes "NotifyLastError";
// failure stores the error's message in "NotifyLastError" and leaves the success date.
void recordNotifyStatus(const std::optional<NotifyError> &outcome, QSettings *prefs,
                        const QDateTime &now = QDateTime::currentDateTime());

// The single webhook that hears about this event, if any: nothing when the event's flag
// is off; the host's personal webhook (exact name, accepted by parseWebhookURL); else
// the office webhook if accepted.
std::optional<QUrl> notifyTarget(const NotificationSettings &settings, VisitorAlert::Event event,
                                 const VisitorRow &row);

// Starts the delivery for a sign-in (the row as inserted) or sign-out (the row with its
// sign-out time) and returns at once. Nothing is sent or recorded without a target; the
// delivery's outcome only reaches the preferences.
void notifyHosts(VisitorAlert::Event event, const VisitorRow &row,
                 const NotificationSettings &settings, QNetworkAccessManager *network,
                 QSettings *prefs, DeliveryOptions options = {});
