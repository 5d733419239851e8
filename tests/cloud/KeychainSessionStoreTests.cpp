#include "CloudTestSupport.h"
#include "cloud/KeychainSessionStore.h"
#include "support/TestMain.h"

#include <QEventLoop>
#include <QTest>
#include <qt6keychain/keychain.h>

namespace {

// Runs a keychain job to its end.
void run(QKeychain::Job &job) {
    job.setAutoDelete(false);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec();
}

struct RawItem {
    QKeychain::Error error = QKeychain::NoError;
    QByteArray data;
    QString errorString;
};

RawItem readRaw(const QString &service, const QString &account) {
    QKeychain::ReadPasswordJob job(service);
    job.setKey(account);
    run(job);
    return {job.error(), job.binaryData(), job.errorString()};
}

QString writeRaw(const QString &service, const QString &account, const QByteArray &data) {
    QKeychain::WritePasswordJob job(service);
    job.setKey(account);
    job.setBinaryData(data);
    run(job);
    return job.error() == QKeychain::NoError ? QString() : job.errorString();
}

} // namespace

// Against the real Secret Service: scripts/test runs the tests in a private D-Bus session
// with an unlocked, throwaway gnome-keyring.
class KeychainSessionStoreTests : public QObject {
    Q_OBJECT
    QString m_service;
    const QString m_account = QStringLiteral("session");

private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("No D-Bus session bus, so no Secret Service: run the tests through scripts/test "
                  "(or dbus-run-session -- scripts/lib/with-keyring ctest)");
        m_service = QStringLiteral("app.greetwell.desk.session.test-%1")
                        .arg(QUuid::createUuid().toString(QUuid::Id128));
        const RawItem probe = readRaw(m_service, m_account);
        if (probe.error != QKeychain::EntryNotFound)
            QSKIP(qPrintable(QStringLiteral("No Secret Service answered (%1): run the tests "
                                            "through scripts/test")
                                 .arg(probe.errorString)));
        // A service that answers but cannot store (a locked keyring with nobody to unlock
        // it) is a broken set-up, not a reason to skip.
        const QString writeError = writeRaw(m_service, QStringLiteral("probe"), "probe");
        QVERIFY2(writeError.isEmpty(),
                 qPrintable(QStringLiteral("The Secret Service refused to store an item (%1); "
                                           "is the keyring unlocked?")
                                .arg(writeError)));
        KeychainSessionStore(m_service, QStringLiteral("probe")).save(std::nullopt);
    }

    void cleanup() {
        if (!m_service.isEmpty())
            KeychainSessionStore(m_service, m_account).save(std::nullopt);
    }

    void savesReplacesLoadsAndErases() {
        KeychainSessionStore store(m_service, m_account);
        QVERIFY(!store.load());
        store.save(std::nullopt); // nothing stored: nothing to erase, nothing happens
        QVERIFY(!store.load());

        const CloudSession first{
            "access-1", "refresh-1",
            QDateTime(QDate(2026, 3, 2), QTime(9, 30, 15, 123), QTimeZone::utc()), testUserID,
            "desk@example.com"};
        store.save(first);
        QCOMPARE(store.load(), std::optional<CloudSession>(first));
        QCOMPARE(store.load()->expiresAt.toMSecsSinceEpoch(), first.expiresAt.toMSecsSinceEpoch());
        QCOMPARE(readRaw(m_service, m_account).data, first.toStoredJson());

        CloudSession second = first;
        second.accessToken = "access-2";
        second.email.clear();
        second.expiresAt = first.expiresAt.addSecs(3600);
        store.save(second);
        QCOMPARE(store.load(), std::optional<CloudSession>(second));
        // Another store on the same item sees the same session: it survives the process.
        QCOMPARE(KeychainSessionStore(m_service, m_account).load(),
                 std::optional<CloudSession>(second));
        // Items under other accounts are separate.
        QVERIFY(!KeychainSessionStore(m_service, "other").load());

        store.save(std::nullopt);
        QVERIFY(!store.load());
        QCOMPARE(readRaw(m_service, m_account).error, QKeychain::EntryNotFound);
    }

    void unreadableItemsLoadAsNoneAndStayUntilSaved_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("not JSON") << QByteArray("definitely not json");
        QTest::newRow("missing email")
            << QByteArray(R"({"accessToken":"a","refreshToken":"r","expiresAt":794136600,)"
                          R"("userID":"6F1C2B3A-4D5E-4F60-8A7B-9C0D1E2F3A4B"})");
    }
    void unreadableItemsLoadAsNoneAndStayUntilSaved() {
        QFETCH(QByteArray, data);
        QCOMPARE(writeRaw(m_service, m_account, data), QString());
        KeychainSessionStore store(m_service, m_account);
        QVERIFY(!store.load());
        QCOMPARE(readRaw(m_service, m_account).data, data);

        const CloudSession session = makeSession("access", 3600);
        store.save(session);
        QCOMPARE(store.load(), std::optional<CloudSession>(session));
    }
};

GW_TEST(KeychainSessionStoreTests)

#include "KeychainSessionStoreTests.moc"
