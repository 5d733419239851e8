#include "model/OfflineQueue.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int fileVersion = 1;
// A desk queues a handful of sign-ins in an outage, not millions; a file far larger than
// that is not ours.
constexpr qint64 maxFileBytes = 64 * 1024 * 1024;

QString idText(const QUuid &id) {
    return id.toString(QUuid::WithoutBraces).toLower();
}

QString kindText(QueuedChange::Kind kind) {
    return kind == QueuedChange::Kind::signIn ? QStringLiteral("sign_in")
                                              : QStringLiteral("sign_out");
}

[[noreturn]] void bad(const QString &what) {
    throw QueueError(QStringLiteral("Unreadable queue: ") + what);
}

QString requiredString(const QJsonObject &object, const QString &key) {
    const QJsonValue value = object.value(key);
    if (!value.isString())
        bad(key + QStringLiteral(" is missing"));
    return value.toString();
}

QDateTime requiredTime(const QJsonObject &object, const QString &key) {
    const std::optional<QDateTime> moment = parseTimestamp(requiredString(object, key));
    if (!moment)
        bad(key + QStringLiteral(" is not a time"));
    return *moment;
}

QJsonObject changeJson(const QueuedChange &change) {
    QJsonObject object{{QStringLiteral("kind"), kindText(change.kind)},
                       {QStringLiteral("device_record_id"), change.visitor.deviceRecordID},
                       {QStringLiteral("visitor_name"), change.visitor.visitorName}};
    if (change.kind == QueuedChange::Kind::signIn) {
        // The insert body exactly as it will be sent.
        object.insert(QStringLiteral("visitor"),
                      QJsonDocument::fromJson(change.visitor.toJson()).object());
    }
    if (change.signedOutAt)
        object.insert(QStringLiteral("signed_out_at"), formatTimestamp(*change.signedOutAt));
    if (change.inviteID)
        object.insert(QStringLiteral("invite_id"), idText(*change.inviteID));
    if (change.problem)
        object.insert(QStringLiteral("problem"), *change.problem);
    return object;
}

NewVisitor visitorFromJson(const QJsonObject &object, const QUuid &owner) {
    NewVisitor visitor;
    visitor.ownerID = QUuid::fromString(requiredString(object, QStringLiteral("owner_id")));
    // Never another account's visitor, whatever the file says.
    if (visitor.ownerID != owner)
        bad(QStringLiteral("a visitor of another account"));
    visitor.deviceRecordID = requiredString(object, QStringLiteral("device_record_id"));
    visitor.visitorName = requiredString(object, QStringLiteral("visitor_name"));
    const QJsonValue host = object.value(QStringLiteral("host_name"));
    if (host.isString())
        visitor.hostName = host.toString();
    else if (!host.isNull())
        bad(QStringLiteral("host_name is not text"));
    const QJsonValue answers = object.value(QStringLiteral("answers"));
    if (!answers.isArray())
        bad(QStringLiteral("answers is not a list"));
    for (const QJsonValue &answer : answers.toArray()) {
        if (!answer.isObject() || !answer[QStringLiteral("label")].isString() ||
            !answer[QStringLiteral("value")].isString())
            bad(QStringLiteral("an answer is not a label and a value"));
        visitor.answers.append(VisitorAnswer::fromJson(answer));
    }
    visitor.signedInAt = requiredTime(object, QStringLiteral("signed_in_at"));
    visitor.deviceName = requiredString(object, QStringLiteral("device_name"));
    return visitor;
}

QueuedChange changeFromJson(const QJsonValue &value, const QUuid &owner) {
    if (!value.isObject())
        bad(QStringLiteral("an entry is not an object"));
    const QJsonObject object = value.toObject();
    QueuedChange change;
    const QString kind = requiredString(object, QStringLiteral("kind"));
    if (kind == kindText(QueuedChange::Kind::signIn)) {
        change.kind = QueuedChange::Kind::signIn;
        change.visitor = visitorFromJson(object.value(QStringLiteral("visitor")).toObject(), owner);
        if (change.visitor.deviceRecordID !=
            requiredString(object, QStringLiteral("device_record_id")))
            bad(QStringLiteral("device_record_id does not match its visitor"));
    } else if (kind == kindText(QueuedChange::Kind::signOut)) {
        change.kind = QueuedChange::Kind::signOut;
        change.visitor.ownerID = owner;
        change.visitor.deviceRecordID = requiredString(object, QStringLiteral("device_record_id"));
        change.visitor.visitorName = requiredString(object, QStringLiteral("visitor_name"));
        change.signedOutAt = requiredTime(object, QStringLiteral("signed_out_at"));
    } else {
        bad(QStringLiteral("unknown kind ") + kind);
    }
    if (change.visitor.deviceRecordID.isEmpty())
        bad(QStringLiteral("device_record_id is empty"));
    if (object.contains(QStringLiteral("invite_id"))) {
        const QUuid invite = QUuid::fromString(requiredString(object, QStringLiteral("invite_id")));
        if (invite.isNull())
            bad(QStringLiteral("invite_id is not an id"));
        change.inviteID = invite;
    }
    if (object.contains(QStringLiteral("problem")))
        change.problem = requiredString(object, QStringLiteral("problem"));
    return change;
}

