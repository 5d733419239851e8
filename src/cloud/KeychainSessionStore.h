#pragma once

#include "cloud/CloudSession.h"

#include <QMetaObject>
#include <QString>
#include <memory>

// The session kept as one secret in the user's keychain (the Secret Service on Linux),
// identified by (service, account). Every keychain failure is silent: a failed read
// gives no session, a failed write leaves what was stored before.
//
// The store never runs an event loop, so saving cannot re-enter its caller: it starts
// reading the item when created, in the background, and afterwards answers from its own
// copy; the first load() waits for that read unless a save came first (whenLoaded tells
// when it no longer waits). Each save updates the copy at once and queues the keychain
// write. Writes reach the keychain in
// order, the last one winning; the queue is drained before the application quits and
// when the store is destroyed.
class KeychainSessionStore : public SessionStore {
public:
    static QString defaultService() { return QStringLiteral("app.greetwell.desk.session"); }
    static QString defaultAccount() { return QStringLiteral("session"); }

    explicit KeychainSessionStore(QString service = defaultService(),
                                  QString account = defaultAccount());
    ~KeychainSessionStore() override;

    const QString &service() const { return m_service; }
    const QString &account() const { return m_account; }

    std::optional<CloudSession> load() override;
    void save(const std::optional<CloudSession> &session) override;
    void whenLoaded(QObject *context, std::function<void()> ready) override;

    // Blocks (without running the event loop) until every save so far has reached the
    // keychain; false when that took longer than `timeoutMs`.
    bool flush(int timeoutMs = 10'000);

    // How long the first load() waits for the keychain's answer before it gives none.
    static constexpr int readTimeoutMs = 30'000;

private:
    struct Queue;
    QString m_service;
    QString m_account;
    std::optional<CloudSession> m_session;
    // Whether m_session holds the answer: the read's, or a save's that came before it.
    bool m_settled = false;
    std::shared_ptr<Queue> m_queue;
    QMetaObject::Connection m_drainAtQuit;
};
