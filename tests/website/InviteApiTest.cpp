// The website's invite API against the local backend: who may create and resend, what
// is stored and mailed, and that every refused request leaves nothing behind.

#include "WebsiteTestKit.h"

#include "support/TestMain.h"

#include <QElapsedTimer>
#include <QTcpSocket>

using namespace web;

class InviteApiTest : public QObject {
    Q_OBJECT

    std::optional<BackendInfo> info = BackendInfo::load();

    static QString freshAddress() {
        return QStringLiteral("guest-%1@example.com")
            .arg(QUuid::createUuid().toString(QUuid::Id128).left(16));
    }

    QJsonObject create(const TestAccount &account, const QString &email) {
        return api(*info, account.accessToken, "/api/invites",
                   compact({{"answers", QJsonArray{answer(0, "Grace")}}, {"email", email}}))
            .json()
            .object();
    }

private slots:
    void createsTheInviteForTheCallerAndMailsIt() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount owner = createTestAccount(*info);
        const TestAccount other = createTestAccount(*info);
        QCOMPARE(saveForm(*info, owner, {{0, "Full name"}, {1, "Email"}, {3, "Company"}},
                          "Lighthouse Offices")
                     .status,
                 201);
        const QString email = freshAddress();
        const QJsonObject body{
            {"answers", QJsonArray{answer(0, "  Grace Hopper "), answer(3, "Navy"),
                                   answer(5, "no such question"), answer(1, QString())}},
            {"email", email},
            {"visit_date", "2030-05-17"},
            {"visit_time", "09:15"},
            {"note", "Ask for Dana at the front desk."}};
        const HttpReply reply =
            api(*info, owner.accessToken, QStringLiteral("/api/invites"), compact(body));
        QCOMPARE(reply.status, 201);
        const QString token = reply.json().object().value("token").toString();
        const QString id = reply.json().object().value("id").toString();
        // At least 128 random bits, usable in a URL path as it is.
        QVERIFY2(QRegularExpression("^[A-Za-z0-9_-]{22,}$").match(token).hasMatch(),
                 qPrintable(token));

        const QJsonArray rows =
            rest(*info, owner.accessToken, "GET", "invites?id=eq." + id).json().array();
        QCOMPARE(rows.size(), 1);
        const QJsonObject row = rows[0].toObject();
        QCOMPARE(row.value("visitor_name").toString(), QStringLiteral("Grace Hopper"));
        QCOMPARE(row.value("visitor_email").toString(), email);
        // Labels come from the saved form; an answer for a slot the form lacks keeps its
        // value without a label; empty answers are dropped.
        const QJsonArray expected{
            QJsonObject{{"slot", 0}, {"label", "Full name"}, {"value", "Grace Hopper"}},
            QJsonObject{{"slot", 3}, {"label", "Company"}, {"value", "Navy"}},
            QJsonObject{{"slot", 5}, {"value", "no such question"}}};
        QCOMPARE(row.value("answers").toArray(), expected);
        // Nobody else sees it, even when asking for it by id.
        QCOMPARE(rest(*info, other.accessToken, "GET", "invites?id=eq." + id).json().array().size(),
                 0);

