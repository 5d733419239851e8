// The website's invite API through the desk's client: create, resend, its errors, and a
// refused token that must not end the backend session.

#include "support/TestMain.h"

#include "../records/TaskHelpers.h"
#include "DataApiSupport.h"

#include <QTest>

class InviteApiTests : public QObject {
    Q_OBJECT

    BackendInfo backend;
    std::unique_ptr<QNetworkAccessManager> network;
    std::shared_ptr<MemorySessionStore> store;
    std::unique_ptr<CloudClient> client;

private slots:
    void initTestCase() {
        const std::optional<BackendInfo> info = BackendInfo::load();
        if (!info)
            QSKIP("The local backend is not running (run through ctest, fixture \"backend\").");
        backend = *info;
        // Without a token the API answers 401; 404 means this backend has no invite API.
        const HttpReply probe =
            sendRequest("POST", QUrl(backend.url.toString() + "/api/invites"), "{}");
        if (probe.status == 404)
            QSKIP(
                "This greetwell-backend does not serve the invite API (POST api/invites is 404).");
    }

    void init() {
        network = std::make_unique<QNetworkAccessManager>();
        store = std::make_shared<MemorySessionStore>();
        store->stored = sessionOf(createTestAccount(backend));
        client = std::make_unique<CloudClient>(network.get(), store, configOf(backend));
    }
    void cleanup() {
        client.reset();
        network.reset();
    }

    void createAndResend() {
        NewInvite invite;
        invite.email = QStringLiteral("ada@example.com");
        invite.answers = {{0, "Ada Lovelace"}, {1, "ada@example.com"}};
        invite.visitDate = QStringLiteral("2026-03-04");
        invite.visitTime = QStringLiteral("14:30");
        invite.note = QStringLiteral("Bring ID");
        const auto created = runTask(client->createInvite(invite));
        QVERIFY2(created.ok(), qPrintable(created.errorText()));

        const auto all = runTask(client->fetchInvites(false, 50));
        QVERIFY2(all.ok(), qPrintable(all.errorText()));
        QCOMPARE(all.value->size(), 1);
        const Invite ada = all.value->at(0);
        QCOMPARE(ada.visitorName, QStringLiteral("Ada Lovelace"));
        QCOMPARE(ada.visitorEmail, QStringLiteral("ada@example.com"));
        QCOMPARE(ada.visitDate, std::optional<QString>("2026-03-04"));
        QCOMPARE(ada.visitTime, std::optional<QString>("14:30"));
        QCOMPARE(ada.note, std::optional<QString>("Bring ID"));
        QVERIFY(ada.token.size() >= 22);
        QVERIFY(parseTimestamp(ada.createdAt));

        const auto resent = runTask(client->resendInvite(ada.id));
        QVERIFY2(resent.ok(), qPrintable(resent.errorText()));

        // Once used, the website refuses to send it again, with its own message.
        QVERIFY(runTask(client->markInviteUsed(ada.id, QDateTime::currentDateTimeUtc())).ok());
        const auto refused = runTask(client->resendInvite(ada.id));
        const auto error = refused.errorAs<CloudError>();
        QVERIFY2(error && error->status() == 409, qPrintable(refused.errorText()));
        QVERIFY(!error->message().isEmpty());
        QVERIFY(client->isSignedIn());
    }

    void invalidInviteIsRefused() {
        NewInvite invalid; // no e-mail address, no name
        const auto outcome = runTask(client->createInvite(invalid));
        const auto error = outcome.errorAs<CloudError>();
        QVERIFY2(error, qPrintable(outcome.errorText()));
        QCOMPARE(error->kind(), CloudError::Kind::server);
        QVERIFY2(error->status() == 400 || error->status() == 422, qPrintable(outcome.errorText()));
        QVERIFY(!error->message().isEmpty());
        QVERIFY(client->isSignedIn());
    }

    void website401KeepsTheSession() {
        CloudSession forged = *store->stored;
        forged.accessToken = QStringLiteral("not-a-token");
        store->stored = forged;
        client = std::make_unique<CloudClient>(network.get(), store, configOf(backend));
        const auto outcome = runTask(client->resendInvite(QUuid::createUuid()));
        QCOMPARE(outcome.errorAs<CloudError>(), CloudError::signedOut());
        QVERIFY(client->isSignedIn());
        QCOMPARE(store->stored, std::optional<CloudSession>(forged));
    }
};

GW_BACKEND_TEST(InviteApiTests)

#include "InviteApiTests.moc"
