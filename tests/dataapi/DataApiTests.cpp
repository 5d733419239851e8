// The data endpoints against the real local backend: real rows, row-level security,
// the PostgREST query rules; invites seeded directly (the website creates them).

#include "support/TestMain.h"

#include "../records/TaskHelpers.h"
#include "DataApiSupport.h"

#include <QTest>

class DataApiTests : public QObject {
    Q_OBJECT

    BackendInfo backend;
    std::unique_ptr<CountingNetwork> network;
    std::shared_ptr<MemorySessionStore> store;
    std::unique_ptr<CloudClient> client;

    // A visitor of the signed-in account, signed in at `signedInAt`.
    NewVisitor visitor(const QString &name, const QDateTime &signedInAt,
                       std::optional<QString> host = std::nullopt) {
        NewVisitor visitor;
        visitor.ownerID = client->session()->userID;
        visitor.deviceRecordID = QUuid::createUuid().toString(QUuid::WithoutBraces);
        visitor.visitorName = name;
        visitor.hostName = std::move(host);
        visitor.answers = {{"Name", name}};
        visitor.signedInAt = signedInAt;
        visitor.deviceName = QStringLiteral("Test desk");
        return visitor;
    }

    VisitorRow insert(const QString &name, const QDateTime &signedInAt,
                      std::optional<QString> host = std::nullopt) {
        const auto outcome = runTask(client->insertVisitor(visitor(name, signedInAt, host)));
        if (!outcome.ok())
            qFatal("insert failed: %s", qPrintable(outcome.errorText()));
        return *outcome.value;
    }

    QStringList names(const QList<VisitorRow> &rows) {
        QStringList list;
        for (const VisitorRow &row : rows)
            list.append(row.visitorName);
        return list;
    }

private slots:
    CloudClient::Config config() const { return configOf(backend); }

    void initTestCase() {
        const std::optional<BackendInfo> info = BackendInfo::load();
        if (!info)
            QSKIP("The local backend is not running (run through ctest, fixture \"backend\").");
        backend = *info;
    }

    // Every test runs in a fresh account, so counts and searches see only its rows.
    void init() {
        network = std::make_unique<CountingNetwork>();
        store = std::make_shared<MemorySessionStore>();
        store->stored = sessionOf(createTestAccount(backend));
        client = std::make_unique<CloudClient>(network.get(), store, config());
        QVERIFY(client->isSignedIn());
    }
    void cleanup() {
        client.reset();
        network.reset();
    }

    void visitorLifecycle() {
        const QDateTime signedIn = at(QDate(2026, 3, 4), QTime(9, 30, 5));
        const VisitorRow row = insert("Ada Lovelace", signedIn, QStringLiteral("Grace Hopper"));
        QCOMPARE(row.visitorName, QStringLiteral("Ada Lovelace"));
        QCOMPARE(row.hostName, std::optional<QString>("Grace Hopper"));
        QCOMPARE(row.answers, (QList<VisitorAnswer>{{"Name", "Ada Lovelace"}}));
        QCOMPARE(row.signedInAt, signedIn);
        QCOMPARE(row.deviceName, std::optional<QString>("Test desk"));
        QVERIFY(row.isOnSite());
        const VisitorRow noHost = insert("Alan Turing", signedIn.addSecs(60));
        QVERIFY(!noHost.hostName);

        auto onSite = runTask(client->onSiteVisitors());
        QVERIFY2(onSite.ok(), qPrintable(onSite.errorText()));
        QCOMPARE(names(*onSite.value), (QStringList{"Alan Turing", "Ada Lovelace"}));

        const QDateTime out = signedIn.addSecs(3600);
        QVERIFY(runTask(client->signOutVisitor(row.id, out)).ok());
        // A second sign-out matches nothing and keeps the first time.
        QVERIFY(runTask(client->signOutVisitor(row.id, out.addSecs(600))).ok());

        onSite = runTask(client->onSiteVisitors());
        QCOMPARE(names(*onSite.value), QStringList{"Alan Turing"});
        const auto page = runTask(client->visitorPage({}, 0, 50));
        QVERIFY2(page.ok(), qPrintable(page.errorText()));
        QCOMPARE(page.value->size(), 2);
        QCOMPARE(page.value->at(1).id, row.id);
        QCOMPARE(page.value->at(1).signedOutAt, std::optional<QDateTime>(out));
    }

