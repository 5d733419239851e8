#pragma once

#include <QObject>
#include <QPointer>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <qcoro/qcorotask.h>

// Thrown by awaits that notice their token was cancelled. A cancelled operation reports
// nothing: task roots catch it and stay quiet.
struct Cancelled : std::exception {
    const char *what() const noexcept override { return "cancelled"; }
};

class CancellationState : public QObject {
    Q_OBJECT
public:
    bool cancelled = false;
signals:
    void cancelRequested();
};

// Passed down explicitly to every operation that may be cancelled. A default-constructed
// token is never cancelled.
class CancellationToken {
public:
    CancellationToken() = default;
    bool isCancelled() const { return m_state && m_state->cancelled; }
    void throwIfCancelled() const {
        if (isCancelled())
            throw Cancelled();
    }
    // Calls `handler` when the token is cancelled (at once when it already is), while
    // `context` lives. Disconnect the returned connection when no longer interested.
    QMetaObject::Connection onCancel(QObject *context, std::function<void()> handler) const;

private:
    friend class CancellationSource;
    std::shared_ptr<CancellationState> m_state;
};

class CancellationSource {
public:
    CancellationSource() : m_state(std::make_shared<CancellationState>()) {}
    CancellationToken token() const {
        CancellationToken token;
        token.m_state = m_state;
        return token;
    }
    void cancel() const {
        if (!m_state->cancelled) {
            m_state->cancelled = true;
            emit m_state->cancelRequested();
        }
    }
    bool isCancelled() const { return m_state->cancelled; }

private:
    std::shared_ptr<CancellationState> m_state;
};

// Sleeps on the monotonic clock; wakes early and throws Cancelled when the token is
// cancelled.
QCoro::Task<void> sleepFor(std::chrono::milliseconds duration, CancellationToken token = {});
