// Sign-ins and sign-outs kept on this computer while the backend cannot be reached, and
// sending them once it answers again.

#include "model/AppModel.h"

#include "cloud/CloudClient.h"

#include <QSet>
#include <algorithm>

bool AppModel::isUnreachable(const CloudError &error) {
    if (error.kind() == CloudError::Kind::network)
        return true;
    // A time-out or a rate limit passes; so does a server in trouble.
    return error.kind() == CloudError::Kind::server &&
           (error.status() >= 500 || error.status() == 408 || error.status() == 429);
}

VisitorRow AppModel::pendingRow(const NewVisitor &visitor) {
    VisitorRow row;
    // The device record id is a UUID of this desk's making: it names the visitor until
    // the backend has given it a row.
    row.id = QUuid::fromString(visitor.deviceRecordID);
    row.visitorName = visitor.visitorName;
    row.hostName = visitor.hostName;
    row.answers = visitor.answers;
    row.signedInAt = visitor.signedInAt;
    row.deviceName = visitor.deviceName;
    return row;
}

namespace {

QString deviceRecordText(const QUuid &id) {
    return id.toString(QUuid::WithoutBraces).toUpper();
}

// Whether each change may be sent: not held, and not behind a held change of the same
// visitor (its sign-out waits for its sign-in).
QList<bool> sendable(const QList<QueuedChange> &changes) {
    QSet<QString> held;
    QList<bool> result;
    for (const QueuedChange &change : changes) {
        const QString &id = change.visitor.deviceRecordID;
        if (change.isHeld() || held.contains(id))
            held.insert(id);
        result.append(!held.contains(id));
    }
    return result;
}

std::optional<qsizetype> nextSendable(const QList<QueuedChange> &changes) {
    const qsizetype index = sendable(changes).indexOf(true);
    return index < 0 ? std::nullopt : std::optional<qsizetype>(index);
}

int countSendable(const QList<QueuedChange> &changes, QueuedChange::Kind kind) {
    const QList<bool> ok = sendable(changes);
    int count = 0;
    for (qsizetype i = 0; i < changes.size(); ++i)
        count += ok[i] && changes[i].kind == kind;
    return count;
}

} // namespace

void AppModel::setQueueDirectory(QString directory) {
    m_queueDirectory = std::move(directory);
    m_queue.reset();
    m_justSynced.clear();
    updatePending();
}

OfflineQueue *AppModel::queue() {
    const std::optional<CloudSession> &session = m_cloud->session();
    if (!session)
        return nullptr;
    if (!m_queue || m_queue->owner() != session->userID) {
        m_queue.reset();
        m_justSynced.clear();
        try {
            m_queue.emplace(m_queueDirectory, session->userID);
        } catch (const QueueError &error) {
            report(error.description());
        }
        if (m_queue && m_queue->damage())
            report(*m_queue->damage());
        updatePending();
    }
    return m_queue ? &*m_queue : nullptr;
}

QList<QueuedChange> AppModel::queuedChanges() const {
    const std::optional<CloudSession> &session = m_cloud->session();
    if (!m_queue || !session || m_queue->owner() != session->userID)
        return {};
    return m_queue->changes();
}

bool AppModel::hasWaiting() const {
    return nextSendable(queuedChanges()).has_value();
}

int AppModel::waitingSignIns() const {
    return countSendable(queuedChanges(), QueuedChange::Kind::signIn);
}

int AppModel::waitingSignOuts() const {
    return countSendable(queuedChanges(), QueuedChange::Kind::signOut);
}

QString AppModel::offlineText() const {
    const int signIns = waitingSignIns();
    const int signOuts = waitingSignOuts();
    if (signIns > 0)
        return QStringLiteral("Offline — %1 %2 waiting to sync")
            .arg(signIns)
            .arg(signIns == 1 ? QStringLiteral("sign-in") : QStringLiteral("sign-ins"));
    if (signOuts > 0)
        return QStringLiteral("Offline — %1 %2 waiting to sync")
            .arg(signOuts)
            .arg(signOuts == 1 ? QStringLiteral("sign-out") : QStringLiteral("sign-outs"));
    return {};
}

QList<VisitorRow> AppModel::everyoneOnSite() const {
    QList<VisitorRow> rows = m_onSite + m_pendingOnSite;
    std::stable_sort(rows.begin(), rows.end(), [](const VisitorRow &a, const VisitorRow &b) {
        return a.signedInAt > b.signedInAt;
    });
    return rows;
}

bool AppModel::isUnsynced(const QUuid &id) const {
    const QString record = deviceRecordText(id);
    const QList<QueuedChange> changes = queuedChanges();
    return std::any_of(changes.begin(), changes.end(), [&](const QueuedChange &change) {
        return change.kind == QueuedChange::Kind::signIn && change.visitor.deviceRecordID == record;
    });
}

DeskCounts AppModel::pendingCounts() const {
    // Queued sign-ins, and those sent since the counters last loaded.
    QList<VisitorRow> rows;
    QSet<QString> signedOut;
    for (const QueuedChange &change : queuedChanges()) {
        if (change.kind == QueuedChange::Kind::signIn)
            rows.append(pendingRow(change.visitor));
        else
            signedOut.insert(change.visitor.deviceRecordID);
    }
    for (const JustSynced &synced : m_justSynced)
        rows.append(synced.row);
    const DeskWindow window = DeskWindow::at(m_clock.now(), m_clock.zone);
    DeskCounts counts;
    for (const VisitorRow &row : rows) {
        counts.today += row.signedInAt >= window.startOfToday;
        counts.thisWeek += row.signedInAt >= window.startOfWeek;
        counts.onSite += row.isOnSite() && !signedOut.contains(deviceRecordText(row.id));
    }
    return counts;
}

