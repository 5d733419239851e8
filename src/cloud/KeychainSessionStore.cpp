#include "cloud/KeychainSessionStore.h"

#include "cloud/KeychainThread.h"

#include <QCoreApplication>
#include <condition_variable>
#include <mutex>

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
    const KeychainThread::Outcome read =
        KeychainThread::runAndWait(KeychainThread::Operation::read, m_service, m_account);
    // An item we cannot read stays where it is; the next save replaces or erases it.
    if (read.error == QKeychain::NoError)
        m_session = CloudSession::fromStoredJson(read.data);
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
    return m_session;
}

void KeychainSessionStore::save(const std::optional<CloudSession> &session) {
    m_session = session;
    {
        const std::lock_guard lock(m_queue->mutex);
        m_queue->waiting.emplace(session ? std::optional(session->toStoredJson()) : std::nullopt);
        if (m_queue->writing)
            return;
        m_queue->writing = true;
    }
    Queue::writeNext(m_queue);
}

bool KeychainSessionStore::flush(int timeoutMs) {
    return m_queue->waitUntilDrained(timeoutMs);
}
