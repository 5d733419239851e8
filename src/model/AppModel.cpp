#include "model/AppModel.h"

#include "cloud/CloudClient.h"
#include "notify/WebhookDelivery.h"

#include <QGuiApplication>

AppModel::AppModel(CloudClient *cloud, BadgePrinter *printer, QSettings *preferences,
                   QObject *parent)
    : QObject(parent), m_cloud(cloud), m_printer(printer), m_preferences(preferences) {}

AppModel::~AppModel() {
    // The poller holds us only weakly; stop it so it does not sleep on forever.
    if (m_poller)
        m_poller->cancel.cancel();
}

void AppModel::setSigningIn(bool value) {
    if (m_isSigningIn == value)
        return;
    m_isSigningIn = value;
    emit isSigningInChanged();
}

void AppModel::setInviting(bool value) {
    if (m_isInviting == value)
        return;
    m_isInviting = value;
    emit isInvitingChanged();
}

void AppModel::setSettings(const KioskSettings &value) {
    if (m_settings == value)
        return;
    m_settings = value;
    emit settingsChanged();
}

void AppModel::setNotifications(const NotificationSettings &value) {
    if (m_notifications == value)
        return;
    m_notifications = value;
    emit notificationsChanged();
}

void AppModel::setHasSavedForm(bool value) {
    if (m_hasSavedForm == value)
        return;
    m_hasSavedForm = value;
    emit hasSavedFormChanged();
}

void AppModel::setOnSite(const QList<VisitorRow> &value) {
    if (m_onSite == value)
        return;
    m_onSite = value;
    emit onSiteChanged();
}

void AppModel::setCounts(const DeskCounts &value) {
    if (m_counts == value)
        return;
    m_counts = value;
    emit countsChanged();
}

void AppModel::setLastRefresh(const std::optional<QDateTime> &value) {
    if (m_lastRefresh == value)
        return;
    m_lastRefresh = value;
    emit lastRefreshChanged();
}

void AppModel::setError(const std::optional<QString> &value) {
    if (m_error == value)
        return;
    m_error = value;
    emit errorChanged();
}

void AppModel::bumpVisitorRevision() {
    ++m_visitorRevision;
    emit visitorRevisionChanged();
}

void AppModel::report(const QString &message) {
    setError(message);
}

void AppModel::start() {
    if (m_poller)
        return;
    m_poller.emplace();
    queue(); // what this account left waiting shows at once
    const CancellationToken token = m_poller->cancel.token();
    poll(QPointer<AppModel>(this), token);

    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        m_activeObserver = connect(app, &QGuiApplication::applicationStateChanged, this,
                                   &AppModel::onApplicationStateChanged);
    }
}

void AppModel::reset() {
    ++m_epoch;
    if (m_poller) {
        m_poller->cancel.cancel();
        m_poller.reset();
    }
    if (m_activeObserver) {
        disconnect(m_activeObserver);
        m_activeObserver = {};
    }
    setSettings(KioskSettings::defaults());
    setNotifications(NotificationSettings::defaults());
    setHasSavedForm(false);
    setOnSite({});
    setCounts({});
    setLastRefresh(std::nullopt);
    setError(std::nullopt);
    // The queue stays on disk for the account's next sign-in.
    m_queue.reset();
    m_justSynced.clear();
    updatePending();
}

void AppModel::onApplicationStateChanged(Qt::ApplicationState state) {
    if (state != Qt::ApplicationActive || !m_poller)
        return;
    // Tied to the poller's token, so a reset also stops an activation refresh in flight.
    activationRefresh(QPointer<AppModel>(this), m_poller->cancel.token());
}

QCoro::Task<void> AppModel::activationRefresh(QPointer<AppModel> self, CancellationToken cancel) {
    if (self)
        co_await self->refresh(cancel);
}

