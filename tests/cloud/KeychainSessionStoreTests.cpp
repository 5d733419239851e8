#include "CloudTestSupport.h"
#include "cloud/KeychainSessionStore.h"
#include "cloud/KeychainThread.h"
#include "support/TestMain.h"

#include <QTest>
#include <QTimer>

namespace {
using Operation = KeychainThread::Operation;
using Reply = FakeHttpServer::Reply;
} // namespace

// Against the real Secret Service: scripts/test runs the tests in a private D-Bus session
// with an unlocked, throwaway gnome-keyring.
class KeychainSessionStoreTests : public QObject {
    Q_OBJECT
    const QString m_service =
        "app.greetwell.desk.session.test-" + QUuid::createUuid().toString(QUuid::Id128);

    // The test's item as the keychain holds it, past the store.
    KeychainThread::Outcome raw(Operation operation = Operation::read,
                                const QByteArray &data = {}) {
        return KeychainThread::runAndWait(operation, m_service, "session", data);
    }
    std::optional<CloudSession> storedNow() {
        return KeychainSessionStore(m_service, "session").load();
    }

    // A client on the keychain store whose stored session must be refreshed before use.
    struct RacingClient {
        FakeHttpServer server;
        QNetworkAccessManager network;
        std::shared_ptr<KeychainSessionStore> store;
        std::unique_ptr<CloudClient> client;
        RacingClient(const QString &service) {
            store = std::make_shared<KeychainSessionStore>(service, "session");
            store->save(makeSession("access-old", 15));
            client = std::make_unique<CloudClient>(
                &network, store,
                CloudClient::Config{server.url(), server.url(), QString::fromLatin1(testApiKey)});
            client->setNow(fixedNow);
        }
    };

private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") ||
            raw().error != QKeychain::EntryNotFound)
            QSKIP("No Secret Service answered: run the tests through scripts/test "
                  "(or dbus-run-session -- scripts/lib/with-keyring ctest)");
        // A service that answers but cannot store (a locked keyring with nobody to unlock
        // it) is a broken set-up, not a reason to skip.
        QCOMPARE(raw(Operation::write, "probe").error, QKeychain::NoError);
        QCOMPARE(raw(Operation::erase).error, QKeychain::NoError);
    }

    void cleanup() { raw(Operation::erase); }

    void savesReplacesLoadsAndErases() {
        QCOMPARE(raw(Operation::write, "not json").error, QKeychain::NoError);
        // An item that does not decode loads as none and stays until a session replaces it.
        KeychainSessionStore store(m_service, "session");
        QVERIFY(!store.load());
        QVERIFY(store.flush());
        QCOMPARE(raw().data, "not json");
        CloudSession session = makeSession("access-1", 15);
        store.save(session);
        QCOMPARE(store.load(), std::optional(session));
        QVERIFY(store.flush());
        QCOMPARE(raw().data, session.toStoredJson());

        session.accessToken = "access-2";
        session.email.clear();
        store.save(session);
        QVERIFY(store.flush());
        // Another store on the same item sees it: the session outlives the process.
        QCOMPARE(storedNow(), std::optional(session));

        store.save(std::nullopt);
        QVERIFY(!store.load());
        QVERIFY(store.flush());
        QCOMPARE(raw().error, QKeychain::EntryNotFound);
    }

    // The item is read in the background: whenLoaded says when load() has it, and a save
    // made before the read ends is what the store holds and the keychain keeps.
    void readsInTheBackground() {
        const CloudSession stored = makeSession("access-stored", 15);
        QCOMPARE(raw(Operation::write, stored.toStoredJson()).error, QKeychain::NoError);
        {
            KeychainSessionStore store(m_service, "session");
            QObject context;
            bool loaded = false;
            store.whenLoaded(&context, [&] { loaded = true; });
            QTRY_VERIFY(loaded);
            QCOMPARE(store.load(), std::optional(stored));
        }
        {
            KeychainSessionStore store(m_service, "session");
            const CloudSession newer = makeSession("access-newer", 15);
            store.save(newer);
            bool loaded = false;
            store.whenLoaded(nullptr, [&] { loaded = true; });
            QVERIFY(loaded);
            QCOMPARE(store.load(), std::optional(newer));
            QVERIFY(store.flush());
            QCOMPARE(raw().data, newer.toStoredJson());
        }
        // Gone before the keychain answers: nothing is called.
        auto store = std::make_unique<KeychainSessionStore>(m_service, "session");
        auto context = std::make_unique<QObject>();
        bool called = false;
        store->whenLoaded(context.get(), [&] { called = true; });
        context.reset();
        QTest::qWait(200);
        QVERIFY(!called);
    }

    // Neither reading nor saving runs the event loop, so no network answer or timer can
    // run inside a save and re-enter the client.
    void runsNoEventLoop() {
        bool timerRan = false;
        QTimer::singleShot(0, this, [&] { timerRan = true; });
        KeychainSessionStore store(m_service, "session");
        store.save(makeSession("access-1", 15));
        store.save(std::nullopt);
        store.save(makeSession("access-2", 15));
        KeychainSessionStore other(m_service, "session");
        QVERIFY(!timerRan);
        QTRY_VERIFY(timerRan);
    }

    // A burst of saves ends as its last one, even when the run ends at once.
    void lastWriteWinsBeforeTheRunEnds_data() {
        QTest::addColumn<bool>("endsWithSession");
        QTest::addColumn<bool>("quitSignal"); // the application quits; the store stays
        QTest::newRow("session, store destroyed") << true << false;
        QTest::newRow("erased, store destroyed") << false << false;
        QTest::newRow("session, application quits") << true << true;
        QTest::newRow("erased, application quits") << false << true;
    }
    void lastWriteWinsBeforeTheRunEnds() {
        QFETCH(bool, endsWithSession);
        QFETCH(bool, quitSignal);
        raw(Operation::write, makeSession("access-0", 15).toStoredJson());
        const CloudSession last = makeSession("access-last", 15);
        auto store = std::make_unique<KeychainSessionStore>(m_service, "session");
        store->save(makeSession("access-1", 15));
        store->save(std::nullopt);
        store->save(makeSession("access-2", 15));
        store->save(endsWithSession ? std::optional(last) : std::nullopt);
        if (quitSignal)
            QVERIFY(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit"));
        else
            store.reset();
        const KeychainThread::Outcome item = raw();
        if (endsWithSession)
            QCOMPARE(item.data, last.toStoredJson());
        else
            QCOMPARE(item.error, QKeychain::EntryNotFound);
    }

    // A refresh answered while sign-out stores, and a 401 answered while the refreshed
    // session stores: whatever lands in between, what the client holds is what the next
    // launch finds, and a sign-out stays signed out.
    void sessionEndsRaceTheRefresh_data() {
        QTest::addColumn<int>("delayMs");
        for (int delay : {0, 1, 2, 4, 8})
            QTest::addRow("%d ms", delay) << delay;
    }
    void sessionEndsRaceTheRefresh() {
        QFETCH(int, delayMs);
        {
            RacingClient desk(m_service);
            CloudClient *client = desk.client.get();
            desk.server.setHandler([&](const FakeHttpServer::Request &request) {
                if (request.path() == "/auth/v1/logout")
                    return Reply::json(204, {});
                // The user signs out as the refresh is answered.
                QTimer::singleShot(0, client, [client] { client->signOut(); });
                Reply reply = Reply::json(200, tokenBody("access-new", "refresh-2"));
                reply.delayMs = delayMs;
                return reply;
            });
            // The refresh may win or lose the race; the session ends either way.
            runTask(client->validSession());
            QVERIFY(!client->session());
            QVERIFY(desk.store->flush());
            QVERIFY2(!storedNow(), "the next launch would be signed in");
        }
        {
            RacingClient desk(m_service);
            CloudClient *client = desk.client.get();
            desk.server.setHandler([&](const FakeHttpServer::Request &request) {
                // A request sent with the old token is refused just after the refresh.
                Reply reply = request.path() == "/auth/v1/token"
                                  ? Reply::json(200, tokenBody("access-new", "refresh-2"))
                                  : Reply::json(401, {});
                reply.delayMs = request.path() == "/auth/v1/token" ? 20 : 20 + delayMs;
                return reply;
            });
            QNetworkRequest stale(client->restURL("visitors"));
            stale.setRawHeader("Authorization", "Bearer access-old");
            auto refused = startTask(client->sendAuthorized(stale));
            const auto refresh = runTask(client->validSession());
            refused.wait();
            QVERIFY(desk.store->flush());
            QCOMPARE(storedNow(), client->session());
            if (refresh.ok())
                QCOMPARE(tokenOf(client->session()), QString("access-new"));
        }
    }
};

GW_TEST(KeychainSessionStoreTests)

#include "KeychainSessionStoreTests.moc"
