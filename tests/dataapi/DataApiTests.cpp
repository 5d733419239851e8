// The data endpoints against the real local backend: what only a real server shows, such
// as literal search, paging limits, day boundaries, upserts and the two kinds of 401.

#include "support/TestMain.h"

#include "cloud/CloudClient.h"
#include "support/BackendFixture.h"
#include "support/Tasks.h"
#include "support/desk/BackendSession.h"

#include <QNetworkAccessManager>
#include <QTest>

namespace {

const QTimeZone newYork("America/New_York");

QDateTime at(int month, int day, QTime time) {
    return QDateTime(QDate(2026, month, day), time, newYork);
}

QStringList names(const QList<VisitorRow> &rows) {
    QStringList list;
    for (const VisitorRow &row : rows)
        list.append(row.visitorName);
    return list;
}

} // namespace

class DataApiTests : public QObject {
    Q_OBJECT

    BackendInfo backend;
    QNetworkAccessManager network;
    std::shared_ptr<MemorySessionStore> store;
    std::unique_ptr<CloudClient> client;
    bool inviteApi = false; // whether this backend serves the website's invite API

    VisitorRow insert(const QString &name, const QDateTime &signedIn,
                      const std::optional<QString> &host = {}) {
        const auto outcome =
            runTask(client->insertVisitor({client->session()->userID,
                                           QUuid::createUuid().toString(QUuid::WithoutBraces),
                                           name,
                                           host,
                                           {{"Name", name}},
                                           signedIn,
                                           "Test desk"}));
        if (!outcome.ok())
            qFatal("insert failed: %s", qPrintable(outcome.errorText()));
        return *outcome.value;
    }

private slots:
    void initTestCase() {
        const std::optional<BackendInfo> info = BackendInfo::load();
        GW_REQUIRE_BACKEND(info);
        backend = *info;
        inviteApi =
            sendRequest("POST", QUrl(backend.url.toString() + "/api/invites")).status != 404;
    }

    // Every test runs in a fresh account, so counts and searches see only its rows.
    void init() {
        const TestAccount account = createTestAccount(backend);
        store = std::make_shared<MemorySessionStore>();
        store->stored = sessionOf(account);
        client = std::make_unique<CloudClient>(&network, store, configOf(backend));
    }

    void visitorLifecycle() {
        const QDateTime in = at(3, 4, QTime(9, 30, 5)), out = in.addSecs(3600);
        const VisitorRow ada = insert("Ada", in, QStringLiteral("Grace"));
        QCOMPARE(ada,
                 (VisitorRow{ada.id, "Ada", "Grace", {{"Name", "Ada"}}, in, {}, {}, "Test desk"}));
        QCOMPARE(runTask(client->onSiteVisitors()).value->size(), 1);
        // A second sign-out matches nothing and keeps the first time.
        QVERIFY(runTask(client->signOutVisitor(ada.id, out)).ok());
        QVERIFY(runTask(client->signOutVisitor(ada.id, out.addSecs(60))).ok());
        QCOMPARE(runTask(client->onSiteVisitors()).value->size(), 0);
        insert("Alan", in.addSecs(1));
        // The window includes its start and excludes its end.
        const auto page = runTask(client->visitorPage({"", in, in.addSecs(1)}, 0, 50));
        QVERIFY2(page.ok(), qPrintable(page.errorText()));
        QCOMPARE(names(*page.value), QStringList{"Ada"});
        QCOMPARE(page.value->at(0).signedOutAt, std::optional(out));
    }

    void searchMatchesLiterally_data() {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("percent") << "100%" << QStringList{"Bea 100% Cotton"};
        QTest::newRow("underscore") << "a_b" << QStringList{"Cy a_b"};
        QTest::newRow("plus") << "ann+lee" << QStringList{"Ann+Lee"};
        QTest::newRow("host name") << "HOPPER" << QStringList{"Ann+Lee"};
        QTest::newRow("star") << "*" << QStringList{"Ed r*.x", "Di *Star*"};
        QTest::newRow("star and dot") << "r*." << QStringList{"Ed r*.x"};
    }
    void searchMatchesLiterally() {
        QFETCH(QString, search);
        const QStringList rows{"Ann+Lee", "Bea 100% Cotton", "Bea 100 Cotton", "Cy a_b",
                               "Cy axb",  "Di *Star*",       "Ed r*.x",        "Ed rx.x"};
        for (int i = 0; i < rows.size(); ++i)
            insert(rows[i], at(3, 4, QTime(9, i)),
                   i ? std::nullopt : std::optional<QString>("Grace Hopper"));
        const auto page = runTask(client->visitorPage(VisitorQuery{search, {}, {}}, 0, 50));
        QVERIFY2(page.ok(), qPrintable(page.errorText()));
        QTEST(names(*page.value), "expected");
    }

