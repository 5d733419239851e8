// Two accounts side by side: neither may read, change, delete or create the other's rows
// through any endpoint, filter or body, and deleting one account leaves the other whole.

#include "BackendTestKit.h"
#include "support/TestMain.h"

using namespace kit;

class RowSecurityTest : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();
    TestAccount alice, bob;
    QString bobVisitor, bobInvite;

    // What Bob's rows look like, read directly: any change shows up here.
    QString bobSnapshot() const {
        const QString owner = uuidText(bob.userId);
        return runSql(
            *info,
            QStringLiteral("select (select string_agg(v::text, '|' order by id) from visitors v "
                           "where owner_id = '%1') || "
                           "(select coalesce(string_agg(k::text, '|'), '') from kiosk_settings k "
                           "where owner_id = '%1') || "
                           "(select coalesce(string_agg(n::text, '|'), '') from "
                           "notification_settings n where owner_id = '%1') || "
                           "(select string_agg(i::text, '|') from invites i where owner_id = '%1')")
                .arg(owner));
    }

private slots:
    void initTestCase() {
        if (!info)
            return;
        alice = createTestAccount(*info, QStringLiteral("Alice"));
        bob = createTestAccount(*info, QStringLiteral("Bob"));
        seedVisitors(*info, alice.userId, 20, 2);
        seedVisitors(*info, bob.userId, 30, 3);
        bobVisitor =
            runSql(*info, QStringLiteral("select id from visitors where owner_id = '%1' limit 1")
                              .arg(uuidText(bob.userId)));
        bobInvite =
            runSql(*info, QStringLiteral(
                              "insert into invites (owner_id, token, visitor_name, visitor_email) "
                              "values ('%1', 'bob-invite-token-0123456789', 'Guest', "
                              "'guest@example.com') returning id")
                              .arg(uuidText(bob.userId)));
        runSql(*info,
               QStringLiteral(
                   "insert into kiosk_settings (owner_id, employees) values ('%1', '[\"Bob\"]');"
                   "insert into notification_settings (owner_id, office_webhook) values ('%1', "
                   "'https://bob.example.com');")
                   .arg(uuidText(bob.userId)));
    }

    void readsSeeOnlyTheirOwnRows_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("contentRange");
        QTest::newRow("everything") << "visitors?select=id&limit=1"
                                    << "0-0/20";
        QTest::newRow("the other's row by id") << "visitors?select=id&id=eq.%BOBVISITOR%"
                                               << "*/0";
        QTest::newRow("the other's owner id") << "visitors?select=id&owner_id=eq.%BOB%"
                                              << "*/0";
        QTest::newRow("not my owner id") << "visitors?select=id&owner_id=neq.%ALICE%"
                                         << "*/0";
        QTest::newRow("on site") << "visitors?select=id&limit=1&signed_out_at=is.null"
                                 << "0-0/2";
        QTest::newRow("the other's settings") << "kiosk_settings?select=employees"
                                              << "*/0";
        QTest::newRow("the other's alerts") << "notification_settings?select=office_webhook"
                                            << "*/0";
        QTest::newRow("the other's invites") << "invites?select=id"
                                             << "*/0";
        QTest::newRow("the other's invite by id") << "invites?select=id&id=eq.%BOBINVITE%"
                                                  << "*/0";
    }
    void readsSeeOnlyTheirOwnRows() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, query);
        QFETCH(QString, contentRange);
        query.replace(QStringLiteral("%BOBVISITOR%"), bobVisitor)
            .replace(QStringLiteral("%BOBINVITE%"), bobInvite)
            .replace(QStringLiteral("%BOB%"), uuidText(bob.userId))
            .replace(QStringLiteral("%ALICE%"), uuidText(alice.userId));
        const HttpReply reply = rest(*info, alice.accessToken, "GET", query, {}, "count=exact");
        QVERIFY2(reply.status == 200 || reply.status == 206, reply.body.constData());
        QCOMPARE(QString::fromLatin1(reply.header("content-range")), contentRange);
        for (const auto &row : reply.json().array())
            QVERIFY(row.toObject().value(QStringLiteral("id")).toString() != bobVisitor);
    }

    void writesCannotReachTheOtherAccount_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("prefer");
        QTest::addColumn<int>("status");
        // Rows filtered out by the policies are simply not matched (204); rows that would
        // belong to the other account are refused (403).
        QTest::newRow("sign out the other's visitor")
            << QByteArray("PATCH") << "visitors?id=eq.%BOBVISITOR%"
            << QByteArray("{\"signed_out_at\":\"2026-03-01T10:00:00Z\"}")
            << QByteArray("return=minimal") << 204;
        QTest::newRow("rename everything")
            << QByteArray("PATCH") << "visitors" << QByteArray("{\"visitor_name\":\"Mallory\"}")
            << QByteArray() << 204;
        QTest::newRow("hand my rows to the other")
            << QByteArray("PATCH") << "visitors" << QByteArray("{\"owner_id\":\"%BOB%\"}")
            << QByteArray() << 403;
        QTest::newRow("delete the other's visitor")
            << QByteArray("DELETE") << "visitors?id=eq.%BOBVISITOR%" << QByteArray() << QByteArray()
            << 204;
        QTest::newRow("insert for the other")
            << QByteArray("POST") << "visitors"
            << QByteArray("{\"owner_id\":\"%BOB%\",\"visitor_name\":\"Planted\",\"signed_in_at\":"
                          "\"2026-03-01T10:00:00Z\"}")
            << QByteArray() << 403;
        QTest::newRow("insert many, one for the other")
            << QByteArray("POST") << "visitors"
            << QByteArray("[{\"owner_id\":\"%ALICE%\",\"visitor_name\":\"Mine\"},{\"owner_id\":\"%"
                          "BOB%\",\"visitor_name\":\"Planted\"}]")
            << QByteArray() << 403;
        QTest::newRow("upsert the other's settings")
            << QByteArray("POST") << "kiosk_settings?on_conflict=owner_id"
            << QByteArray("{\"owner_id\":\"%BOB%\",\"employees\":[\"Mallory\"]}")
            << QByteArray("resolution=merge-duplicates,return=minimal") << 403;
        QTest::newRow("upsert the other's alerts")
            << QByteArray("POST") << "notification_settings?on_conflict=owner_id"
            << QByteArray(
                   "{\"owner_id\":\"%BOB%\",\"office_webhook\":\"https://evil.example.com\"}")
            << QByteArray("resolution=merge-duplicates,return=minimal") << 403;
        QTest::newRow("patch the other's settings")
            << QByteArray("PATCH") << "kiosk_settings?owner_id=eq.%BOB%"
            << QByteArray("{\"employees\":[]}") << QByteArray() << 204;
        QTest::newRow("mark the other's invite used")
            << QByteArray("PATCH") << "invites?id=eq.%BOBINVITE%"
            << QByteArray("{\"used_at\":\"2026-03-01T10:00:00Z\"}") << QByteArray("return=minimal")
            << 204;
        QTest::newRow("cancel the other's invite")
            << QByteArray("DELETE") << "invites?id=eq.%BOBINVITE%" << QByteArray() << QByteArray()
            << 204;
        QTest::newRow("delete all invites")
            << QByteArray("DELETE") << "invites" << QByteArray() << QByteArray() << 204;
        QTest::newRow("representation of the other's rows")
            << QByteArray("PATCH") << "visitors?owner_id=eq.%BOB%"
            << QByteArray("{\"host_name\":\"x\"}") << QByteArray("return=representation") << 200;
    }
    void writesCannotReachTheOtherAccount() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, prefer);
        QFETCH(int, status);
        auto fill = [this](QString s) {
            return s.replace(QStringLiteral("%BOBVISITOR%"), bobVisitor)
                .replace(QStringLiteral("%BOBINVITE%"), bobInvite)
                .replace(QStringLiteral("%BOB%"), uuidText(bob.userId))
                .replace(QStringLiteral("%ALICE%"), uuidText(alice.userId));
        };
        const QString before = bobSnapshot();
        const int aliceRows =
            sqlCount(*info, QStringLiteral("select count(*) from visitors where owner_id = '%1'")
                                .arg(uuidText(alice.userId)));
        const HttpReply reply = rest(*info, alice.accessToken, method, fill(path),
                                     fill(QString::fromUtf8(body)).toUtf8(), prefer);
        QCOMPARE(reply.status, status);
        if (status == 403)
            QCOMPARE(reply.json().object().value(QStringLiteral("code")).toString(),
                     QStringLiteral("42501"));
        if (status == 200)
            QCOMPARE(reply.json().array().size(), 0);
        QCOMPARE(bobSnapshot(), before);
        // A refused request writes nothing at all, not even the caller's own part of it.
        if (status == 403)
            QCOMPARE(sqlCount(*info,
                              QStringLiteral("select count(*) from visitors where owner_id = '%1'")
                                  .arg(uuidText(alice.userId))),
                     aliceRows);
    }

    void deleteAccountRemovesOnlyTheCaller() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount leaving = createTestAccount(*info, QStringLiteral("Leaving"));
        seedVisitors(*info, leaving.userId, 15, 1);
        const QString owner = uuidText(leaving.userId);
        runSql(*info, QStringLiteral(
                          "insert into kiosk_settings (owner_id) values ('%1');"
                          "insert into notification_settings (owner_id) values ('%1');"
                          "insert into invites (owner_id, token, visitor_name, visitor_email) "
                          "values ('%1', 'leaving-token-0123456789abcdef', 'G', 'g@example.com');")
                          .arg(owner));
        const QString before = bobSnapshot();

        const HttpReply reply =
            rest(*info, leaving.accessToken, "POST", QStringLiteral("rpc/delete_account"), "{}");
        QCOMPARE(reply.status, 204);
        QVERIFY(reply.body.isEmpty());

        for (const char *table : {"visitors", "kiosk_settings", "notification_settings", "invites"})
            QCOMPARE(sqlCount(*info, QStringLiteral("select count(*) from %1 where owner_id = '%2'")
                                         .arg(QString::fromLatin1(table), owner)),
                     0);
        QCOMPARE(
            sqlCount(*info,
                     QStringLiteral("select count(*) from auth.users where id = '%1'").arg(owner)),
            0);
        QCOMPARE(sqlCount(*info,
                          QStringLiteral("select count(*) from auth.sessions where user_id = '%1'")
                              .arg(owner)),
                 0);
        QCOMPARE(bobSnapshot(), before);
        QCOMPARE(
            sqlCount(*info, QStringLiteral("select count(*) from visitors where owner_id = '%1'")
                                .arg(uuidText(alice.userId))),
            20);

        QCOMPARE(refresh(*info, leaving.refreshToken).status, 400);
        QCOMPARE(signIn(*info, leaving.email, leaving.password).status, 400);
        // Its token is still well-formed until it expires, but there is nothing left to
        // see, and nothing can be created for the removed account.
        QCOMPARE(rest(*info, leaving.accessToken, "GET", QStringLiteral("visitors?select=id")).body,
                 QByteArray("[]"));
        const HttpReply orphan =
            rest(*info, leaving.accessToken, "POST", QStringLiteral("visitors"),
                 compact(QJsonObject{{QStringLiteral("visitor_name"), QStringLiteral("Ghost")}}));
        QCOMPARE(orphan.status, 409);
    }

    void unknownFunctionsAreNotFound() {
        GW_REQUIRE_BACKEND(info);
        const HttpReply other = rest(*info, alice.accessToken, "POST",
                                     QStringLiteral("rpc/visitors_set_search_text"), "{}");
        QCOMPARE(other.status, 404);
        QCOMPARE(other.json().object().value(QStringLiteral("code")).toString(),
                 QStringLiteral("PGRST202"));
        const HttpReply withArgument =
            rest(*info, alice.accessToken, "POST", QStringLiteral("rpc/delete_account"),
                 compact(QJsonObject{{QStringLiteral("user_id"), uuidText(bob.userId)}}));
        QCOMPARE(withArgument.status, 404);
        QCOMPARE(sqlCount(*info,
                          QStringLiteral("select count(*) from auth.users where id in ('%1', '%2')")
                              .arg(uuidText(alice.userId), uuidText(bob.userId))),
                 2);
    }
};

GW_BACKEND_TEST(RowSecurityTest)
#include "RowSecurityTest.moc"
