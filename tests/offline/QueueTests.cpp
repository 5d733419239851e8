// The queue file on its own, and the desk model's use of it against a fake backend:
// which failures keep a sign-in here, the order changes go out in, what a refused change
// does, and a person's retry or discard.

#include "model/FakeDesk.h"
#include "support/TestMain.h"

#include "badge/BadgePrintResult.h"
#include "model/OfflineQueue.h"

#include <QDir>
#include <QTemporaryDir>

using Reply = FakeHttpServer::Reply;

namespace {

const QUuid owner = QUuid::fromString(QStringLiteral("{0b6c1a3e-5f2d-4c8e-9a71-3d2e4f5a6b7c}"));

QueuedChange signInChange(const QString &name) {
    QueuedChange change;
    change.visitor.ownerID = owner;
    change.visitor.deviceRecordID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    change.visitor.visitorName = name;
    change.visitor.signedInAt = QDateTime(QDate(2026, 3, 4), QTime(9, 15, 30), QTimeZone::utc());
    change.visitor.deviceName = QStringLiteral("Front Desk");
    return change;
}

VisitorDraft named(const QString &name) {
    return VisitorDraft{{{0, name}}};
}

// The body of each insert the fake saw, by visitor name, in order.
QStringList insertedNames(const FakeDesk &desk, bool replays) {
    QStringList names;
    for (const auto &request : desk.requests("POST visitors")) {
        if (request.query().hasQueryItem("on_conflict") != replays)
            continue;
        names << QJsonDocument::fromJson(request.body)["visitor_name"].toString();
    }
    return names;
}

} // namespace

class OfflineQueueFileTests : public QObject {
    Q_OBJECT
private slots:
    void keepsEveryFieldAcrossARestart() {
        QTemporaryDir dir;
        QueuedChange in = signInChange(QStringLiteral("Zoë \"Quote\" O'Neil"));
        in.visitor.hostName = QStringLiteral("Dana");
        in.visitor.answers = {{QStringLiteral("Company"), QStringLiteral("Acme, Inc.")}};
        in.inviteID = QUuid::createUuid();
        QueuedChange out;
        out.kind = QueuedChange::Kind::signOut;
        out.visitor.ownerID = owner;
        out.visitor.deviceRecordID = in.visitor.deviceRecordID;
        out.visitor.visitorName = in.visitor.visitorName;
        out.signedOutAt = in.visitor.signedInAt.addSecs(3600);
        out.problem = QStringLiteral("Refused");
        {
            OfflineQueue queue(dir.path(), owner);
            queue.append(in);
            queue.append(out);
        }
        const OfflineQueue reread(dir.path(), owner);
        QVERIFY(!reread.damage());
        QCOMPARE(reread.changes(), (QList<QueuedChange>{in, out}));
        // Visitors' details: for this user's eyes only.
        QCOMPARE(QFile::permissions(reread.filePath()) & 0x0077, QFileDevice::Permissions());
        QCOMPARE(QFile(dir.path()).permissions() & 0x0077, QFileDevice::Permissions());
        QVERIFY(QFileInfo(reread.filePath()).fileName().startsWith(
            owner.toString(QUuid::WithoutBraces).toLower()));
    }

    void emptyQueueLeavesNoFile() {
        QTemporaryDir dir;
        OfflineQueue queue(dir.path(), owner);
        queue.append(signInChange("Ann"));
        QVERIFY(QFile::exists(queue.filePath()));
        queue.removeAt(0);
        QVERIFY(!QFile::exists(queue.filePath()));
        QVERIFY(OfflineQueue(dir.path(), owner).isEmpty());
    }