QCoro::Task<void> AppModel::poll(QPointer<AppModel> self, CancellationToken cancel) {
    try {
        if (self)
            co_await self->loadSettings(cancel);
        while (!cancel.isCancelled()) {
            if (self)
                co_await self->refresh(cancel);
            if (cancel.isCancelled())
                break;
            // Timed from the end of each refresh, so a slow backend is not piled up.
            const auto interval = self ? self->m_pollInterval : std::chrono::milliseconds(15000);
            co_await sleepFor(interval, cancel);
        }
    } catch (...) {
        // Cancelled while asleep: the run is over. Loads catch their own failures.
    }
}

QCoro::Task<void> AppModel::loadSettings(CancellationToken cancel) {
    if (!m_cloud->isSignedIn())
        co_return;
    QPointer<AppModel> self(this);
    CloudClient *cloud = m_cloud;
    const quint64 epoch = m_epoch;
    // A load that outlived its run (cancelled, or the account changed) stays silent.
    auto stale = [&] { return !self || cancel.isCancelled() || self->m_epoch != epoch; };

    std::optional<KioskSettings> form;
    try {
        form = co_await cloud->kioskSettings(cancel);
    } catch (const std::exception &error) {
        if (!stale())
            report(describeError(error));
        co_return;
    } catch (...) {
        co_return;
    }
    if (stale())
        co_return;
    setHasSavedForm(form.has_value());
    setSettings(form.value_or(KioskSettings::defaults()));

    std::optional<NotificationSettings> notifications;
    try {
        notifications = co_await cloud->notificationSettings(cancel);
    } catch (const std::exception &error) {
        if (!stale())
            report(describeError(error));
        co_return;
    } catch (...) {
        co_return;
    }
    if (stale())
        co_return;
    setNotifications(notifications.value_or(NotificationSettings::defaults()));
}

QCoro::Task<void> AppModel::refresh(CancellationToken cancel) {
    if (!m_cloud->isSignedIn())
        co_return;
    QPointer<AppModel> self(this);
    const quint64 epoch = m_epoch;
    auto stale = [&] { return !self || cancel.isCancelled() || self->m_epoch != epoch; };

    queue();
    if (hasWaiting()) {
        const std::optional<QString> unreachable = co_await syncQueue(cancel);
        if (stale())
            co_return;
        if (unreachable) {
            // Still out of reach: the list would not load either.
            report(*unreachable);
            co_return;
        }
    }
    // Visitors sent before this point are in the lists loaded below.
    const quint64 syncedBefore = m_syncSequence;

    // Both queries are in flight before either is awaited.
    auto onSiteTask = m_cloud->onSiteVisitors(cancel);
    auto countsTask = m_cloud->deskCounts(m_clock.now(), m_clock.zone, cancel);

    QList<VisitorRow> rows;
    DeskCounts counts;
    std::optional<QString> failure;
    try {
        rows = co_await onSiteTask;
    } catch (const std::exception &error) {
        failure = describeError(error);
    } catch (...) {
        failure = QStringLiteral("Something went wrong.");
    }
    try {
        counts = co_await countsTask;
    } catch (const std::exception &error) {
        if (!failure)
            failure = describeError(error);
    } catch (...) {
        if (!failure)
            failure = QStringLiteral("Something went wrong.");
    }
    if (stale())
        co_return;
    if (failure) {
        report(*failure);
        co_return;
    }
    // Applied together, so the list and the counters never disagree.
    setOnSite(rows);
    setCounts(counts);
    setLastRefresh(m_clock.now());
    setError(std::nullopt);
    const qsizetype shown = m_justSynced.size();
    m_justSynced.removeIf([&](const JustSynced &synced) { return synced.sequence <= syncedBefore; });
    if (m_justSynced.size() != shown)
        updatePending();
}

void AppModel::notifyHosts(HostEvent event, const VisitorRow &row) {
    DeliveryOptions options;
    options.clock = m_clock;
    ::notifyHosts(event == HostEvent::signIn ? VisitorAlert::Event::signIn
                                             : VisitorAlert::Event::signOut,
                  row, m_notifications, m_cloud->network(), m_preferences, options);
}
