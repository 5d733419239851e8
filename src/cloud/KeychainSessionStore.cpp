#include "cloud/KeychainSessionStore.h"

#include <QEventLoop>
#include <qt6keychain/keychain.h>

namespace {

// The keychain API is asynchronous; the store is not. Keychain calls are short, so wait
// for the job in a local event loop.
void runJob(QKeychain::Job &job) {
    job.setAutoDelete(false);
    job.setInsecureFallback(false);
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    job.start();
    if (!finished)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
}

} // namespace

KeychainSessionStore::KeychainSessionStore(QString service, QString account)
    : m_service(std::move(service)), m_account(std::move(account)) {}

std::optional<CloudSession> KeychainSessionStore::load() {
    QKeychain::ReadPasswordJob job(m_service);
    job.setKey(m_account);
    runJob(job);
    if (job.error() != QKeychain::NoError)
        return std::nullopt;
    // An item we cannot read stays where it is; the next save replaces or erases it.
    return CloudSession::fromStoredJson(job.binaryData());
}

void KeychainSessionStore::save(const std::optional<CloudSession> &session) {
    if (!session) {
        QKeychain::DeletePasswordJob job(m_service);
        job.setKey(m_account);
        runJob(job);
        return;
    }
    // Writing replaces the item when it exists and adds it otherwise.
    QKeychain::WritePasswordJob job(m_service);
    job.setKey(m_account);
    job.setBinaryData(session->toStoredJson());
    runJob(job);
}