    void damagedFileIsSetAside_data() {
        QTest::addColumn<QByteArray>("text");
        // The file of one good sign-in, with one value of its entry (or of its visitor)
        // replaced.
        const auto edited = [](const QString &key, const QJsonValue &value, bool inVisitor) {
            QJsonObject root = QJsonDocument::fromJson(
                                   OfflineQueue::encode(owner, {signInChange("Ann")}))
                                   .object();
            QJsonArray changes = root["changes"].toArray();
            QJsonObject entry = changes[0].toObject();
            if (inVisitor) {
                QJsonObject visitor = entry["visitor"].toObject();
                visitor[key] = value;
                entry["visitor"] = visitor;
            } else {
                entry[key] = value;
            }
            changes[0] = entry;
            root["changes"] = changes;
            return QJsonDocument(root).toJson();
        };
        QTest::newRow("not JSON") << QByteArray("{\"version\":1,\"chan");
        QTest::newRow("a list") << QByteArray("[]");
        QTest::newRow("another account's queue")
            << OfflineQueue::encode(QUuid::createUuid(), {signInChange("Ann")});
        QTest::newRow("another account's visitor")
            << edited("owner_id", QUuid::createUuid().toString(QUuid::WithoutBraces), true);
        QTest::newRow("unknown kind") << edited("kind", "sign_up", false);
        QTest::newRow("bad time") << edited("signed_in_at", "soon", true);
        QTest::newRow("answers not a list") << edited("answers", QJsonObject(), true);
        QTest::newRow("an answer without value")
            << edited("answers", QJsonArray{QJsonObject{{"label", "Company"}}}, true);
        QTest::newRow("record id of another visitor") << edited("device_record_id", "X", false);
        QTest::newRow("invite id not an id") << edited("invite_id", "tomorrow", false);
    }
    void damagedFileIsSetAside() {
        QFETCH(QByteArray, text);
        QTemporaryDir dir;
        const QString path = OfflineQueue(dir.path(), owner).filePath();
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();

        OfflineQueue queue(dir.path(), owner);
        QVERIFY(queue.damage());
        QVERIFY(queue.isEmpty());
        QVERIFY(!QFile::exists(path));
        const QStringList aside = QDir(dir.path()).entryList({"*.unreadable-*"});
        QCOMPARE(aside.size(), 1);
        QFile kept(dir.filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), text);
        QVERIFY(queue.damage()->contains(aside.first()));
    }

    void failedWriteChangesNothing() {
        QTemporaryDir dir;
        // The queue's folder cannot be made: a file has its name.
        const QString blocked = dir.filePath("blocked");
        QFile blocker(blocked);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        OfflineQueue queue(blocked, owner);
        QVERIFY_THROWS_EXCEPTION(QueueError, queue.append(signInChange("Ann")));
        QVERIFY(queue.isEmpty());
    }
};

class OfflineModelTests : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    std::unique_ptr<FakeDesk> desk() {
        auto fake = std::make_unique<FakeDesk>();
        fake->model->setQueueDirectory(m_dir.path());
        return fake;
    }

