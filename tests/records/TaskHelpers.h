#pragma once

// Runs a coroutine to its end on a nested event loop and keeps its value or exception,
// so a test can assert on either. Gives up after a time-out instead of hanging.

#include "cloud/CloudError.h"
#include "model/Records.h"

#include <QEventLoop>
#include <QTimer>
#include <exception>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>
#include <type_traits>

template <typename T> struct Outcome {
    using Value = std::conditional_t<std::is_void_v<T>, bool, T>;
    std::optional<Value> value;
    std::exception_ptr error;
    bool finished = false;

    bool ok() const { return finished && !error; }
    // The error's text: a CloudError's description, a decoding error's text, or what().
    QString errorText() const {
        if (!error)
            return {};
        try {
            std::rethrow_exception(error);
        } catch (const CloudError &e) {
            return e.description();
        } catch (const DecodingError &e) {
            return e.description();
        } catch (const std::exception &e) {
            return QString::fromUtf8(e.what());
        } catch (...) {
            return QStringLiteral("unknown exception");
        }
    }
    template <typename E> std::optional<E> errorAs() const {
        if (!error)
            return std::nullopt;
        try {
            std::rethrow_exception(error);
        } catch (const E &e) {
            return e;
        } catch (...) {
            return std::nullopt;
        }
    }
};

namespace detail {
template <typename T> struct TaskState {
    Outcome<T> outcome;
    QEventLoop *loop = nullptr;
};

// Shared state, so a task that outlives a timed-out wait writes nowhere dangerous.
template <typename T>
QCoro::Task<void> collect(QCoro::Task<T> task, std::shared_ptr<TaskState<T>> state) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            state->outcome.value = true;
        } else {
            state->outcome.value = co_await std::move(task);
        }
    } catch (...) {
        state->outcome.error = std::current_exception();
    }
    state->outcome.finished = true;
    if (state->loop)
        state->loop->quit();
}

template <typename T>
const Outcome<T> &waitState(const std::shared_ptr<TaskState<T>> &state, int timeoutMs) {
    if (!state->outcome.finished) {
        QEventLoop loop;
        state->loop = &loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
        state->loop = nullptr;
    }
    return state->outcome;
}
} // namespace detail

template <typename T> Outcome<T> runTask(QCoro::Task<T> task, int timeoutMs = 15000) {
    auto state = std::make_shared<detail::TaskState<T>>();
    detail::collect(std::move(task), state);
    return detail::waitState(state, timeoutMs);
}

// Starts a task now and collects its outcome later, for requests in flight together.
template <typename T> class Started {
public:
    explicit Started(QCoro::Task<T> task) { detail::collect(std::move(task), m_state); }
    const Outcome<T> &outcome() const { return m_state->outcome; }
    // Spins the event loop until the task ends or the time-out passes.
    const Outcome<T> &wait(int timeoutMs = 15000) { return detail::waitState(m_state, timeoutMs); }

private:
    std::shared_ptr<detail::TaskState<T>> m_state = std::make_shared<detail::TaskState<T>>();
};

// Spins the event loop until `condition` holds or the time-out passes.
template <typename Condition> bool spinUntil(Condition condition, int timeoutMs = 10000) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!condition())
        loop.exec();
    return condition();
}
