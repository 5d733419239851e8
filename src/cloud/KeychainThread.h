#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <qt6keychain/keychain.h>

// Every keychain job of this process runs on one thread of its own. QtKeychain queues
// its jobs in one executor that belongs to the thread that used it first, so jobs from
// two threads stall each other; and a thread that must wait for a job can then block
// instead of running its event loop, which would re-enter whoever called it.
namespace KeychainThread {

enum class Operation { read, write, erase };

struct Outcome {
    QKeychain::Error error = QKeychain::OtherError;
    QByteArray data; // what a read found
};

// Starts one job on the keychain thread on the item (service, key); `done` runs there,
// once, when the job has ended.
void start(Operation operation, const QString &service, const QString &key, const QByteArray &data,
           std::function<void(Outcome)> done);

// Runs one job and blocks the calling thread (never the keychain thread) until it ends.
// A job still running after `timeoutMs` gives OtherError; it carries on by itself.
Outcome runAndWait(Operation operation, const QString &service, const QString &key,
                   const QByteArray &data = {}, int timeoutMs = 30'000);

} // namespace KeychainThread
