#include "cloud/KeychainSessionStore.h"

#include "cloud/KeychainThread.h"

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QPromise>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

// Shared with the keychain thread, where each write ends.
struct KeychainSessionStore::Queue {
    QString service;
    QString account;
    std::mutex mutex;
    std::condition_variable drained;
    // The newest data not yet handed to the keychain (none inside: erase the item).
    // Older waiting data is dropped: only the last write matters.
    std::optional<std::optional<QByteArray>> waiting;
    bool writing = false;

    // The item as the keychain answered when the store was created; until then none.
    std::optional<KeychainThread::Outcome> read;
    std::chrono::steady_clock::time_point readDeadline;
    std::condition_variable readEnded;
    QPromise<void> readPromise; // finished with the read, for whenLoaded
    QFuture<void> readFuture;   // the main thread's side of it

    static void writeNext(const std::shared_ptr<Queue> &queue) {
        std::optional<QByteArray> data;
        {
            const std::lock_guard lock(queue->mutex);
            if (!queue->waiting) {
                queue->writing = false;
                queue->drained.notify_all();
                return;
            }
            data = *queue->waiting;
            queue->waiting.reset();
        }
        // Writing replaces the item when it exists and adds it otherwise. The outcome is
        // not read: a failed write leaves what was there.
        using KeychainThread::Operation;
        KeychainThread::start(data ? Operation::write : Operation::erase, queue->service,
                              queue->account, data.value_or(QByteArray()),
                              [queue](const KeychainThread::Outcome &) { writeNext(queue); });
    }

    bool waitUntilDrained(int timeoutMs) {
        std::unique_lock lock(mutex);
        return drained.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [this] { return !writing && !waiting; });
    }
};

KeychainSessionStore::KeychainSessionStore(QString service, QString account)
    : m_service(std::move(service)), m_account(std::move(account)),
      m_queue(std::make_shared<Queue>()) {
    m_queue->service = m_service;
    m_queue->account = m_account;
    // Read in the background: talking to the Secret Service takes longer than painting
    // the first window.
    m_queue->readDeadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(readTimeoutMs);
    m_queue->readPromise.start();
    m_queue->readFuture = m_queue->readPromise.future();
    KeychainThread::start(KeychainThread::Operation::read, m_service, m_account, {},
                          [queue = m_queue](const KeychainThread::Outcome &outcome) {
                              {
                                  const std::lock_guard lock(queue->mutex);
                                  queue->read = outcome;
                              }
                              queue->readEnded.notify_all();
                              queue->readPromise.finish();
                          });
    if (QCoreApplication *app = QCoreApplication::instance()) {
        const std::weak_ptr<Queue> queue = m_queue;
        m_drainAtQuit = QObject::connect(app, &QCoreApplication::aboutToQuit, [queue] {
            if (const auto alive = queue.lock())
                alive->waitUntilDrained(10'000);
        });
    }
}

KeychainSessionStore::~KeychainSessionStore() {
    QObject::disconnect(m_drainAtQuit);
    flush();
}

std::optional<CloudSession> KeychainSessionStore::load() {
    if (!m_settled) {
        m_settled = true;
        std::unique_lock lock(m_queue->mutex);
        m_queue->readEnded.wait_until(lock, m_queue->readDeadline,
                                      [this] { return m_queue->read.has_value(); });
        // An item we cannot read stays where it is; the next save replaces or erases it.
        if (m_queue->read && m_queue->read->error == QKeychain::NoError)
            m_session = CloudSession::fromStoredJson(m_queue->read->data);
    }
    return m_session;
}

void KeychainSessionStore::save(const std::optional<CloudSession> &session) {
    // What is saved supersedes whatever the read still brings.
    m_session = session;
    m_settled = true;
    {
        const std::lock_guard lock(m_queue->mutex);
        m_queue->waiting.emplace(session ? std::optional(session->toStoredJson()) : std::nullopt);
        if (m_queue->writing)
            return;
        m_queue->writing = true;
    }
    Queue::writeNext(m_queue);
}

void KeychainSessionStore::whenLoaded(QObject *context, std::function<void()> ready) {
    if (m_settled || m_queue->readFuture.isFinished())
        return ready();
    auto *watcher = new QFutureWatcher<void>(context);
    auto pending = std::make_shared<std::function<void()>>(std::move(ready));
    const auto fire = [watcher, pending] {
        if (!*pending)
            return;
        const std::function<void()> call = std::exchange(*pending, {});
        watcher->deleteLater();
        call();
    };
    QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, fire);
    // A keychain that never answers: load() gives none by then.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        m_queue->readDeadline - std::chrono::steady_clock::now());
    QTimer::singleShot(int(std::max<qint64>(0, left.count())), watcher, fire);
    watcher->setFuture(m_queue->readFuture);
}

bool KeychainSessionStore::flush(int timeoutMs) {
    return m_queue->waitUntilDrained(timeoutMs);
}