std::optional<AppModel::HeldChange> AppModel::heldChange() const {
    for (const QueuedChange &change : queuedChanges()) {
        if (change.isHeld())
            return HeldChange{change.visitor.deviceRecordID, change.kind,
                              change.visitor.visitorName, *change.problem};
    }
    return std::nullopt;
}

void AppModel::updatePending() {
    QList<VisitorRow> rows;
    QSet<QString> signedOut;
    for (const QueuedChange &change : queuedChanges()) {
        if (change.kind == QueuedChange::Kind::signOut)
            signedOut.insert(change.visitor.deviceRecordID);
    }
    for (const QueuedChange &change : queuedChanges()) {
        if (change.kind == QueuedChange::Kind::signIn &&
            !signedOut.contains(change.visitor.deviceRecordID))
            rows.append(pendingRow(change.visitor));
    }
    for (const JustSynced &synced : m_justSynced) {
        if (synced.row.isOnSite())
            rows.append(synced.row);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const VisitorRow &a, const VisitorRow &b) {
        return a.signedInAt > b.signedInAt;
    });
    // Emitted on any change of the queue, held problems included, not only of the rows.
    m_pendingOnSite = rows;
    emit queueChanged();
}

void AppModel::keep(const QueuedChange &change) {
    if (OfflineQueue *mine = queue(); mine && mine->owner() == change.visitor.ownerID) {
        mine->append(change);
        updatePending();
        return;
    }
    // Made under an account that has since signed out: into that account's own queue.
    OfflineQueue(m_queueDirectory, change.visitor.ownerID).append(change);
}

QCoro::Task<std::optional<QString>> AppModel::syncQueue(CancellationToken cancel) {
    if (m_isSyncing || !queue())
        co_return std::nullopt;
    QPointer<AppModel> self(this);
    CloudClient *cloud = m_cloud;
    const quint64 epoch = m_epoch;
    const QUuid owner = m_queue->owner();
    auto stale = [&] {
        return !self || cancel.isCancelled() || self->m_epoch != epoch || !self->m_queue ||
               self->m_queue->owner() != owner;
    };
    m_isSyncing = true;
    std::optional<QString> unreachable;
    bool synced = false;
    for (;;) {
        const std::optional<qsizetype> index = nextSendable(m_queue->changes());
        if (!index)
            break;
        const QueuedChange change = m_queue->changes().at(*index);
        std::optional<CloudError> failure;
        try {
            if (change.kind == QueuedChange::Kind::signIn)
                co_await cloud->replayVisitor(change.visitor, cancel);
            else
                co_await cloud->signOutDeviceRecord(owner, change.visitor.deviceRecordID,
                                                    *change.signedOutAt, cancel);
        } catch (const CloudError &error) {
            failure = error;
        } catch (const std::exception &error) {
            failure = CloudError::network(describeError(error));
        } catch (...) {
            failure = CloudError::network(QStringLiteral("Something went wrong."));
        }
        if (stale())
            break;
        // The queue may have changed while we waited; find the change again.
        const qsizetype at = m_queue->changes().indexOf(change);
        if (at < 0)
            continue;
        try {
            if (failure && (isUnreachable(*failure) ||
                            failure->kind() == CloudError::Kind::signedOut)) {
                // Kept as it is: sent again once the backend (or this account) is back.
                unreachable = failure->description();
                break;
            }
            if (failure) {
                QueuedChange refused = change;
                refused.problem = failure->description();
                m_queue->replace(at, refused);
                updatePending();
                continue;
            }
            m_queue->removeAt(at);
        } catch (const QueueError &error) {
            // Sent but still on disk: sending it again later changes nothing.
            unreachable = error.description();
            break;
        }
        synced = true;
        if (change.kind == QueuedChange::Kind::signIn) {
            m_justSynced.append(JustSynced{pendingRow(change.visitor), ++m_syncSequence});
        } else {
            for (JustSynced &just : m_justSynced)
                if (deviceRecordText(just.row.id) == change.visitor.deviceRecordID)
                    just.row.signedOutAt = change.signedOutAt;
        }
        updatePending();
        if (change.inviteID) {
            // As at the desk: an invite left unmarked only stays on the expected list.
            try {
                co_await cloud->markInviteUsed(*change.inviteID, change.visitor.signedInAt);
            } catch (...) {
            }
            if (stale())
                break;
        }
    }
    if (self)
        self->m_isSyncing = false;
    if (self && synced && self->m_epoch == epoch)
        bumpVisitorRevision();
    co_return unreachable;
}

QCoro::Task<void> AppModel::retryHeld(QString deviceRecordID) {
    if (!queue())
        co_return;
    QList<QueuedChange> changes = m_queue->changes();
    for (qsizetype i = 0; i < changes.size(); ++i) {
        if (changes[i].visitor.deviceRecordID == deviceRecordID && changes[i].isHeld()) {
            QueuedChange retry = changes[i];
            retry.problem.reset();
            m_queue->replace(i, retry);
        }
    }
    updatePending();
    co_await refresh();
}

void AppModel::discardHeld(const QString &deviceRecordID) {
    if (!queue())
        return;
    m_queue->removeVisitor(deviceRecordID);
    updatePending();
}