        const QStringList mails = mailsTo(*info, email);
        QCOMPARE(mails.size(), 1);
        QVERIFY(mails[0].contains("Subject: You're invited to Lighthouse Offices"));
        QVERIFY(mails[0].contains(info->url.toString() + "/i/" + token));
        QVERIFY(mails[0].contains("Friday, May 17, 2030 at 09:15"));
        QVERIFY(mails[0].contains("Ask for Dana at the front desk."));
    }

    void refusesBadRequests_data() {
        QTest::addColumn<QString>("auth");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        const auto with = [](const QJsonObject &extra) {
            QJsonObject o{{"answers", QJsonArray{answer(0, "Kim")}}, {"email", "@EMAIL@"}};
            for (auto it = extra.begin(); it != extra.end(); ++it)
                o.insert(it.key(), it.value());
            return compact(o);
        };
        const QByteArray good = with({});
        const auto row = [](const char *name, const char *auth, const QByteArray &body, int status,
                            const char *message) {
            QTest::newRow(name) << QString(auth) << body << status << QString(message);
        };
        row("no token", "none", good, 401, "Sign in");
        row("forged signature", "forged", good, 401, "session ended");
        row("alg none", "none-alg", good, 401, "session ended");
        row("expired token", "expired", good, 401, "session ended");
        row("not JSON", "valid", "{\"answers\": [", 400, "JSON object");
        row("slot as text", "valid",
            R"({"answers":[{"slot":"0","value":"Kim"}],"email":"@EMAIL@"})", 400, "slot");
        row("blank name", "valid", with({{"answers", QJsonArray{answer(0, " \n\t")}}}), 422,
            "visitor's name");
        row("slot twice", "valid",
            with({{"answers", QJsonArray{answer(0, "Kim"), answer(0, "Lee")}}}), 422, "own slot");
        row("NUL in an answer", "valid",
            with({{"answers", QJsonArray{answer(0, QStringLiteral("Ki\u0000m"))}}}), 422, "NUL");
        row("email adding a header", "valid",
            with({{"email", "kim@example.com\r\nBcc: x@example.com"}}), 422, "valid email address");
        row("no such day", "valid", with({{"visit_date", "2030-02-30"}}), 422, "yyyy-MM-dd");
        row("hour 24", "valid", with({{"visit_date", "2030-05-01"}, {"visit_time", "24:00"}}), 422,
            "HH:mm");
        row("time without date", "valid", with({{"visit_time", "09:30"}}), 422,
            "needs a visit date");
        row("note of 501 characters", "valid", with({{"note", QString(501, 'n')}}), 422, "500");
        row("answer of 201 characters", "valid",
            with({{"answers", QJsonArray{answer(0, "Kim"), answer(2, QString(201, 'a'))}}}), 422,
            "200");
    }

    void refusesBadRequests() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, auth);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, message);
        const TestAccount account = createTestAccount(*info);
        const QString email = freshAddress();
        body.replace("@EMAIL@", email.toUtf8());
        QString token = account.accessToken;
        if (auth == "none")
            token.clear();
        else if (auth == "forged")
            token = forgeToken(account.userId, "not-the-server-secret-not-the-server-secret");
        else if (auth == "none-alg")
            token = forgeToken(account.userId, {}, 3600, "none");
        else if (auth == "expired")
            token = forgeToken(account.userId, info->jwtSecret.toUtf8(), -60);

        const HttpReply reply = api(*info, token, QStringLiteral("/api/invites"), body);
        QCOMPARE(reply.status, status);
        const QString error = reply.json().object().value("error").toString();
        QVERIFY2(error.contains(message), qPrintable(error));
        // Nothing stored, nothing mailed.
        QCOMPARE(runSql(*info, "select count(*) from public.invites where owner_id = '" +
                                   uuidText(account.userId) + "'"),
                 QStringLiteral("0"));
        QCOMPARE(mailsTo(*info, email).size(), 0);
    }

    void resendsOnlyTheCallersWaitingInvites() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount owner = createTestAccount(*info);
        const TestAccount other = createTestAccount(*info);
        const QString email = freshAddress();
        const QJsonObject invite = create(owner, email);
        const QString id = invite.value("id").toString();
        const auto resend = [&](const TestAccount &account, const QString &inviteId) {
            return api(*info, account.accessToken, "/api/invites/" + inviteId + "/resend");
        };

        // Another account's invite does not exist for the caller.
        const HttpReply foreign = resend(other, id);
        QCOMPARE(foreign.status, 404);
        QVERIFY(!foreign.json().object().value("error").toString().isEmpty());
        QCOMPARE(mailsTo(*info, email).size(), 1);

        QCOMPARE(resend(owner, id).status, 204);
        const QStringList mails = mailsTo(*info, email);
        QCOMPARE(mails.size(), 2);
        QVERIFY(mails[1].contains(info->url.toString() + "/i/" + invite.value("token").toString()));
        QVERIFY(mails[1].contains("Subject: Reminder:"));

        // Once used for a sign-in it cannot be sent again.
        QCOMPARE(rest(*info, owner.accessToken, "PATCH", "invites?id=eq." + id,
                      R"({"used_at":"2030-01-01T09:00:00Z"})", "return=minimal")
                     .status,
                 204);
        const HttpReply used = resend(owner, id);
        QCOMPARE(used.status, 409);
        QVERIFY(used.json().object().value("error").toString().contains("used"));
        QCOMPARE(mailsTo(*info, email).size(), 2);
    }

    // The desk's "Resend Email" is a POST without a body and without Content-Length.
    void resendWithoutContentLength() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount owner = createTestAccount(*info);
        const QString email = freshAddress();
        const QString id = create(owner, email).value("id").toString();
        QTcpSocket socket;
        socket.connectToHost(info->url.host(), quint16(info->url.port()));
        QVERIFY(socket.waitForConnected(5000));
        socket.write("POST /api/invites/" + id.toLatin1() +
                     "/resend HTTP/1.1\r\nHost: " + info->url.authority().toLatin1() +
                     "\r\napikey: " + info->apikey.toLatin1() + "\r\nAuthorization: Bearer " +
                     owner.accessToken.toLatin1() + "\r\nConnection: keep-alive\r\n\r\n");
        QElapsedTimer timer;
        timer.start();
        QByteArray answer;
        while (!answer.contains("\r\n\r\n") && timer.elapsed() < 5000 &&
               socket.waitForReadyRead(5000))
            answer += socket.readAll();
        QVERIFY2(answer.startsWith("HTTP/1.1 204"), answer.constData());
        QVERIFY2(timer.elapsed() < 3000, "the server waited for a body that was never coming");
        QCOMPARE(mailsTo(*info, email).size(), 2);
    }
};

GW_BACKEND_TEST(InviteApiTest)
#include "InviteApiTest.moc"