    void searchMatchesLiterally_data() {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("percent") << "100%" << QStringList{"Bea 100% Cotton"};
        QTest::newRow("underscore") << "a_b" << QStringList{"Cy a_b"};
        QTest::newRow("backslash") << "c\\d" << QStringList{"Di c\\d"};
        QTest::newRow("plus") << "ann+lee" << QStringList{"Ann+Lee"};
        QTest::newRow("case and spaces")
            << "  COTTON " << QStringList{"Bea 100 Cotton", "Bea 100% Cotton"};
        QTest::newRow("host name") << "hopper" << QStringList{"Ann+Lee"};
        QTest::newRow("spaces only")
            << "   " << QStringList{"Di cxd",         "Di c\\d",         "Cy axb", "Cy a_b",
                                    "Bea 100 Cotton", "Bea 100% Cotton", "Ann+Lee"};
    }
    void searchMatchesLiterally() {
        QFETCH(QString, search);
        QFETCH(QStringList, expected);
        const QDateTime start = at(QDate(2026, 3, 4), QTime(9, 0));
        const QStringList rows{"Ann+Lee", "Bea 100% Cotton", "Bea 100 Cotton", "Cy a_b",
                               "Cy axb",  "Di c\\d",         "Di cxd"};
        for (int i = 0; i < rows.size(); ++i)
            insert(rows[i], start.addSecs(60 * i),
                   i == 0 ? std::optional<QString>("Grace Hopper") : std::nullopt);
        const auto page = runTask(client->visitorPage(VisitorQuery{search, {}, {}}, 0, 50));
        QVERIFY2(page.ok(), qPrintable(page.errorText()));
        QCOMPARE(names(*page.value), expected);
    }

    void dateWindow() {
        const QDate day(2026, 3, 4);
        insert("Before", at(day, QTime(0, 0)).addSecs(-1));
        insert("First", at(day, QTime(0, 0)));
        insert("Last", at(day.addDays(1), QTime(0, 0)).addSecs(-1));
        insert("After", at(day.addDays(1), QTime(0, 0)));
        const VisitorQuery query{"", at(day, QTime(0, 0)), at(day.addDays(1), QTime(0, 0))};
        const auto page = runTask(client->visitorPage(query, 0, 50));
        QVERIFY2(page.ok(), qPrintable(page.errorText()));
        QCOMPARE(names(*page.value), (QStringList{"Last", "First"}));
        // Paging: offset and limit.
        const auto second = runTask(client->visitorPage({}, 1, 2));
        QCOMPARE(names(*second.value), (QStringList{"Last", "First"}));
    }

    void exportPaging_data() {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("requests");
        QTest::newRow("999 rows, one request") << 999 << 1;
        QTest::newRow("1000 rows, two requests") << 1000 << 2;
    }
    void exportPaging() {
        QFETCH(int, rows);
        QFETCH(int, requests);
        seedVisitors(backend, client->session()->userID, rows, 0);
        network->urls.clear();
        const auto all = runTask(client->allVisitors({}));
        QVERIFY2(all.ok(), qPrintable(all.errorText()));
        QCOMPARE(all.value->size(), rows);
        QCOMPARE(network->urls.size(), requests);
        // Newest first, no row twice.
        QSet<QUuid> ids;
        for (int i = 0; i < all.value->size(); ++i) {
            ids.insert(all.value->at(i).id);
            if (i > 0)
                QVERIFY(all.value->at(i - 1).signedInAt >= all.value->at(i).signedInAt);
        }
        QCOMPARE(int(ids.size()), rows);
    }

