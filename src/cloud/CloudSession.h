#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUuid>
#include <functional>
#include <optional>

class QObject;

// The signed-in state, mirrored into the keychain so the desk stays signed in.
struct CloudSession {
    QString accessToken;
    QString refreshToken;
    QDateTime expiresAt;
    QUuid userID;
    QString email;
    bool operator==(const CloudSession &) const = default;

    // The stored form: accessToken, refreshToken, expiresAt (seconds since
    // 2001-01-01T00:00:00Z), userID (upper case), email, in that order.
    QByteArray toStoredJson() const;
    // No value unless all five keys are present with the right types.
    static std::optional<CloudSession> fromStoredJson(const QByteArray &json);
};

class SessionStore {
public:
    virtual ~SessionStore() = default;
    virtual std::optional<CloudSession> load() = 0;
    // No value erases the stored item. Failures are silent.
    virtual void save(const std::optional<CloudSession> &session) = 0;
    // Calls `ready` on `context`'s thread once load() answers without waiting (at once,
    // here); never after `context` is gone. A store that reads slowly, such as the
    // keychain, lets the window paint first.
    virtual void whenLoaded(QObject *context, std::function<void()> ready) {
        (void)context;
        ready();
    }
};

// Keeps nothing across runs; for tests and for running without a keychain.
class MemorySessionStore : public SessionStore {
public:
    std::optional<CloudSession> stored;
    int saves = 0;
    std::optional<CloudSession> load() override { return stored; }
    void save(const std::optional<CloudSession> &session) override {
        stored = session;
        ++saves;
    }
};