private slots:
    void whichFailuresKeepTheSignIn_data() {
        QTest::addColumn<Reply>("answer");
        QTest::addColumn<bool>("kept");
        QTest::newRow("500") << Reply::json(500, R"({"message":"down"})") << true;
        QTest::newRow("503 without body") << Reply::json(503, "") << true;
        QTest::newRow("429 rate limit") << Reply::json(429, "{}") << true;
        Reply hangUp;
        hangUp.hangUp = true;
        QTest::newRow("no answer") << hangUp << true;
        QTest::newRow("400") << Reply::json(400, R"({"message":"bad row"})") << false;
        QTest::newRow("403") << Reply::json(403, R"({"message":"not yours"})") << false;
        QTest::newRow("401") << Reply::json(401, "{}") << false;
        QTest::newRow("2xx without the row") << Reply::json(201, "[]") << false;
    }
    void whichFailuresKeepTheSignIn() {
        QFETCH(Reply, answer);
        QFETCH(bool, kept);
        auto fake = desk();
        fake->overrides["POST visitors"] = answer;
        bool threw = false;
        try {
            QCOMPARE(runTask(fake->model->signIn(named("Vic"), std::nullopt)).get(),
                     BadgePrintResult::skipped);
        } catch (const CloudError &) {
            threw = true;
        }
        QCOMPARE(threw, !kept);
        QCOMPARE(fake->model->waitingSignIns(), kept ? 1 : 0);
        QCOMPARE(fake->model->pendingOnSite().size(), kept ? 1 : 0);
        // Kept: no refresh awaited against a backend that is not there.
        QCOMPARE(fake->count("GET visitors"), 0);
        if (kept) {
            const VisitorRow shown = fake->model->pendingOnSite().first();
            QCOMPARE(shown.visitorName, QStringLiteral("Vic"));
            QCOMPARE(shown.id.toString(QUuid::WithoutBraces).toUpper(),
                     fake->lastBody("POST visitors")["device_record_id"].toString());
            QCOMPARE(fake->model->offlineText(),
                     QStringLiteral("Offline — 1 sign-in waiting to sync"));
        } else {
            QCOMPARE(fake->model->offlineText(), QString());
        }
    }

    void changesGoOutInOrder() {
        auto fake = desk();
        fake->overrides["POST visitors"] = Reply::json(503, "");
        runTask(fake->model->signIn(named("Ann"), std::nullopt)).get();
        runTask(fake->model->signIn(named("Bob"), std::nullopt)).get();
        // Bob did not try on his own: Ann's sign-in was tried first and failed.
        QCOMPARE(insertedNames(*fake, false), QStringList({"Ann"}));
        QCOMPARE(insertedNames(*fake, true), QStringList({"Ann"}));
        QCOMPARE(fake->model->offlineText(), QStringLiteral("Offline — 2 sign-ins waiting to sync"));

        // Back: the next sign-in sends what waits first, then itself.
        fake->overrides.remove("POST visitors");
        QCOMPARE(runTask(fake->model->signIn(named("Cy"), std::nullopt)).get(),
                 BadgePrintResult::skipped);
        QCOMPARE(insertedNames(*fake, true), QStringList({"Ann", "Ann", "Bob"}));
        QCOMPARE(insertedNames(*fake, false), QStringList({"Ann", "Cy"}));
        const auto replay = fake->requests("POST visitors")[2];
        QCOMPARE(replay.query().queryItemValue("on_conflict"), "owner_id,device_record_id");
        QCOMPARE(replay.header("Prefer"), "resolution=ignore-duplicates,return=minimal");
        QCOMPARE(fake->model->waitingSignIns(), 0);
        QCOMPARE(fake->model->offlineText(), QString());
        QVERIFY(fake->model->pendingOnSite().isEmpty());
        QCOMPARE(fake->model->onSite().size(), 3);
    }

    void signOutWaitsBehindItsSignIn() {
        auto fake = desk();
        fake->addVisitor("Synced Sam");
        runTask(fake->model->refresh()).get();
        fake->overrides["POST visitors"] = Reply::json(502, "");
        runTask(fake->model->signIn(named("Ann"), std::nullopt)).get();
        runTask(fake->model->signIn(named("Bob"), std::nullopt)).get();
        QCOMPARE(fake->model->pendingCounts(), (DeskCounts{2, 2, 2}));

        // Everyone: Sam's goes straight out, Ann's and Bob's wait.
        QCOMPARE(runTask(fake->model->signOutEveryone()).get(), 0);
        QCOMPARE(fake->count("PATCH visitors"), 1);
        QVERIFY(fake->model->pendingOnSite().isEmpty());
        QCOMPARE(fake->model->waitingSignOuts(), 2);
        QCOMPARE(fake->model->pendingCounts(), (DeskCounts{2, 0, 2}));

        fake->overrides.remove("POST visitors");
        runTask(fake->model->refresh()).get();
        QCOMPARE(fake->model->queuedChanges().size(), 0);
        const auto patches = fake->requests("PATCH visitors");
        QCOMPARE(patches.size(), 3);
        QCOMPARE(insertedNames(*fake, true).mid(2), QStringList({"Ann", "Bob"}));
        for (int i = 1; i < 3; ++i) {
            QVERIFY(patches[i].query().queryItemValue("device_record_id").startsWith("eq."));
            QCOMPARE(patches[i].query().queryItemValue("signed_out_at"), "is.null");
            QCOMPARE(QJsonDocument::fromJson(patches[i].body)["signed_out_at"].toString(),
                     "2026-03-04T10:00:00Z");
        }
    }

    void refusedChangeWaitsForAPerson() {
        auto fake = desk();
        fake->overrides["POST visitors"] = Reply::json(503, "");
        runTask(fake->model->signIn(named("Ann"), std::nullopt)).get();
        runTask(fake->model->signOut(fake->model->pendingOnSite().first())).get();
        fake->overrides["POST visitors"] = Reply::json(400, R"({"message":"Name too long"})");
        runTask(fake->model->refresh()).get();

        const auto held = fake->model->heldChange();
        QVERIFY(held);
        QCOMPARE(held->visitorName, QStringLiteral("Ann"));
        QCOMPARE(held->problem, QStringLiteral("Name too long"));
        QCOMPARE(held->kind, QueuedChange::Kind::signIn);
        // Held, Ann's sign-out behind it; nothing is counted as waiting to sync.
        QCOMPARE(fake->model->queuedChanges().size(), 2);
        QCOMPARE(fake->model->offlineText(), QString());
        QCOMPARE(fake->count("PATCH visitors"), 0);
        // The held problem survives a restart of the desk.
        QCOMPARE(OfflineQueue(m_dir.path(), fake->userID).changes().first().problem,
                 std::optional<QString>("Name too long"));

        // Others are not stuck behind it.
        fake->overrides["POST visitors"] = Reply::json(503, "");
        runTask(fake->model->signIn(named("Bob"), std::nullopt)).get();
        fake->overrides.remove("POST visitors");
        runTask(fake->model->refresh()).get();
        QCOMPARE(insertedNames(*fake, true).last(), QStringLiteral("Bob"));
        QCOMPARE(fake->model->queuedChanges().size(), 2);

        // Retry: sent again, with its sign-out behind it.
        runTask(fake->model->retryHeld(held->deviceRecordID)).get();
        QVERIFY(!fake->model->heldChange());
        QCOMPARE(fake->model->queuedChanges().size(), 0);
        QCOMPARE(fake->count("PATCH visitors"), 1);
    }

    void discardDropsTheVisitor() {
        auto fake = desk();
        fake->overrides["POST visitors"] = Reply::json(503, "");
        runTask(fake->model->signIn(named("Ann"), std::nullopt)).get();
        runTask(fake->model->signIn(named("Bob"), std::nullopt)).get();
        fake->overrides["POST visitors"] = Reply::json(422, R"({"message":"Unprocessable"})");
        runTask(fake->model->refresh()).get();
        const auto held = fake->model->heldChange();
        QVERIFY(held);
        fake->model->discardHeld(held->deviceRecordID);
        QCOMPARE(fake->model->heldChange()->visitorName, QStringLiteral("Bob"));
        QCOMPARE(fake->model->pendingOnSite().size(), 1);
        QCOMPARE(fake->model->pendingOnSite().first().visitorName, QStringLiteral("Bob"));
        QCOMPARE(OfflineQueue(m_dir.path(), fake->userID).changes().size(), 1);
    }

    void inviteIsMarkedOnceSynced() {
        auto fake = desk();
        Invite invite;
        invite.id = QUuid::createUuid();
        invite.visitorName = QStringLiteral("Ivy Invited");
        fake->overrides["POST visitors"] = Reply::json(503, "");
        runTask(fake->model->signIn(AppModel::draftFromInvite(invite), invite)).get();
        fake->overrides.remove("POST visitors");
        runTask(fake->model->refresh()).get();
        const auto marks = fake->requests("PATCH invites");
        QCOMPARE(marks.size(), 1);
        QCOMPARE(marks.last().query().queryItemValue("id"), "eq." + FakeDesk::idOf(invite.id));
        QCOMPARE(QJsonDocument::fromJson(marks.last().body)["used_at"].toString(),
                 "2026-03-04T10:00:00Z");
    }

    void unwritableQueueFailsTheSignIn() {
        auto fake = desk();
        QTemporaryDir dir;
        QFile blocker(dir.filePath("blocked"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        fake->model->setQueueDirectory(dir.filePath("blocked"));
        fake->overrides["POST visitors"] = Reply::json(503, "");
        // Neither in the backend nor on disk: the sheet must keep the answers.
        QVERIFY_THROWS_EXCEPTION(QueueError,
                                 runTask(fake->model->signIn(named("Ann"), std::nullopt)).get());
        QVERIFY(fake->model->pendingOnSite().isEmpty());
    }
};

GW_TEST(OfflineQueueFileTests)
GW_TEST(OfflineModelTests)

#include "QueueTests.moc"