    void deskCounts_data() {
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<DeskCounts>("expected");
        // Rows (New York time): Sat 02-28 23:59:59, Sun 03-01 00:00:00, Tue 03-03 23:59:59,
        // Wed 03-04 00:00:00 (signed out), Wed 03-04 00:10, Sun 03-08 00:00:30. Counts are
        // "since the start", so rows later than `now` count too.
        QTest::newRow("Wednesday after midnight: Tuesday night is not today")
            << at(QDate(2026, 3, 4), QTime(0, 30)) << DeskCounts{3, 5, 5};
        QTest::newRow("Sunday: today is the week")
            << at(QDate(2026, 3, 8), QTime(10, 0)) << DeskCounts{1, 5, 1};
        QTest::newRow("Saturday: the week began last Sunday")
            << at(QDate(2026, 3, 7), QTime(23, 59)) << DeskCounts{1, 5, 5};
    }
    void deskCounts() {
        QFETCH(QDateTime, now);
        QFETCH(DeskCounts, expected);
        insert("Sat", at(QDate(2026, 2, 28), QTime(23, 59, 59)));
        insert("Sun", at(QDate(2026, 3, 1), QTime(0, 0)));
        insert("Tue", at(QDate(2026, 3, 3), QTime(23, 59, 59)));
        const VisitorRow gone = insert("Wed early", at(QDate(2026, 3, 4), QTime(0, 0)));
        QVERIFY(runTask(client->signOutVisitor(gone.id, at(QDate(2026, 3, 4), QTime(0, 5)))).ok());
        insert("Wed", at(QDate(2026, 3, 4), QTime(0, 10)));
        insert("Next Sun", at(QDate(2026, 3, 8), QTime(0, 0, 30)));
        const auto outcome = runTask(client->deskCounts(now, newYork()));
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        const DeskCounts counted = *outcome.value;
        QCOMPARE(counted.onSite, expected.onSite);
        QCOMPARE(counted.today, expected.today);
        QCOMPARE(counted.thisWeek, expected.thisWeek);
    }

    void settingsUpserts() {
        const auto none = runTask(client->kioskSettings());
        QVERIFY2(none.ok(), qPrintable(none.errorText()));
        QVERIFY(!none.value->has_value());
        const auto noAlerts = runTask(client->notificationSettings());
        QVERIFY2(noAlerts.ok(), qPrintable(noAlerts.errorText()));
        QVERIFY(!noAlerts.value->has_value());

        KioskSettings settings = KioskSettings::defaults();
        settings.employees = {"Grace Hopper"};
        QVERIFY(runTask(client->upsertSettings("kiosk_settings", settings.toJson())).ok());
        auto read = runTask(client->kioskSettings());
        QVERIFY2(read.ok(), qPrintable(read.errorText()));
        QCOMPARE(read.value->value(), settings);

        // The second upsert changes the same row; the place name is added, nothing doubles.
        settings.employees.append("Alan Turing");
        settings.fields.append({3, "Company", "Plain Text", false, false});
        settings.placeName = QStringLiteral("Main lobby");
        QVERIFY(runTask(client->upsertSettings("kiosk_settings", settings.toJson())).ok());
        read = runTask(client->kioskSettings());
        QCOMPARE(read.value->value(), settings);
        const QString owner = client->session()->userID.toString(QUuid::WithoutBraces);
        QCOMPARE(
            runSql(backend, "select count(*) from kiosk_settings where owner_id = '" + owner + "'"),
            QStringLiteral("1"));

        NotificationSettings alerts;
        alerts.notifySignOut = true;
        alerts.employeeWebhooks.insert("Grace Hopper", "https://hooks.example.com/grace");
        QVERIFY(runTask(client->upsertSettings("notification_settings", alerts.toJson())).ok());
        alerts.officeWebhook = QStringLiteral("https://hooks.example.com/office");
        QVERIFY(runTask(client->upsertSettings("notification_settings", alerts.toJson())).ok());
        const auto readAlerts = runTask(client->notificationSettings());
        QVERIFY2(readAlerts.ok(), qPrintable(readAlerts.errorText()));
        QCOMPARE(readAlerts.value->value(), alerts);
    }

