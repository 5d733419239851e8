#pragma once

#include "cloud/CloudSession.h"

#include <QString>

// The session kept as one secret in the user's keychain (the Secret Service on Linux),
// identified by (service, account). Every keychain failure is silent: a failed read
// gives no session, a failed write leaves what was stored before.
class KeychainSessionStore : public SessionStore {
public:
    static QString defaultService() { return QStringLiteral("app.greetwell.desk.session"); }
    static QString defaultAccount() { return QStringLiteral("session"); }

    explicit KeychainSessionStore(QString service = defaultService(),
                                  QString account = defaultAccount());

    const QString &service() const { return m_service; }
    const QString &account() const { return m_account; }

    std::optional<CloudSession> load() override;
    void save(const std::optional<CloudSession> &session) override;

private:
    QString m_service;
    QString m_account;
};