    // Both forms of the search filter can be served by the trigram index.
    void searchUsesTheTrigramIndex() {
        for (const char *search : {"grace", "gr*ce"}) {
            const QueryItems items = VisitorQuery{search, {}, {}}.queryItems();
            const QString value = items.last().second;
            const QString op = value.startsWith("imatch.") ? "~*" : "ilike";
            const QString pattern = value.mid(value.indexOf('.') + 1).replace("'", "''");
            const QString plan =
                runSql(backend, "set enable_seqscan = off; explain select id from visitors "
                                "where search_text " +
                                    op + " '" + pattern + "'");
            QVERIFY2(plan.contains("visitors_search_text_idx"),
                     qPrintable(QString(search) + ": " + plan));
        }
    }

    void exportPaging_data() {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("requests");
        QTest::newRow("999 rows, one request") << 999 << 1;
        QTest::newRow("1000 rows, two requests") << 1000 << 2;
    }
    void exportPaging() {
        QFETCH(int, rows);
        seedVisitors(backend, client->session()->userID, rows, 0);
        int requests = 0;
        connect(&network, &QNetworkAccessManager::finished, this, [&] { ++requests; });
        const auto all = runTask(client->allVisitors({}));
        disconnect(&network, &QNetworkAccessManager::finished, this, nullptr);
        QVERIFY2(all.ok(), qPrintable(all.errorText()));
        QTEST(requests, "requests");
        QSet<QUuid> ids; // newest first, no row twice
        for (int i = 0; i < all.value->size(); ++i) {
            ids.insert(all.value->at(i).id);
            QVERIFY(i == 0 || all.value->at(i - 1).signedInAt >= all.value->at(i).signedInAt);
        }
        QCOMPARE(int(ids.size()), rows);
    }

    // Day and week start at midnight at the desk, the week on Sunday even in a locale whose
    // weeks start on Monday; counts are "since the start", so rows later than `now` count too.
    void deskCounts_data() {
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<DeskCounts>("expected"); // today, on site, this week
        QTest::newRow("Wednesday after midnight: Tuesday night is not today")
            << at(3, 4, QTime(0, 30)) << DeskCounts{4, 6, 6};
        QTest::newRow("Sunday: today is the week") << at(3, 8, QTime(10, 0)) << DeskCounts{1, 6, 1};
        QTest::newRow("Saturday, the week began before the clocks changed")
            << at(3, 14, QTime(12, 0)) << DeskCounts{0, 6, 1};
    }
    void deskCounts() {
        QFETCH(QDateTime, now);
        QFETCH(DeskCounts, expected);
        insert("Sat", at(2, 28, QTime(23, 59, 59)));
        insert("Sun", at(3, 1, QTime(0, 0)));
        insert("Tue", at(3, 3, QTime(23, 59, 59)));
        const VisitorRow gone = insert("Wed early", at(3, 4, QTime(0, 0)));
        QVERIFY(runTask(client->signOutVisitor(gone.id, at(3, 4, QTime(0, 5)))).ok());
        insert("Wed", at(3, 4, QTime(0, 10)));
        insert("Sat night", at(3, 7, QTime(23, 30))); // 04:30 UTC, after midnight in summer time
        insert("Next Sun", at(3, 8, QTime(0, 0, 30)));
        const QLocale previous;
        QLocale::setDefault(QLocale(QStringLiteral("de_DE")));
        const auto counted = runTask(client->deskCounts(now, newYork));
        QLocale::setDefault(previous);
        QVERIFY2(counted.ok(), qPrintable(counted.errorText()));
        QCOMPARE(counted.value->today, expected.today);
        QCOMPARE(counted.value->onSite, expected.onSite);
        QCOMPARE(counted.value->thisWeek, expected.thisWeek);
    }

    void settingsUpserts() {
        const auto none = runTask(client->kioskSettings());
        QVERIFY(none.ok() && !none.value->has_value());
        KioskSettings settings = KioskSettings::defaults();
        QVERIFY(runTask(client->upsertSettings("kiosk_settings", settings.toJson())).ok());
        // The second upsert changes the same row; the place name is added, nothing doubles.
        settings.employees = {"Grace Hopper"};
        settings.placeName = QStringLiteral("Main lobby");
        QVERIFY(runTask(client->upsertSettings("kiosk_settings", settings.toJson())).ok());
        QCOMPARE(runTask(client->kioskSettings()).value->value(), settings);
        // A cleared place name is cleared on the server too, not merged away.
        settings.placeName.reset();
        QVERIFY(runTask(client->upsertSettings("kiosk_settings", settings.toJson())).ok());
        QCOMPARE(runTask(client->kioskSettings()).value->value(), settings);
        const QString owner = client->session()->userID.toString(QUuid::WithoutBraces);
        QCOMPARE(
            runSql(backend, "select count(*) from kiosk_settings where owner_id = '" + owner + "'"),
            "1");
        NotificationSettings alerts;
        alerts.employeeWebhooks.insert("Grace Hopper", "https://hooks.example.com/grace");
        QVERIFY(runTask(client->upsertSettings("notification_settings", alerts.toJson())).ok());
        QCOMPARE(runTask(client->notificationSettings()).value->value(), alerts);
    }

