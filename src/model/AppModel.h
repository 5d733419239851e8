#pragma once

#include "cloud/Cancellation.h"
#include "model/OfflineQueue.h"
#include "records/Records.h"

#include <QObject>
#include <QPointer>
#include <chrono>
#include <optional>
#include <qcoro/qcorotask.h>

class BadgePrinter;
class CloudError;
class CloudClient;
class QNetworkAccessManager;
class QSettings;
enum class BadgePrintResult;

// The desk's one observable state object: the account's form and host list, the alert
// settings, who is on site, the Today counters and the banner error. Polls the backend
// while a session exists. Lives on the main thread; every setter notifies only on change.
class AppModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasSavedForm READ hasSavedForm NOTIFY hasSavedFormChanged)
    Q_PROPERTY(QString error READ errorText NOTIFY errorChanged)
    Q_PROPERTY(qint64 visitorRevision READ visitorRevision NOTIFY visitorRevisionChanged)
    Q_PROPERTY(bool isSigningIn READ isSigningIn WRITE setSigningIn NOTIFY isSigningInChanged)
    Q_PROPERTY(bool isInviting READ isInviting WRITE setInviting NOTIFY isInvitingChanged)

public:
    // `preferences` receives the last notification outcome; `network` carries alerts.
    AppModel(CloudClient *cloud, BadgePrinter *printer, QSettings *preferences,
             QObject *parent = nullptr);
    ~AppModel() override;

    CloudClient *cloud() const { return m_cloud; }
    BadgePrinter *printer() const { return m_printer; }

    const KioskSettings &settings() const { return m_settings; }
    const NotificationSettings &notifications() const { return m_notifications; }
    bool hasSavedForm() const { return m_hasSavedForm; }
    const QList<VisitorRow> &onSite() const { return m_onSite; }
    const DeskCounts &counts() const { return m_counts; }
    std::optional<QDateTime> lastRefresh() const { return m_lastRefresh; }
    const std::optional<QString> &error() const { return m_error; }
    QString errorText() const { return m_error.value_or(QString()); }
    qint64 visitorRevision() const { return m_visitorRevision; }
    bool isSigningIn() const { return m_isSigningIn; }
    bool isInviting() const { return m_isInviting; }
    void setSigningIn(bool value);
    void setInviting(bool value);

    // Tests shorten the poll and pin the clock; the app polls every 15 seconds.
    void setPollInterval(std::chrono::milliseconds interval) { m_pollInterval = interval; }
    void setClock(Clock clock) { m_clock = std::move(clock); }
    const Clock &clock() const { return m_clock; }
    bool isPolling() const { return m_poller.has_value(); }

    // Lifecycle.
    void start();
    void reset();
    QCoro::Task<void> loadSettings(CancellationToken cancel = {});
    QCoro::Task<void> refresh(CancellationToken cancel = {});
    void report(const QString &message);

    // Sign-in and sign-out.
    static VisitorDraft draftFromInvite(const Invite &invite);
    static std::optional<QString> problem(const VisitorDraft &draft,
                                          const QList<KioskField> &fields);
    // The same check, with the slot of the field at fault, so a form can point at it.
    struct Problem {
        qint64 slot;
        QString message;
    };
    static std::optional<Problem> problemField(const VisitorDraft &draft,
                                               const QList<KioskField> &fields);
    // The employee named by the first employee-list field (lowest slot) whose answer
    // matches a list entry ignoring letter case and accents; the entry as written.
    static std::optional<QString> resolveHost(const VisitorDraft &draft,
                                              const KioskSettings &settings);
    QCoro::Task<BadgePrintResult> signIn(VisitorDraft draft, std::optional<Invite> invite);
    QCoro::Task<void> signOut(VisitorRow row);
    QCoro::Task<int> signOutEveryone();
    // The name this computer shows to people; "Desk" when the system has none.
    static QString deviceName();
    // The same rule over given inputs: PRETTY_HOSTNAME of a machine-info file, else the
    // host name, else "Desk".
    static QString deviceNameFrom(const QByteArray &machineInfo, const QString &hostName);

    // Sign-ins kept on this computer while the backend cannot be reached (a network
    // failure, a time-out or a 5xx answer), one queue per account in `queueDirectory`.
    // They are sent in order at the next refresh; a change the backend refuses (4xx) is
    // held for a person to retry or discard.
    void setQueueDirectory(QString directory);
    const QString &queueDirectory() const { return m_queueDirectory; }
    // The changes of the signed-in account waiting on this computer (none when signed
    // out).
    QList<QueuedChange> queuedChanges() const;
    // How many queued sign-ins and sign-outs wait to be sent (held ones not counted).
    int waitingSignIns() const;
    int waitingSignOuts() const;
    // "Offline — 2 sign-ins waiting to sync", or empty when nothing waits.
    QString offlineText() const;
    // Visitors signed in here that the on-site list does not hold yet, newest first;
    // their `id` is their device record id.
    const QList<VisitorRow> &pendingOnSite() const { return m_pendingOnSite; }
    // The loaded on-site list with those visitors, newest first (the loaded list keeps
    // its own order among equal times): everyone in the building as far as this desk knows.
    QList<VisitorRow> everyoneOnSite() const;
    // True while this visitor's sign-in has not reached the backend.
    bool isUnsynced(const QUuid &id) const;
    // What the queued sign-ins add to the loaded counters.
    DeskCounts pendingCounts() const;
    // A failure that says nothing about the change itself: no answer, a time-out, a
    // server in trouble (5xx) or a rate limit.
    static bool isUnreachable(const CloudError &error);
    // How a visitor waiting on this computer shows: its id is its device record id.
    static VisitorRow pendingRow(const NewVisitor &visitor);
    // The first change the backend refused, with its visitor.
    struct HeldChange {
        QString deviceRecordID;
        QueuedChange::Kind kind = QueuedChange::Kind::signIn;
        QString visitorName;
        QString problem;
        bool operator==(const HeldChange &) const = default;
    };
    std::optional<HeldChange> heldChange() const;
    // Sends what waits, in order; gives the reason it stopped when the backend is still
    // out of reach. Runs once at a time (a second call while one runs gives nothing).
    QCoro::Task<std::optional<QString>> syncQueue(CancellationToken cancel = {});
    // A person's decision on a held visitor: send its changes again, or drop them.
    QCoro::Task<void> retryHeld(QString deviceRecordID);
    void discardHeld(const QString &deviceRecordID);

    // Settings, employees and the form.
    static KioskSettings cleanedForm(const KioskSettings &form);
    QCoro::Task<void> saveForm(KioskSettings form);
    QCoro::Task<void> saveNotifications(NotificationSettings notifications);
    QCoro::Task<void> saveEmployee(std::optional<QString> oldName, std::optional<QString> newName,
                                   QString webhook);

