#include "CloudTestSupport.h"
#include "cloud/KeychainSessionStore.h"
#include "support/TestMain.h"

#include <QEventLoop>
#include <QTest>
#include <qt6keychain/keychain.h>

// Against the real Secret Service: scripts/test runs the tests in a private D-Bus session
// with an unlocked, throwaway gnome-keyring.
class KeychainSessionStoreTests : public QObject {
    Q_OBJECT
    const QString m_service =
        "app.greetwell.desk.session.test-" + QUuid::createUuid().toString(QUuid::Id128);

    // Runs a job on the test's item to its end: shows what the store itself does not.
    template <typename Job> Job &run(Job &&job) {
        job.setKey("session");
        job.setAutoDelete(false);
        QEventLoop loop;
        connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
        job.start();
        loop.exec();
        return job;
    }
    QByteArray raw() { return run(QKeychain::ReadPasswordJob(m_service)).binaryData(); }

private slots:
    void savesReplacesLoadsAndErases() {
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") ||
            run(QKeychain::ReadPasswordJob(m_service)).error() != QKeychain::EntryNotFound)
            QSKIP("No Secret Service answered: run the tests through scripts/test "
                  "(or dbus-run-session -- scripts/lib/with-keyring ctest)");
        QKeychain::WritePasswordJob write(m_service);
        write.setBinaryData("not json");
        // A service that answers but cannot store (a locked keyring with nobody to unlock
        // it) is a broken set-up, not a reason to skip.
        QVERIFY2(run(write).error() == QKeychain::NoError,
                 qPrintable("Is the keyring unlocked? " + write.errorString()));

        // An item that does not decode loads as none and stays until a session replaces it.
        KeychainSessionStore store(m_service, "session");
        QVERIFY(!store.load());
        QCOMPARE(raw(), "not json");
        CloudSession session = makeSession("access-1", 15);
        store.save(session);
        QCOMPARE(store.load(), std::optional(session));
        QCOMPARE(raw(), session.toStoredJson());

        session.accessToken = "access-2";
        session.email.clear();
        store.save(session);
        // Another store on the same item sees it: the session outlives the process.
        QCOMPARE(KeychainSessionStore(m_service, "session").load(), std::optional(session));

        store.save(std::nullopt);
        QVERIFY(!store.load());
        QCOMPARE(run(QKeychain::ReadPasswordJob(m_service)).error(), QKeychain::EntryNotFound);
    }
};

GW_TEST(KeychainSessionStoreTests)

#include "KeychainSessionStoreTests.moc"
