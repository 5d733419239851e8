#pragma once

#include "records/Records.h"

#include <QString>
#include <QUuid>
#include <functional>
#include <optional>
#include <stdexcept>

// One change the backend has not confirmed yet: a sign-in made while it could not be
// reached, or the sign-out of a visitor whose sign-in is still waiting.
struct QueuedChange {
    enum class Kind { signIn, signOut };
    Kind kind = Kind::signIn;
    // The whole record for a sign-in; for a sign-out only the device record id and the
    // visitor's name (shown if the backend refuses it) are used.
    NewVisitor visitor;
    std::optional<QDateTime> signedOutAt; // sign-outs
    std::optional<QUuid> inviteID;        // a sign-in from an invite: marked used once synced
    // Why the backend refused it (a 4xx); a refused change waits for a person to decide.
    std::optional<QString> problem;
    bool operator==(const QueuedChange &) const = default;

    bool isHeld() const { return problem.has_value(); }
};

class QueueError : public std::runtime_error {
public:
    explicit QueueError(const QString &message) : std::runtime_error(message.toStdString()) {}
    QString description() const { return QString::fromStdString(what()); }
};

// The changes waiting on this computer for one account, in the order they were made,
// kept in one file per account user id. Every change is on disk (written whole, then
// synced) before the call that made it returns, so a crash or power cut loses nothing.
class OfflineQueue {
public:
    // $XDG_DATA_HOME/greetwell/offline (~/.local/share when XDG_DATA_HOME is unset).
    static QString defaultDirectory();

    // Reads the account's file; a missing file is an empty queue. A file that cannot be
    // read as a queue of this account is moved aside (kept for a person to look at) and
    // `damage()` says so; the queue then starts empty.
    OfflineQueue(QString directory, QUuid owner);

    const QUuid &owner() const { return m_owner; }
    QString filePath() const;
    const QList<QueuedChange> &changes() const { return m_changes; }
    bool isEmpty() const { return m_changes.isEmpty(); }
    const std::optional<QString> &damage() const { return m_damage; }

    // Each writes the file before it changes the queue in memory; throws QueueError (and
    // changes nothing) when the file cannot be written.
    void append(const QueuedChange &change);
    void replace(qsizetype index, const QueuedChange &change);
    void removeAt(qsizetype index);
    void removeVisitor(const QString &deviceRecordID);

    // The file's text for these changes, and its reading (throws QueueError).
    static QByteArray encode(const QUuid &owner, const QList<QueuedChange> &changes);
    static QList<QueuedChange> decode(const QUuid &owner, const QByteArray &text);

private:
    void write(const QList<QueuedChange> &changes);
    // Applies `edit` to a copy, writes it, and only then keeps it.
    void change(const std::function<void(QList<QueuedChange> &)> &edit);

    QString m_directory;
    QUuid m_owner;
    QList<QueuedChange> m_changes;
    std::optional<QString> m_damage;
};