    // Invites seeded directly, as the website creates them.
    void inviteRows() {
        const QString owner = client->session()->userID.toString(QUuid::WithoutBraces);
        runSql(backend,
               "insert into invites (owner_id, token, visitor_name, visitor_email, answers,"
               " visit_date, visit_time, note, created_at) values ('" +
                   owner +
                   "', 'token-ada-0123456789abcdef', 'Ada', 'ada@example.com',"
                   " '[{\"slot\":0,\"label\":\"Name\",\"value\":\"Ada\"}]', '2026-03-04',"
                   " '14:30', 'Bring ID', '2026-02-20T10:00:00.123456Z'), ('" +
                   owner +
                   "', 'token-alan-0123456789abcdef', 'Alan', 'alan@example.com', '[]',"
                   " null, null, null, '2026-02-21T10:00:00Z')");
        const auto all = runTask(client->fetchInvites(false, 50));
        QVERIFY2(all.ok(), qPrintable(all.errorText()));
        QCOMPARE(all.value->size(), 2);
        const Invite alan = all.value->at(0), ada = all.value->at(1); // newest first
        QVERIFY(!alan.visitDate && !alan.visitTime && !alan.note);
        QCOMPARE(ada.answers, (QList<InviteAnswer>{{0, QString("Name"), "Ada"}}));
        QCOMPARE(ada.visitTime, std::optional<QString>("14:30"));
        const QDateTime used = at(3, 4, QTime(14, 35));
        QVERIFY(runTask(client->markInviteUsed(ada.id, used)).ok());
        QVERIFY(runTask(client->deleteInvite(alan.id)).ok());
        QCOMPARE(runTask(client->fetchInvites(true, 200)).value->size(), 0);
        const auto left = runTask(client->fetchInvites(false, 50));
        QCOMPARE(left.value->size(), 1);
        QCOMPARE(left.value->at(0).status(),
                 (Invite::Status{Invite::Status::Kind::signedIn, used}));
    }

    void inviteApiRoundTrip() {
        if (!inviteApi)
            QSKIP("This backend does not serve the website's invite API.");
        QVERIFY(runTask(client->createInvite(
                            {{{0, "Ada"}}, "ada@example.com", "2026-03-04", "14:30", "Bring ID"}))
                    .ok());
        const auto all = runTask(client->fetchInvites(false, 50));
        QCOMPARE(all.value->size(), 1);
        const Invite ada = all.value->at(0);
        QCOMPARE(ada.visitorName, QStringLiteral("Ada"));
        QCOMPARE(ada.note, std::optional<QString>("Bring ID"));
        QVERIFY(runTask(client->resendInvite(ada.id)).ok());
        // Once used, the website refuses to send it again.
        QVERIFY(runTask(client->markInviteUsed(ada.id, QDateTime::currentDateTimeUtc())).ok());
        const auto again = runTask(client->resendInvite(ada.id));
        QCOMPARE(again.errorAs<CloudError>().value_or(CloudError::signedOut()).status(), 409);
    }

    // A refused token ends the session when the backend refuses it, not when the website does.
    void unauthorised_data() {
        QTest::addColumn<bool>("website");
        QTest::newRow("backend 401 ends the session") << false;
        QTest::newRow("website 401 keeps it") << true;
    }
    void unauthorised() {
        QFETCH(bool, website);
        if (website && !inviteApi)
            QSKIP("This backend does not serve the website's invite API.");
        store->stored->accessToken = QStringLiteral("not-a-token");
        client = std::make_unique<CloudClient>(&network, store, client->config());
        const auto outcome = website ? runTask(client->resendInvite(QUuid::createUuid()))
                                     : runTask(discard(client->kioskSettings()));
        QCOMPARE(outcome.errorAs<CloudError>(), CloudError::signedOut());
        QCOMPARE(client->isSignedIn(), website);
        QCOMPARE(store->stored.has_value(), website);
    }

private:
    template <typename T> static QCoro::Task<void> discard(QCoro::Task<T> task) {
        co_await std::move(task);
    }
};

GW_BACKEND_TEST(DataApiTests)

#include "DataApiTests.moc"
