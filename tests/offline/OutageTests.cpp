// The desk against the local backend while the backend cannot be reached: nothing the
// desk took in is lost, nothing arrives twice, and nothing reaches another account.

#include "OfflineKit.h"
#include "support/TestMain.h"

#include <QProcess>
#include <csignal>
#include <unistd.h>

namespace {

QString stamp(const QDateTime &moment) {
    return formatTimestamp(moment);
}

QStringList namesOf(const QJsonArray &rows) {
    QStringList names;
    for (const QJsonValue &row : rows)
        names << row[QStringLiteral("visitor_name")].toString();
    return names;
}

// Run as a separate process by killedDeskKeepsItsQueue: signs one visitor in while the
// backend is out of reach, then dies at once, without any shutdown.
class OfflineKilledDesk : public QObject {
    Q_OBJECT
private slots:
    void signInAndDie() {
        const QJsonObject job =
            QJsonDocument::fromJson(qgetenv("GW_OFFLINE_KILLED_DESK")).object();
        TestAccount account;
        account.email = job["email"].toString();
        account.userId = QUuid::fromString(job["user"].toString());
        account.accessToken = job["access"].toString();
        account.refreshToken = job["refresh"].toString();
        OfflineDesk desk(QUrl(job["url"].toString()), account, job["queue"].toString());
        desk.signIn(job["name"].toString());
        ::kill(::getpid(), SIGKILL);
    }
};
const int killedDeskRegistered = TestRegistry::add(
    "OfflineKilledDesk", [] { return std::unique_ptr<QObject>(new OfflineKilledDesk); }, false);

} // namespace

class OutageTests : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();
    std::unique_ptr<Relay> relay;
    std::unique_ptr<QTemporaryDir> queues;