// The rename only lasts a power cut once the folder itself is on disk.
void syncDirectory(const QString &path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

QString OfflineQueue::defaultDirectory() {
    // GenericDataLocation is $XDG_DATA_HOME, or ~/.local/share without it.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/greetwell/offline");
}

OfflineQueue::OfflineQueue(QString directory, QUuid owner)
    : m_directory(std::move(directory)), m_owner(owner) {
    QFile file(filePath());
    if (!file.exists())
        return;
    try {
        if (!file.open(QIODevice::ReadOnly))
            throw QueueError(file.errorString());
        if (file.size() > maxFileBytes)
            bad(QStringLiteral("the file is too large"));
        m_changes = decode(m_owner, file.readAll());
        return;
    } catch (const QueueError &error) {
        file.close();
        // Kept beside the queue under a name we never read, for a person to look at.
        const QString aside = filePath() + QStringLiteral(".unreadable-") +
                              QDateTime::currentDateTimeUtc().toString(u"yyyyMMddHHmmss");
        const bool moved = QFile::rename(filePath(), aside);
        m_damage = QStringLiteral("Sign-ins waiting on this computer could not be read (%1). "
                                  "The file was kept as %2.")
                       .arg(error.description(), moved ? aside : filePath());
        if (!moved)
            throw QueueError(*m_damage);
    }
}

QString OfflineQueue::filePath() const {
    return m_directory + QLatin1Char('/') + idText(m_owner) + QStringLiteral(".json");
}

QByteArray OfflineQueue::encode(const QUuid &owner, const QList<QueuedChange> &changes) {
    QJsonArray entries;
    for (const QueuedChange &change : changes)
        entries.append(changeJson(change));
    const QJsonObject root{{QStringLiteral("version"), fileVersion},
                           {QStringLiteral("owner_id"), idText(owner)},
                           {QStringLiteral("changes"), entries}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QList<QueuedChange> OfflineQueue::decode(const QUuid &owner, const QByteArray &text) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        bad(QStringLiteral("not a JSON object"));
    const QJsonObject root = document.object();
    if (root.value(QStringLiteral("version")).toInt() != fileVersion)
        bad(QStringLiteral("unknown version"));
    if (QUuid::fromString(requiredString(root, QStringLiteral("owner_id"))) != owner)
        bad(QStringLiteral("the queue of another account"));
    const QJsonValue entries = root.value(QStringLiteral("changes"));
    if (!entries.isArray())
        bad(QStringLiteral("changes is not a list"));
    QList<QueuedChange> changes;
    for (const QJsonValue &entry : entries.toArray())
        changes.append(changeFromJson(entry, owner));
    return changes;
}

void OfflineQueue::write(const QList<QueuedChange> &changes) {
    // Visitors' names and answers: readable by this user only.
    if (!QDir().mkpath(m_directory))
        throw QueueError(QStringLiteral("Could not create the folder %1.").arg(m_directory));
    QFile::setPermissions(m_directory,
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (changes.isEmpty()) {
        // An empty queue is no file, so a folder listing shows who has work waiting.
        QFile file(filePath());
        if (file.exists() && !file.remove())
            throw QueueError(QStringLiteral("Could not update %1: %2")
                                 .arg(filePath(), file.errorString()));
        syncDirectory(m_directory);
        return;
    }
    QSaveFile file(filePath());
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        throw QueueError(
            QStringLiteral("Could not write %1: %2").arg(filePath(), file.errorString()));
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    const QByteArray text = encode(m_owner, changes);
    const bool written = file.write(text) == text.size() && file.flush();
    // On disk before the new name replaces the old file.
    if (!written || ::fsync(file.handle()) != 0) {
        file.cancelWriting();
        file.commit();
        throw QueueError(
            QStringLiteral("Could not write %1: %2").arg(filePath(), file.errorString()));
    }
    if (!file.commit())
        throw QueueError(
            QStringLiteral("Could not write %1: %2").arg(filePath(), file.errorString()));
    syncDirectory(m_directory);
}

void OfflineQueue::change(const std::function<void(QList<QueuedChange> &)> &edit) {
    QList<QueuedChange> next = m_changes;
    edit(next);
    write(next);
    m_changes = next;
}

void OfflineQueue::append(const QueuedChange &change) {
    this->change([&](QList<QueuedChange> &changes) { changes.append(change); });
}

void OfflineQueue::replace(qsizetype index, const QueuedChange &change) {
    this->change([&](QList<QueuedChange> &changes) { changes[index] = change; });
}

void OfflineQueue::removeAt(qsizetype index) {
    change([&](QList<QueuedChange> &changes) { changes.removeAt(index); });
}

void OfflineQueue::removeVisitor(const QString &deviceRecordID) {
    change([&](QList<QueuedChange> &changes) {
        changes.removeIf([&](const QueuedChange &queued) {
            return queued.visitor.deviceRecordID == deviceRecordID;
        });
    });
}
