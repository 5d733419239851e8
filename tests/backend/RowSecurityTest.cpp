// Two accounts side by side: neither may read, change, delete or create the other's rows
// through any endpoint, filter or body, and deleting one account leaves the other whole.

#include "support/BackendKit.h"
#include "support/TestMain.h"

using namespace kit;

class RowSecurityTest : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();
    TestAccount alice, bob;
    QString bobVisitor, bobInvite;

    // Bob's rows in every table, read directly: any change shows up here.
    QString snapshotOf(const QUuid &owner) const {
        QString sql = u"select ''"_s;
        for (const char *table : {"visitors", "kiosk_settings", "notification_settings", "invites"})
            sql += QStringLiteral(" || (select coalesce(string_agg(t::text, '|' order by t::text), "
                                  "'-') from %1 t where owner_id = '%2')")
                       .arg(QLatin1String(table), uuidText(owner));
        return runSql(*info, sql);
    }

private slots:
    void initTestCase() {
        if (!info)
            return;
        alice = createTestAccount(*info, u"Alice"_s);
        bob = createTestAccount(*info, u"Bob"_s);
        seedVisitors(*info, alice.userId, 20, 2);
        seedVisitors(*info, bob.userId, 30, 3);
        const QString b = uuidText(bob.userId);
        bobVisitor =
            runSql(*info, u"select id from visitors where owner_id = '%1' limit 1"_s.arg(b));
        bobInvite = runSql(*info, QStringLiteral("insert into invites (owner_id, token, "
                                                 "visitor_name, visitor_email) values ('%1', "
                                                 "'bob-invite-token-0123456789', 'Guest', "
                                                 "'guest@example.com') returning id")
                                      .arg(b));
        runSql(*info, QStringLiteral("insert into kiosk_settings (owner_id, employees) values "
                                     "('%1', '[\"Bob\"]'); insert into notification_settings "
                                     "(owner_id, office_webhook) values ('%1', 'https://b.x');")
                          .arg(b));
    }

    // Alice's requests. Rows of Bob's are filtered out (empty reads, 204 writes matching
    // nothing); rows that would become Bob's are refused whole (403).
    void otherAccountIsOutOfReach_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QByteArray>("prefer");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("contentRange"); // of reads
        auto row = [](const char *name, const char *method, const char *path, const char *body,
                      const char *prefer, int status, const char *range = "") {
            QTest::newRow(name) << QByteArray(method) << QString::fromUtf8(path)
                                << QString::fromUtf8(body) << QByteArray(prefer) << status
                                << QString::fromUtf8(range);
        };
        row("read everything", "GET", "visitors?select=id&limit=1", "", "count=exact", 206,
            "0-0/20");
        row("read by the other's owner", "GET", "visitors?select=id&owner_id=eq.%B%", "",
            "count=exact", 200, "*/0");
        row("read invites", "GET", "invites?select=id", "", "count=exact", 200, "*/0");
        row("sign out the other's visitor", "PATCH", "visitors?id=eq.%BV%",
            R"({"signed_out_at":"2026-03-01T10:00:00Z"})", "return=minimal", 204);
        row("rename everything", "PATCH", "visitors", R"({"visitor_name":"Mallory"})", "", 204);
        row("hand my rows over", "PATCH", "visitors", R"({"owner_id":"%B%"})", "", 403);
        row("delete the other's visitor", "DELETE", "visitors?id=eq.%BV%", "", "", 204);
        row("insert many, one for the other", "POST", "visitors",
            R"([{"owner_id":"%A%","visitor_name":"Mine"},{"owner_id":"%B%","visitor_name":"P"}])",
            "", 403);
        row("upsert the other's settings", "POST", "kiosk_settings?on_conflict=owner_id",
            R"({"owner_id":"%B%","employees":["Mallory"]})",
            "resolution=merge-duplicates,return=minimal", 403);
        row("patch the other's alerts", "PATCH", "notification_settings?owner_id=eq.%B%",
            // JSON "\/" for "/": moc takes "//" in a raw string for a comment.
            R"({"office_webhook":"https:\/\/evil.x"})", "", 204);
        row("delete all invites", "DELETE", "invites", "", "", 204);
        // The website creates invites; the desk may not, not even its own.
        row("insert an invite", "POST", "invites",
            R"({"token":"made-up-token-made-up-token","visitor_name":"Eve","visitor_email":"e@x.io"})",
            "", 403);
        row("delete_account for the other", "POST", "rpc/delete_account", R"({"user_id":"%B%"})",
            "", 404);
    }
    void otherAccountIsOutOfReach() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QString, body);
        QFETCH(QByteArray, prefer);
        QFETCH(int, status);
        QFETCH(QString, contentRange);
        auto fill = [this](QString s) {
            return s.replace(u"%BV%"_s, bobVisitor)
                .replace(u"%BI%"_s, bobInvite)
                .replace(u"%B%"_s, uuidText(bob.userId))
                .replace(u"%A%"_s, uuidText(alice.userId));
        };
        const QString before = snapshotOf(bob.userId);
        const HttpReply reply =
            rest(*info, alice.accessToken, method, fill(path), fill(body).toUtf8(), prefer);
        QVERIFY2(reply.status == status, reply.body.constData());
        if (status == 403)
            QCOMPARE(field(reply, "code"), u"42501"_s);
        if (!contentRange.isEmpty())
            QCOMPARE(QString::fromLatin1(reply.header("content-range")), contentRange);
        QCOMPARE(snapshotOf(bob.userId), before);
        // A refused request writes nothing at all, not even the caller's own part of it.
        QCOMPARE(sqlCount(*info, u"select count(*) from visitors where owner_id = '%1'"_s.arg(
                                     uuidText(alice.userId))),
                 20);
    }

    void deleteAccountRemovesOnlyTheCaller() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount leaving = createTestAccount(*info, u"Leaving"_s);
        seedVisitors(*info, leaving.userId, 15, 1);
        runSql(*info, QStringLiteral(
                          "insert into kiosk_settings (owner_id) values ('%1');"
                          "insert into notification_settings (owner_id) values ('%1');"
                          "insert into invites (owner_id, token, visitor_name, visitor_email) "
                          "values ('%1', 'leaving-token-0123456789abcdef', 'G', 'g@example.com');")
                          .arg(uuidText(leaving.userId)));
        const QString bobBefore = snapshotOf(bob.userId);

        const HttpReply reply =
            rest(*info, leaving.accessToken, "POST", u"rpc/delete_account"_s, "{}");
        QCOMPARE(reply.status, 204);
        QCOMPARE(snapshotOf(leaving.userId), u"----"_s);
        QCOMPARE(sqlCount(*info, QStringLiteral("select (select count(*) from auth.users where id "
                                                "= '%1') + (select count(*) from auth.sessions "
                                                "where user_id = '%1')")
                                     .arg(uuidText(leaving.userId))),
                 0);
        QCOMPARE(snapshotOf(bob.userId), bobBefore);

        QCOMPARE(refresh(*info, leaving.refreshToken).status, 400);
    }
};

GW_BACKEND_TEST(RowSecurityTest)
#include "RowSecurityTest.moc"