signals:
    void settingsChanged();
    void notificationsChanged();
    void hasSavedFormChanged();
    void onSiteChanged();
    void countsChanged();
    void lastRefreshChanged();
    void errorChanged();
    void visitorRevisionChanged();
    void isSigningInChanged();
    void isInvitingChanged();
    // The queue, its held change or the visitors waiting on this computer changed.
    void queueChanged();

private:
    struct Poller {
        CancellationSource cancel;
    };
    void setSettings(const KioskSettings &value);
    void setNotifications(const NotificationSettings &value);
    void setHasSavedForm(bool value);
    void setOnSite(const QList<VisitorRow> &value);
    void setCounts(const DeskCounts &value);
    void setLastRefresh(const std::optional<QDateTime> &value);
    void setError(const std::optional<QString> &value);
    void bumpVisitorRevision();
    void onApplicationStateChanged(Qt::ApplicationState state);
    // Coroutines that outlive a call hold the model only through a QPointer.
    static QCoro::Task<void> poll(QPointer<AppModel> self, CancellationToken cancel);
    static QCoro::Task<void> activationRefresh(QPointer<AppModel> self, CancellationToken cancel);
    enum class HostEvent { signIn, signOut };
    // Starts the host alert for this event and returns at once; never fails.
    void notifyHosts(HostEvent event, const VisitorRow &row);

    // The signed-in account's queue, read from disk on first use; null when signed out
    // or unreadable (reported).
    OfflineQueue *queue();
    bool hasWaiting() const;
    // Writes the change into its own account's queue, whoever is signed in now.
    void keep(const QueuedChange &change);
    void updatePending();
    // A visitor just sent from the queue, shown until a list loaded after it arrives.
    struct JustSynced {
        VisitorRow row;
        quint64 sequence = 0;
    };

    CloudClient *m_cloud;
    BadgePrinter *m_printer;
    QSettings *m_preferences;
    KioskSettings m_settings = KioskSettings::defaults();
    NotificationSettings m_notifications = NotificationSettings::defaults();
    bool m_hasSavedForm = false;
    QList<VisitorRow> m_onSite;
    DeskCounts m_counts;
    std::optional<QDateTime> m_lastRefresh;
    std::optional<QString> m_error;
    qint64 m_visitorRevision = 0;
    bool m_isSigningIn = false;
    bool m_isInviting = false;
    std::optional<Poller> m_poller;
    // Increased by every reset: a load that started under an earlier account applies
    // nothing and reports nothing.
    quint64 m_epoch = 0;
    QMetaObject::Connection m_activeObserver;
    std::chrono::milliseconds m_pollInterval{15000};
    Clock m_clock;

    QString m_queueDirectory = OfflineQueue::defaultDirectory();
    std::optional<OfflineQueue> m_queue;
    QList<JustSynced> m_justSynced;
    QList<VisitorRow> m_pendingOnSite;
    quint64 m_syncSequence = 0;
    bool m_isSyncing = false;
};