private slots:
    void init() {
        GW_REQUIRE_BACKEND(info);
        relay = std::make_unique<Relay>(info->url);
        QVERIFY(relay->start());
        queues = std::make_unique<QTemporaryDir>();
    }

    void outageLosesNothing() {
        const TestAccount account = createTestAccount(*info);
        OfflineDesk desk(relay->url(), account, queues->path());
        relay->stop();

        const QDateTime start = desk.now;
        QList<QDateTime> times;
        for (const QString &name : {"Ada Early", "Ben Middle", "Cy Late"}) {
            times << desk.now;
            QCOMPARE(desk.signIn(name), BadgePrintResult::skipped);
            desk.now = desk.now.addSecs(7 * 60);
        }
        const QDateTime benOut = desk.now;
        runTask(desk.model->signOut(desk.shown("Ben Middle"))).get();

        QCOMPARE(desk.model->offlineText(), QStringLiteral("Offline — 3 sign-ins waiting to sync"));
        QCOMPARE(desk.model->waitingSignOuts(), 1);
        QStringList shown;
        for (const VisitorRow &row : desk.model->pendingOnSite()) {
            shown << row.visitorName;
            QVERIFY(desk.model->isUnsynced(row.id));
        }
        QCOMPARE(shown, QStringList({"Cy Late", "Ada Early"}));
        QCOMPARE(desk.model->pendingCounts(), (DeskCounts{3, 2, 3}));
        // A refresh while still dark sends nothing and says why.
        runTask(desk.model->refresh()).get();
        QVERIFY(desk.model->error());
        QCOMPARE(desk.model->queuedChanges().size(), 4);
        QCOMPARE(storedVisitors(*info, account.userId).size(), 0);

        QVERIFY(relay->start());
        runTask(desk.model->refresh()).get();
        const QJsonArray rows = storedVisitors(*info, account.userId);
        QCOMPARE(namesOf(rows), QStringList({"Ada Early", "Ben Middle", "Cy Late"}));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(rows[i]["signed_in_at"].toString(), stamp(times[i]));
        QCOMPARE(rows[0]["signed_out_at"], QJsonValue());
        QCOMPARE(rows[1]["signed_out_at"].toString(), stamp(benOut));
        QCOMPARE(rows[2]["signed_out_at"], QJsonValue());
        QVERIFY(start.secsTo(benOut) > 0);

        // The desk now shows what the backend holds, and nothing waits.
        QVERIFY(!desk.model->error());
        QCOMPARE(desk.model->queuedChanges().size(), 0);
        QVERIFY(desk.model->pendingOnSite().isEmpty());
        QCOMPARE(desk.model->offlineText(), QString());
        QCOMPARE(desk.model->onSite().size(), 2);
        QCOMPARE(desk.model->counts(), (DeskCounts{3, 2, 3}));
        QVERIFY(desk.model->visitorRevision() > 0);
        QVERIFY(!QFile::exists(queues->filePath(account.userId.toString(QUuid::WithoutBraces) +
                                                ".json")));
        // Another refresh sends nothing more.
        const int posts = relay->requestsStartingWith("POST /rest/v1/visitors");
        runTask(desk.model->refresh()).get();
        QCOMPARE(relay->requestsStartingWith("POST /rest/v1/visitors"), posts);
        QCOMPARE(storedVisitors(*info, account.userId).size(), 3);
    }

    void killedDeskKeepsItsQueue() {
        const TestAccount account = createTestAccount(*info);
        relay->stop();
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QJsonObject job{{"url", relay->url().toString()},
                              {"email", account.email},
                              {"user", account.userId.toString(QUuid::WithoutBraces)},
                              {"access", account.accessToken},
                              {"refresh", account.refreshToken},
                              {"queue", queues->path()},
                              {"name", "Kim Killed"}};
        environment.insert("GW_OFFLINE_KILLED_DESK",
                           QString::fromUtf8(QJsonDocument(job).toJson(QJsonDocument::Compact)));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {"OfflineKilledDesk"});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        OfflineDesk relaunched(relay->url(), account, queues->path());
        runTask(relaunched.model->refresh()).get(); // still dark: reads the queue, sends nothing
        QCOMPARE(relaunched.model->waitingSignIns(), 1);
        QCOMPARE(relaunched.model->pendingOnSite().size(), 1);
        QCOMPARE(relaunched.model->pendingOnSite().first().visitorName, QStringLiteral("Kim Killed"));

        QVERIFY(relay->start());
        runTask(relaunched.model->refresh()).get();
        QCOMPARE(namesOf(storedVisitors(*info, account.userId)), QStringList({"Kim Killed"}));
        QCOMPARE(relaunched.model->waitingSignIns(), 0);
    }

    // The backend stored the visitor but its answer never arrived: once when the sign-in
    // is made, and again when the queue sends it.
    void lostAnswersMakeNoSecondRow() {
        const TestAccount account = createTestAccount(*info);
        OfflineDesk desk(relay->url(), account, queues->path());
        relay->dropAnswers = 1000;
        QCOMPARE(desk.signIn("Lou Lost"), BadgePrintResult::skipped);
        QCOMPARE(desk.model->waitingSignIns(), 1);
        QCOMPARE(namesOf(storedVisitors(*info, account.userId)), QStringList({"Lou Lost"}));

        runTask(desk.model->refresh()).get();
        QCOMPARE(desk.model->waitingSignIns(), 1);
        QVERIFY(relay->requestsStartingWith("POST /rest/v1/visitors?on_conflict=") > 0);

        relay->dropAnswers = 0;
        runTask(desk.model->refresh()).get();
        QCOMPARE(desk.model->waitingSignIns(), 0);
        const QJsonArray rows = storedVisitors(*info, account.userId);
        QCOMPARE(namesOf(rows), QStringList({"Lou Lost"}));
        QCOMPARE(rows[0]["signed_in_at"].toString(), stamp(desk.now));
        QCOMPARE(desk.model->onSite().size(), 1);
    }

    // One answer lost in transit while the backend stays up: the visitor is in once and
    // the desk does not call it a failure.
    void oneLostAnswer() {
        const TestAccount account = createTestAccount(*info);
        OfflineDesk desk(relay->url(), account, queues->path());
        relay->dropAnswers = 1;
        QCOMPARE(desk.signIn("Una Once"), BadgePrintResult::skipped);
        runTask(desk.model->refresh()).get();
        QCOMPARE(namesOf(storedVisitors(*info, account.userId)), QStringList({"Una Once"}));
        QCOMPARE(desk.model->waitingSignIns(), 0);
        QCOMPARE(desk.model->onSite().size(), 1);
    }

    void queueStaysWithItsAccount() {
        const TestAccount a = createTestAccount(*info, "Account A");
        const TestAccount b = createTestAccount(*info, "Account B");
        OfflineDesk desk(relay->url(), a, queues->path());
        relay->stop();
        desk.signIn("Alma of A");
        QCOMPARE(desk.model->waitingSignIns(), 1);

        // A signs out while its sign-in waits; B signs in on the same desk.
        QVERIFY(relay->start());
        desk.cloud->signOut();
        desk.model->reset();
        runTask(desk.cloud->signIn(b.email, b.password)).get();
        QCOMPARE(desk.cloud->session()->userID, b.userId);
        const int postsBefore = relay->requestsStartingWith("POST /rest/v1/visitors");
        runTask(desk.model->refresh()).get();
        QCOMPARE(relay->requestsStartingWith("POST /rest/v1/visitors"), postsBefore);
        QCOMPARE(desk.model->waitingSignIns(), 0);
        QVERIFY(desk.model->pendingOnSite().isEmpty());
        QCOMPARE(desk.model->offlineText(), QString());
        QCOMPARE(storedVisitors(*info, b.userId).size(), 0);
        QCOMPARE(storedVisitors(*info, a.userId).size(), 0);

        // Even asked directly, the client will not send A's visitor with B's token.
        const QueuedChange waiting = OfflineQueue(queues->path(), a.userId).changes().value(0);
        QCOMPARE(waiting.visitor.visitorName, QStringLiteral("Alma of A"));
        QVERIFY_THROWS_EXCEPTION(CloudError,
                                 runTask(desk.cloud->replayVisitor(waiting.visitor)).get());
        QCOMPARE(relay->requestsStartingWith("POST /rest/v1/visitors"), postsBefore);

        // B's own offline sign-in goes to B's queue, and A's back to A.
        relay->stop();
        desk.signIn("Bea of B");
        QCOMPARE(OfflineQueue(queues->path(), b.userId).changes().size(), 1);
        QCOMPARE(OfflineQueue(queues->path(), a.userId).changes().size(), 1);
        QVERIFY(relay->start());
        runTask(desk.model->refresh()).get();
        QCOMPARE(namesOf(storedVisitors(*info, b.userId)), QStringList({"Bea of B"}));

        desk.cloud->signOut();
        desk.model->reset();
        runTask(desk.cloud->signIn(a.email, a.password)).get();
        runTask(desk.model->refresh()).get();
        QCOMPARE(namesOf(storedVisitors(*info, a.userId)), QStringList({"Alma of A"}));
        QCOMPARE(namesOf(storedVisitors(*info, b.userId)), QStringList({"Bea of B"}));
    }

    // A 401 while the queue is sent ends the session and keeps the queue for the same
    // account's next sign-in.
    void endedSessionKeepsTheQueue() {
        const TestAccount account = createTestAccount(*info);
        OfflineDesk desk(relay->url(), account, queues->path());
        relay->stop();
        desk.signIn("Sid Session");
        QVERIFY(relay->start());
        // A token the backend no longer accepts, still fresh by its expiry.
        CloudSession dead = *desk.store->stored;
        dead.accessToken = "not-a-token";
        desk.store->stored = dead;
        desk.model.reset();
        desk.cloud = std::make_unique<CloudClient>(&desk.network, desk.store, desk.cloud->config());
        desk.model = std::make_unique<AppModel>(desk.cloud.get(), nullptr, nullptr);
        desk.model->setQueueDirectory(queues->path());
        runTask(desk.model->refresh()).get();
        QVERIFY(!desk.cloud->isSignedIn());
        QCOMPARE(OfflineQueue(queues->path(), account.userId).changes().size(), 1);
        QVERIFY(!OfflineQueue(queues->path(), account.userId).changes().first().isHeld());

        runTask(desk.cloud->signIn(account.email, account.password)).get();
        runTask(desk.model->refresh()).get();
        QCOMPARE(namesOf(storedVisitors(*info, account.userId)), QStringList({"Sid Session"}));
    }
};

GW_BACKEND_TEST(OutageTests)

#include "OutageTests.moc"
