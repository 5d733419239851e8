#include "cloud/Cancellation.h"

#include <QTimer>
#include <qcoro/qcorotimer.h>

QMetaObject::Connection CancellationToken::onCancel(QObject *context,
                                                    std::function<void()> handler) const {
    if (!m_state)
        return {};
    if (m_state->cancelled) {
        handler();
        return {};
    }
    return QObject::connect(m_state.get(), &CancellationState::cancelRequested, context,
                            std::move(handler));
}

QCoro::Task<void> sleepFor(std::chrono::milliseconds duration, CancellationToken token) {
    token.throwIfCancelled();
    QTimer timer;
    timer.setSingleShot(true);
    // Restarting with no delay wakes the sleeper on the next turn of the event loop, so a
    // cancel never resumes it from inside the canceller's own call.
    const auto connection = token.onCancel(&timer, [&timer] { timer.start(0); });
    timer.start(duration);
    co_await timer;
    QObject::disconnect(connection);
    token.throwIfCancelled();
}
