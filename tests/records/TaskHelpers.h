#pragma once

// Runs a coroutine on a nested event loop and keeps its value or exception, so a test can
// assert on either. Gives up after a time-out instead of hanging.

#include "cloud/CloudError.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <exception>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>
#include <type_traits>

// JSON written with single quotes, which read better in C++ strings.
inline QByteArray J(const char *text) {
    return QByteArray(text).replace('\'', '"');
}

template <typename T> struct Outcome {
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    std::exception_ptr error;
    bool finished = false;

    bool ok() const { return finished && !error; }
    template <typename E> std::optional<E> errorAs() const {
        try {
            if (error)
                std::rethrow_exception(error);
        } catch (const E &e) {
            return e;
        } catch (...) {
        }
        return std::nullopt;
    }
    QString errorText() const {
        try {
            if (error)
                std::rethrow_exception(error);
        } catch (const std::exception &e) {
            return describeError(e);
        }
        return {};
    }
};

namespace detail {
// The state is shared, so a task that outlives a timed-out wait writes nowhere dangerous.
template <typename T>
QCoro::Task<void> collect(QCoro::Task<T> task, std::shared_ptr<Outcome<T>> state,
                          QPointer<QEventLoop> loop) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            state->value = true;
        } else {
            state->value = co_await std::move(task);
        }
    } catch (...) {
        state->error = std::current_exception();
    }
    state->finished = true;
    if (loop)
        loop->quit();
}
} // namespace detail

template <typename T> Outcome<T> runTask(QCoro::Task<T> task, int timeoutMs = 15000) {
    auto state = std::make_shared<Outcome<T>>();
    QEventLoop loop;
    detail::collect(std::move(task), state, &loop);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!state->finished)
        loop.exec();
    return *state;
}
