#include "cloud/KeychainThread.h"

#include <QCoreApplication>
#include <QThread>
#include <condition_variable>
#include <mutex>

namespace KeychainThread {
namespace {

QObject *threadContext() {
    // Started on first use and stopped with the application; never deleted, so a job
    // that outlives everything else still has a thread to finish on.
    static QObject *context = [] {
        auto *thread = new QThread;
        thread->setObjectName(QStringLiteral("keychain"));
        auto *object = new QObject;
        object->moveToThread(thread);
        thread->start();
        qAddPostRoutine([] {
            QThread *running = threadContext()->thread();
            running->quit();
            running->wait(5'000);
        });
        return object;
    }();
    return context;
}

QKeychain::Job *makeJob(Operation operation, const QString &service, const QString &key,
                        const QByteArray &data) {
    QKeychain::Job *job = nullptr;
    switch (operation) {
    case Operation::read:
        job = new QKeychain::ReadPasswordJob(service);
        break;
    case Operation::write: {
        auto *write = new QKeychain::WritePasswordJob(service);
        write->setBinaryData(data);
        job = write;
        break;
    }
    case Operation::erase:
        job = new QKeychain::DeletePasswordJob(service);
        break;
    }
    job->setKey(key);
    job->setAutoDelete(true);
    // A secret never goes to a plain file.
    job->setInsecureFallback(false);
    return job;
}

} // namespace

void start(Operation operation, const QString &service, const QString &key, const QByteArray &data,
           std::function<void(Outcome)> done) {
    QObject *context = threadContext();
    QMetaObject::invokeMethod(
        context,
        [context, operation, service, key, data, done = std::move(done)] {
            QKeychain::Job *job = makeJob(operation, service, key, data);
            QObject::connect(
                job, &QKeychain::Job::finished, context, [done](QKeychain::Job *finished) {
                    Outcome outcome{finished->error(), {}};
                    if (auto *read = qobject_cast<QKeychain::ReadPasswordJob *>(finished))
                        outcome.data = read->binaryData();
                    done(outcome);
                });
            job->start();
        },
        Qt::QueuedConnection);
}

Outcome runAndWait(Operation operation, const QString &service, const QString &key,
                   const QByteArray &data, int timeoutMs) {
    struct Wait {
        std::mutex mutex;
        std::condition_variable ended;
        std::optional<Outcome> outcome;
    };
    Q_ASSERT(QThread::currentThread() != threadContext()->thread());
    auto wait = std::make_shared<Wait>();
    start(operation, service, key, data, [wait](Outcome outcome) {
        const std::lock_guard lock(wait->mutex);
        wait->outcome = std::move(outcome);
        wait->ended.notify_all();
    });
    std::unique_lock lock(wait->mutex);
    wait->ended.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return wait->outcome.has_value(); });
    return wait->outcome.value_or(Outcome{});
}

} // namespace KeychainThread
