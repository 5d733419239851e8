// The website's invite API against the local backend: who may create and resend, what
// is stored and mailed, and that every refused request leaves nothing behind.

#include "WebsiteTestKit.h"

#include "support/TestMain.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

using namespace web;

class InviteApiTest : public QObject {
    Q_OBJECT

    std::optional<BackendInfo> info = BackendInfo::load();

    static QString freshAddress() {
        return QStringLiteral("guest-%1@example.com")
            .arg(QUuid::createUuid().toString(QUuid::Id128).left(16));
    }

    // Creates an invite for `account` with `email`; returns the 201 body.
    QJsonObject create(const TestAccount &account, const QString &email,
                       const QString &name = QStringLiteral("Grace Hopper")) {
        const HttpReply reply =
            api(*info, account.accessToken, QStringLiteral("/api/invites"),
                compact({{QStringLiteral("answers"), QJsonArray{answer(0, name)}},
                         {QStringLiteral("email"), email}}));
        if (reply.status != 201)
            qWarning() << "create answered" << reply.status << reply.body;
        return reply.json().object();
    }

private slots:
    void createsTheInviteForTheCallerAndMailsIt() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        const TestAccount owner = newAccount(*info);
        const TestAccount other = newAccount(*info);
        QCOMPARE(saveForm(*info, owner,
                          {field(0, QStringLiteral("Full name")), field(1, QStringLiteral("Email")),
                           field(3, QStringLiteral("Company"))},
                          QStringLiteral("Lighthouse Offices"))
                     .status,
                 201);
        const QString email = freshAddress();
        const QJsonObject body{
            {QStringLiteral("answers"),
             QJsonArray{answer(0, QStringLiteral("  Grace Hopper ")), answer(3, "Navy"),
                        answer(5, QStringLiteral("no such question")), answer(1, QString())}},
            {QStringLiteral("email"), email},
            {QStringLiteral("visit_date"), QStringLiteral("2030-05-17")},
            {QStringLiteral("visit_time"), QStringLiteral("09:15")},
            {QStringLiteral("note"), QStringLiteral("Ask for Dana at the front desk.")}};
        const HttpReply reply =
            api(*info, owner.accessToken, QStringLiteral("/api/invites"), compact(body));
        QCOMPARE(reply.status, 201);
        const QString token = reply.json().object().value(QStringLiteral("token")).toString();
        const QString id = reply.json().object().value(QStringLiteral("id")).toString();

