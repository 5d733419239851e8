#pragma once

// Drives coroutines to their end on a nested event loop, so a test can assert on what
// they gave or threw:
//
//   QVERIFY(runTask(client->signOutVisitor(id, at)).ok());
//   QCOMPARE(runTask(model->signOutEveryone()).get(), 1);          // rethrows its error
//   auto first = startTask(client->validSession());                 // runs alongside...
//   QCOMPARE(first.wait().errorAs<CloudError>(), CloudError::signedOut()); // ...until here
//
// A wait gives up after a time-out instead of hanging the run; the outcome then says so.

#include <QEventLoop>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <exception>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>
#include <stdexcept>
#include <type_traits>

// Thrown by Outcome::get() of a task that had not finished when the wait gave up.
struct TaskTimedOut : std::runtime_error {
    TaskTimedOut() : std::runtime_error("the task did not finish in time") {}
};

// How a task ended: its value (true for a void task) or what it threw.
template <typename T> struct Outcome {
    using Value = std::conditional_t<std::is_void_v<T>, bool, T>;
    std::optional<Value> value;
    std::exception_ptr error; // TaskTimedOut when it had not finished
    bool finished = false;

    bool ok() const { return finished && !error; }
    // The error when it is an E.
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
    // The error's what() (empty when it ended well).
    QString errorText() const {
        try {
            if (error)
                std::rethrow_exception(error);
        } catch (const std::exception &e) {
            return QString::fromUtf8(e.what());
        } catch (...) {
            return QStringLiteral("an exception not derived from std::exception");
        }
        return {};
    }
    // The value, or the error rethrown.
    Value get() const {
        if (error)
            std::rethrow_exception(error);
        return *value;
    }
};

// A task that has started and runs on the event loop until a test waits for its end.
template <typename T> class RunningTask {
public:
    explicit RunningTask(QCoro::Task<T> task) : m_state(std::make_shared<State>()) {
        collect(std::move(task), m_state);
    }

    bool finished() const { return m_state->outcome.finished; }
    // Spins the event loop until the task ends or `timeoutMs` passes.
    Outcome<T> wait(int timeoutMs = 60000) const {
        if (!m_state->outcome.finished) {
            QEventLoop loop;
            m_state->loop = &loop;
            QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
            loop.exec();
            m_state->loop = nullptr;
        }
        Outcome<T> outcome = m_state->outcome;
        if (!outcome.finished)
            outcome.error = std::make_exception_ptr(TaskTimedOut());
        return outcome;
    }

private:
    // Shared with the coroutine, so a task that outlives a timed-out wait writes nowhere
    // dangerous.
    struct State {
        Outcome<T> outcome;
        QPointer<QEventLoop> loop;
    };

    static QCoro::Task<void> collect(QCoro::Task<T> task, std::shared_ptr<State> state) {
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

    std::shared_ptr<State> m_state;
};

template <typename T> RunningTask<T> startTask(QCoro::Task<T> task) {
    return RunningTask<T>(std::move(task));
}

template <typename T> Outcome<T> runTask(QCoro::Task<T> task, int timeoutMs = 60000) {
    return startTask(std::move(task)).wait(timeoutMs);
}