    void inviteRows() {
        // Invites are created by the website; seed them directly.
        const QString owner = client->session()->userID.toString(QUuid::WithoutBraces);
        runSql(backend,
               "insert into invites (owner_id, token, visitor_name, visitor_email, answers,"
               " visit_date, visit_time, note, created_at) values ('" +
                   owner +
                   "', 'token-ada-0123456789abcdef', 'Ada Lovelace', 'ada@example.com',"
                   " '[{\"slot\":0,\"label\":\"Name\",\"value\":\"Ada Lovelace\"}]',"
                   " '2026-03-04', '14:30', 'Bring ID', '2026-02-20T10:00:00.123456Z'),"
                   " ('" +
                   owner +
                   "', 'token-alan-0123456789abcdef', 'Alan Turing', 'alan@example.com',"
                   " '[]', null, null, null, '2026-02-21T10:00:00Z')");

        auto all = runTask(client->fetchInvites(false, 50));
        QVERIFY2(all.ok(), qPrintable(all.errorText()));
        QCOMPARE(all.value->size(), 2);
        const Invite alan = all.value->at(0); // newest first
        const Invite ada = all.value->at(1);
        QCOMPARE(alan.visitorName, QStringLiteral("Alan Turing"));
        QVERIFY(!alan.visitDate && !alan.visitTime && !alan.note);
        QCOMPARE(ada.answers, (QList<InviteAnswer>{{0, QString("Name"), "Ada Lovelace"}}));
        QCOMPARE(ada.visitDate, std::optional<QString>("2026-03-04"));
        QCOMPARE(ada.visitTime, std::optional<QString>("14:30"));
        QCOMPARE(ada.note, std::optional<QString>("Bring ID"));
        QCOMPARE(ada.token, QStringLiteral("token-ada-0123456789abcdef"));
        QCOMPARE(
            parseTimestamp(ada.createdAt),
            std::optional<QDateTime>(QDateTime(QDate(2026, 2, 20), QTime(10, 0, 0, 123), Qt::UTC)));
        QVERIFY(!ada.usedAt);

        const QDateTime used = at(QDate(2026, 3, 4), QTime(14, 35));
        QVERIFY(runTask(client->markInviteUsed(ada.id, used)).ok());
        const auto pending = runTask(client->fetchInvites(true, 200));
        QVERIFY2(pending.ok(), qPrintable(pending.errorText()));
        QCOMPARE(pending.value->size(), 1);
        QCOMPARE(pending.value->at(0).id, alan.id);
        all = runTask(client->fetchInvites(false, 50));
        QCOMPARE(all.value->at(1).status(), (Invite::Status{Invite::Status::Kind::signedIn, used}));

        QVERIFY(runTask(client->deleteInvite(alan.id)).ok());
        all = runTask(client->fetchInvites(false, 50));
        QCOMPARE(all.value->size(), 1);
        QCOMPARE(all.value->at(0).id, ada.id);
    }

    void backend401EndsTheSession() {
        CloudSession forged = *store->stored;
        forged.accessToken = QStringLiteral("not-a-token");
        store->stored = forged;
        client = std::make_unique<CloudClient>(network.get(), store, config());
        const auto read = runTask(client->kioskSettings());
        QCOMPARE(read.errorAs<CloudError>(), CloudError::signedOut());
        QVERIFY(!client->isSignedIn());
        QVERIFY(!store->stored.has_value());
    }

    void rowsBelongToTheirAccount() {
        insert("Mine", at(QDate(2026, 3, 4), QTime(9, 0)));
        // Another account sees none of them.
        auto otherStore = std::make_shared<MemorySessionStore>();
        otherStore->stored = sessionOf(createTestAccount(backend));
        CloudClient other(network.get(), otherStore, config());
        const auto page = runTask(other.visitorPage({}, 0, 50));
        QVERIFY2(page.ok(), qPrintable(page.errorText()));
        QVERIFY(page.value->isEmpty());
    }
};

GW_BACKEND_TEST(DataApiTests)

#include "DataApiTests.moc"