        // Unguessable and usable in a URL path as it is.
        QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]{22,}$")).match(token).hasMatch(),
                 qPrintable(token));
        QVERIFY(QByteArray::fromBase64(token.toLatin1(), QByteArray::Base64UrlEncoding).size() >=
                16);

        const QJsonArray rows = invitesOf(*info, owner.accessToken, QStringLiteral("&id=eq.") + id);
        QCOMPARE(rows.size(), 1);
        const QJsonObject row = rows[0].toObject();
        QCOMPARE(row.value(QStringLiteral("token")).toString(), token);
        QCOMPARE(row.value(QStringLiteral("visitor_name")).toString(),
                 QStringLiteral("Grace Hopper"));
        QCOMPARE(row.value(QStringLiteral("visitor_email")).toString(), email);
        QCOMPARE(row.value(QStringLiteral("visit_date")).toString(), QStringLiteral("2030-05-17"));
        QCOMPARE(row.value(QStringLiteral("visit_time")).toString(), QStringLiteral("09:15"));
        QVERIFY(row.value(QStringLiteral("used_at")).isNull());
        // Labels come from the saved form; an answer for a slot the form lacks keeps its
        // value without a label; empty answers are dropped.
        const QJsonArray expected{
            QJsonObject{{"slot", 0}, {"label", "Full name"}, {"value", "Grace Hopper"}},
            QJsonObject{{"slot", 3}, {"label", "Company"}, {"value", "Navy"}},
            QJsonObject{{"slot", 5}, {"value", "no such question"}}};
        QCOMPARE(row.value(QStringLiteral("answers")).toArray(), expected);

        // Nobody else sees it, even when asking for it by id.
        QCOMPARE(invitesOf(*info, other.accessToken).size(), 0);
        QCOMPARE(invitesOf(*info, other.accessToken, QStringLiteral("&id=eq.") + id).size(), 0);

        const QStringList mails = mailsTo(*info, email);
        QCOMPARE(mails.size(), 1);
        const QString &mail = mails.first();
        QVERIFY(mail.contains(QStringLiteral("Subject: You're invited to Lighthouse Offices")));
        QVERIFY(mail.contains(info->url.toString() + QStringLiteral("/i/") + token));
        QVERIFY(mail.contains(QStringLiteral("Friday, May 17, 2030 at 09:15")));
        QVERIFY(mail.contains(QStringLiteral("Ask for Dana at the front desk.")));
        QVERIFY(mail.contains(QStringLiteral("Hello Grace Hopper,")));
    }

    void usesTheDefaultFormWithoutASavedOne() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        const TestAccount owner = newAccount(*info);
        const QString email = freshAddress();
        const HttpReply reply =
            api(*info, owner.accessToken, QStringLiteral("/api/invites"),
                compact({{QStringLiteral("answers"), QJsonArray{answer(0, QStringLiteral("Ada")),
                                                                answer(2, "+44 20 7946 0000")}},
                         {QStringLiteral("email"), email}}));
        QCOMPARE(reply.status, 201);
        const QJsonArray rows = invitesOf(*info, owner.accessToken);
        QCOMPARE(rows.size(), 1);
        const QJsonArray answers = rows[0].toObject().value(QStringLiteral("answers")).toArray();
        QCOMPARE(answers[0].toObject().value(QStringLiteral("label")).toString(),
                 QStringLiteral("Name"));
        QCOMPARE(answers[1].toObject().value(QStringLiteral("label")).toString(),
                 QStringLiteral("Phone"));
        QVERIFY(rows[0].toObject().value(QStringLiteral("visit_date")).isNull());
        const QStringList mails = mailsTo(*info, email);
        QCOMPARE(mails.size(), 1);
        QVERIFY(mails[0].contains(QStringLiteral("When: Any day")));

        // Every invite gets its own token.
        create(owner, email, QStringLiteral("Ada"));
        const QJsonArray both = invitesOf(*info, owner.accessToken);
        QCOMPARE(both.size(), 2);
        QVERIFY(both[0].toObject().value("token") != both[1].toObject().value("token"));
    }

    void refusesBadRequests_data() {
        QTest::addColumn<QString>("auth");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");

        const auto with = [](const QJsonObject &extra) {
            QJsonObject o{{QStringLiteral("answers"), QJsonArray{answer(0, QStringLiteral("Kim"))}},
                          {QStringLiteral("email"), QStringLiteral("@EMAIL@")}};
            for (auto it = extra.begin(); it != extra.end(); ++it)
                o.insert(it.key(), it.value());
            return compact(o);
        };
        const QByteArray good = with({});
        const QString nameNeeded = QStringLiteral("visitor's name");
        const QString badEmail = QStringLiteral("valid email address");

        QTest::newRow("no token") << "none" << good << 401 << "Sign in";
        QTest::newRow("forged signature") << "forged" << good << 401 << "session ended";
        QTest::newRow("alg none") << "none-alg" << good << 401 << "session ended";
        QTest::newRow("expired token") << "expired" << good << 401 << "session ended";
        QTest::newRow("signed-out session") << "signed-out" << good << 401 << "session ended";
        QTest::newRow("not JSON") << "valid" << QByteArray("{\"answers\": [") << 400
                                  << "JSON object";
        QTest::newRow("JSON array") << "valid" << QByteArray("[]") << 400 << "JSON object";
        QTest::newRow("no answers")
            << "valid" << QByteArray(R"({"email":"@EMAIL@"})") << 400 << "answers";
        QTest::newRow("answer without slot")
            << "valid" << QByteArray(R"({"answers":[{"value":"Kim"}],"email":"@EMAIL@"})") << 400
            << "slot";
        QTest::newRow("slot as text")
            << "valid"
            << QByteArray(R"({"answers":[{"slot":"0","value":"Kim"}],"email":"@EMAIL@"})") << 400
            << "slot";
        QTest::newRow("email as number") << "valid" << with({{"email", 42}}) << 400 << "email";
        QTest::newRow("note as object")
            << "valid" << with({{"note", QJsonObject{}}}) << 400 << "note";
        QTest::newRow("no name") << "valid"
                                 << with({{"answers", QJsonArray{answer(1, QStringLiteral("x"))}}})
                                 << 422 << nameNeeded;
        QTest::newRow("blank name")
            << "valid" << with({{"answers", QJsonArray{answer(0, QStringLiteral(" \n\t"))}}}) << 422
            << nameNeeded;
        QTest::newRow("slot twice")
            << "valid" << with({{"answers", QJsonArray{answer(0, "Kim"), answer(0, "Lee")}}}) << 422
            << "own slot";
        QTest::newRow("NUL in an answer")
            << "valid" << with({{"answers", QJsonArray{answer(0, QStringLiteral("Ki\u0000m"))}}})
            << 422 << "NUL";
        QTest::newRow("no email") << "valid" << with({{"email", QJsonValue::Null}}) << 422
                                  << badEmail;
        QTest::newRow("email without domain dot")
            << "valid" << with({{"email", "kim@localhost"}}) << 422 << badEmail;
        QTest::newRow("email adding a recipient")
            << "valid" << with({{"email", "kim,boss@example.com"}}) << 422 << badEmail;
        QTest::newRow("email adding a header")
            << "valid" << with({{"email", "kim@example.com\r\nBcc: x@example.com"}}) << 422
            << badEmail;
        QTest::newRow("no such day")
            << "valid" << with({{"visit_date", "2030-02-30"}}) << 422 << "yyyy-MM-dd";
        QTest::newRow("date without padding")
            << "valid" << with({{"visit_date", "2030-5-1"}}) << 422 << "yyyy-MM-dd";
        QTest::newRow("hour 24") << "valid"
                                 << with({{"visit_date", "2030-05-01"}, {"visit_time", "24:00"}})
                                 << 422 << "HH:mm";
        QTest::newRow("time without padding")
            << "valid" << with({{"visit_date", "2030-05-01"}, {"visit_time", "9:30"}}) << 422
            << "HH:mm";
        QTest::newRow("time without date")
            << "valid" << with({{"visit_time", "09:30"}}) << 422 << "needs a visit date";
        QTest::newRow("note of 501 characters")
            << "valid" << with({{"note", QString(501, QLatin1Char('n'))}}) << 422 << "500";
        QTest::newRow("answer of 201 characters")
            << "valid"
            << with({{"answers",
                      QJsonArray{answer(0, "Kim"), answer(2, QString(201, QLatin1Char('a')))}}})
            << 422 << "200";
    }

    void refusesBadRequests() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        QFETCH(QString, auth);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, message);

        const TestAccount account = newAccount(*info);
        const QString email = freshAddress();
        body.replace("@EMAIL@", email.toUtf8());
        QString token = account.accessToken;
        if (auth == QStringLiteral("none"))
            token.clear();
        else if (auth == QStringLiteral("forged"))
            token = forgeToken(account.userId, "not-the-server-secret-not-the-server-secret");
        else if (auth == QStringLiteral("none-alg"))
            token = forgeToken(account.userId, {}, 3600, QStringLiteral("none"));
        else if (auth == QStringLiteral("expired"))
            token = forgeToken(account.userId, info->jwtSecret.toUtf8(), -60);
        else if (auth == QStringLiteral("signed-out"))
            QCOMPARE(sendRequest("POST", info->authUrl(QStringLiteral("logout")), {},
                                 deskHeaders(*info, token))
                         .status,
                     204);

        const HttpReply reply = api(*info, token, QStringLiteral("/api/invites"), body);
        QCOMPARE(reply.status, status);
        const QString error = reply.json().object().value(QStringLiteral("error")).toString();
        QVERIFY2(error.contains(message), qPrintable(error));

        // Nothing stored, nothing mailed.
        QCOMPARE(runSql(*info,
                        QStringLiteral("select count(*) from public.invites where owner_id = '%1'")
                            .arg(uuidText(account.userId))),
                 QStringLiteral("0"));
        QCOMPARE(mailsTo(*info, email).size(), 0);
    }

    // The desk cuts notes and answers by the characters people see; letters built from
    // several code points (an accent typed as a combining mark, a flag) count once.
    void countsCharactersAsPeopleSeeThem() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        const TestAccount account = newAccount(*info);
        const QString accented = QStringLiteral("e\u0301"); // é as two code points
        const QString flag = QString::fromUtf8("\xf0\x9f\x87\xb3\xf0\x9f\x87\xb4"); // two more
        QString note;
        for (int i = 0; i < 500; ++i)
            note += accented;
        QString company;
        for (int i = 0; i < 200; ++i)
            company += flag;
        const HttpReply reply = api(
            *info, account.accessToken, QStringLiteral("/api/invites"),
            compact({{QStringLiteral("answers"), QJsonArray{answer(0, "Kim"), answer(2, company)}},
                     {QStringLiteral("email"), freshAddress()},
                     {QStringLiteral("note"), note}}));
        QCOMPARE(reply.status, 201);
        const QJsonObject row = invitesOf(*info, account.accessToken)[0].toObject();
        QCOMPARE(row.value(QStringLiteral("note")).toString(), note);
        QCOMPARE(
            row.value(QStringLiteral("answers")).toArray()[1].toObject().value("value").toString(),
            company);

        const HttpReply tooLong =
            api(*info, account.accessToken, QStringLiteral("/api/invites"),
                compact({{QStringLiteral("answers"), QJsonArray{answer(0, "Kim")}},
                         {QStringLiteral("email"), freshAddress()},
                         {QStringLiteral("note"), note + accented}}));
        QCOMPARE(tooLong.status, 422);
    }

    void refusesABodyOverOneMebibyte() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        const TestAccount account = newAccount(*info);
        const QByteArray body =
            compact({{QStringLiteral("answers"), QJsonArray{answer(0, "Kim")}},
                     {QStringLiteral("email"), freshAddress()},
                     {QStringLiteral("note"), QString(1024 * 1024, QLatin1Char('x'))}});
        const HttpReply reply =
            api(*info, account.accessToken, QStringLiteral("/api/invites"), body);
        QCOMPARE(reply.status, 413);
        QVERIFY(reply.json().object().value(QStringLiteral("error")).isString());
        QCOMPARE(invitesOf(*info, account.accessToken).size(), 0);
    }

    void resendsOnlyTheCallersWaitingInvites() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        const TestAccount owner = newAccount(*info);
        const TestAccount other = newAccount(*info);
        const QString email = freshAddress();
        const QJsonObject invite = create(owner, email);
        const QString id = invite.value(QStringLiteral("id")).toString();
        const QString link =
            info->url.toString() + QStringLiteral("/i/") + invite.value("token").toString();
        const auto resend = [&](const TestAccount *account, const QString &inviteId) {
            return api(*info, account ? account->accessToken : QString(),
                       QStringLiteral("/api/invites/") + inviteId + QStringLiteral("/resend"));
        };

        // Another account's invite does not exist for the caller; nor does a malformed id.
        for (const QString &bad : {id, uuidText(QUuid::createUuid()), QStringLiteral("not-a-uuid"),
                                   QStringLiteral("1%27%20or%20%271%27=%271")}) {
            const HttpReply reply = resend(bad == id ? &other : &owner, bad);
            QCOMPARE(reply.status, 404);
            QVERIFY(!reply.json().object().value(QStringLiteral("error")).toString().isEmpty());
        }
        QCOMPARE(resend(nullptr, id).status, 401);
        QCOMPARE(mailsTo(*info, email).size(), 1);

        // The desk sends the id in lower case; upper case names the same invite.
        QCOMPARE(resend(&owner, id).status, 204);
        QCOMPARE(resend(&owner, id.toUpper()).status, 204);
        const QStringList mails = mailsTo(*info, email);
        QCOMPARE(mails.size(), 3);
        QVERIFY(mails[2].contains(link));
        QVERIFY(mails[2].contains(QStringLiteral("Subject: Reminder:")));

        // Once used for a sign-in it cannot be sent again.
        QCOMPARE(rest(*info, owner.accessToken, "PATCH", QStringLiteral("invites?id=eq.") + id,
                      R"({"used_at":"2030-01-01T09:00:00Z"})", "return=minimal")
                     .status,
                 204);
        const HttpReply used = resend(&owner, id);
        QCOMPARE(used.status, 409);
        QVERIFY(used.json().object().value(QStringLiteral("error")).toString().contains("used"));
        QCOMPARE(mailsTo(*info, email).size(), 3);
    }

    void resendWithoutContentLength();
};

// The desk's "Resend Email" is a POST without a body and without Content-Length.
void InviteApiTest::resendWithoutContentLength() {
    GW_WEBSITE_NEEDS_BACKEND(info);
    const TestAccount owner = newAccount(*info);
    const QString email = freshAddress();
    const QString id = create(owner, email).value(QStringLiteral("id")).toString();

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
    while (!answer.contains("\r\n\r\n") && timer.elapsed() < 5000 && socket.waitForReadyRead(5000))
        answer += socket.readAll();
    QVERIFY2(answer.startsWith("HTTP/1.1 204"), answer.constData());
    QVERIFY2(timer.elapsed() < 3000, "the server waited for a body that was never coming");
    QCOMPARE(mailsTo(*info, email).size(), 2);
}

GW_BACKEND_TEST(InviteApiTest)
#include "InviteApiTest.moc"
