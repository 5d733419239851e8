#include "CloudTestSupport.h"
#include "support/TestMain.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

namespace {

using Reply = FakeHttpServer::Reply;
using Request = FakeHttpServer::Request;

// Remembers every save, so a test can tell whether a value was ever stored.
struct HistoryStore : MemorySessionStore {
    QList<std::optional<CloudSession>> history;
    void save(const std::optional<CloudSession> &session) override {
        history.append(session);
        MemorySessionStore::save(session);
    }
    bool everStoredToken(const QString &accessToken) const {
        for (const auto &saved : history)
            if (saved && saved->accessToken == accessToken)
                return true;
        return false;
    }
};

QJsonObject bodyOf(const Request &request) {
    return QJsonDocument::fromJson(request.body).object();
}

QString grantOf(const Request &request) {
    return request.query().queryItemValue(QStringLiteral("grant_type"));
}

// One authorised GET through the shared plumbing, as the data endpoints do it.
QCoro::Task<QByteArray> fetchVisitors(CloudClient *client, CancellationToken cancel) {
    QNetworkRequest request =
        co_await client->authorizedRequest(client->restURL(QStringLiteral("visitors")), cancel);
    const CloudClient::Response response =
        co_await client->sendAuthorized(request, "GET", {}, cancel);
    co_return response.body;
}

QCoro::Task<QByteArray> postToWebsite(CloudClient *client) {
    QNetworkRequest request =
        co_await client->authorizedRequest(client->websiteURL(QStringLiteral("api/invites")));
    const CloudClient::Response response = co_await client->sendToWebsite(request, "POST", "{}");
    co_return response.body;
}

QCoro::Task<CloudSession> refreshNow(CloudClient *client) {
    co_return co_await client->validSession();
}

// A request made with a given token, bypassing validSession: a request that was already
// on its way when the session changed.
QNetworkRequest requestWithToken(CloudClient *client, const QString &path, const QString &token) {
    QNetworkRequest request(client->restURL(path));
    request.setRawHeader("apikey", testApiKey);
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    return request;
}

enum class Operation {
    signIn,
    createAccount,
    passwordReset,
    changePassword,
    restGet,
    website,
    refresh
};

} // namespace

Q_DECLARE_METATYPE(Operation)
Q_DECLARE_METATYPE(CloudError::Kind)

class CloudClientTests : public QObject {
    Q_OBJECT
private slots:
    void loadsTheStoredSessionEvenWhenExpired() {
        const CloudSession expired = makeSession("old", -7200);
        ClientFixture f(expired);
        QCOMPARE(f.client->session(), std::optional<CloudSession>(expired));
        QVERIFY(f.client->isSignedIn());
        QVERIFY(f.server.requests.isEmpty());
    }

    // Every row of the failure table, through the operation that meets it.
    void failureTable_data() {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("hangUp");
        QTest::addColumn<CloudError::Kind>("kind");
        QTest::addColumn<int>("errorStatus");
        QTest::addColumn<QString>("message"); // "*": any non-empty text
        QTest::addColumn<bool>("sessionKept");

        const auto ok = QByteArray("{}");
        QTest::newRow("connection dropped") << Operation::signIn << 0 << ok << true
                                            << CloudError::Kind::network << 0 << "*" << true;
        QTest::newRow("wrong email or password")
            << Operation::signIn << 400
            << QByteArray(
                   R"({"error_code":"invalid_credentials","msg":"Invalid login credentials"})")
            << false << CloudError::Kind::wrongCredentials << 0 << "" << true;
        QTest::newRow("unconfirmed address")
            << Operation::signIn << 400
            << QByteArray(R"({"error_code":"email_not_confirmed","msg":"Email not confirmed"})")
            << false << CloudError::Kind::emailNotConfirmed << 0 << "" << true;
        QTest::newRow("address already registered")
            << Operation::createAccount << 422
            << QByteArray(R"({"error_code":"user_already_exists","msg":"User already registered"})")
            << false << CloudError::Kind::accountExists << 0 << "" << true;
        QTest::newRow("other status with message")
            << Operation::restGet << 500 << QByteArray(R"({"message":"database is down"})") << false
            << CloudError::Kind::server << 500 << "database is down" << true;
        QTest::newRow("other status without message")
            << Operation::passwordReset << 502 << QByteArray("<html>Bad gateway</html>") << false
            << CloudError::Kind::server << 502 << "" << true;
        QTest::newRow("401 on a REST request")
            << Operation::restGet << 401 << QByteArray(R"({"message":"JWT expired"})") << false
            << CloudError::Kind::signedOut << 0 << "" << false;
        QTest::newRow("401 on an auth request with a token")
            << Operation::changePassword << 401 << QByteArray(R"({"msg":"invalid JWT"})") << false
            << CloudError::Kind::signedOut << 0 << "" << false;
        QTest::newRow("refresh refused 400")
            << Operation::refresh << 400
            << QByteArray(
                   R"({"error_code":"refresh_token_not_found","msg":"Invalid Refresh Token"})")
            << false << CloudError::Kind::signedOut << 0 << "" << false;
        QTest::newRow("refresh refused with a credentials code")
            << Operation::refresh << 400
            << QByteArray(R"({"error_code":"invalid_grant","msg":"Invalid login credentials"})")
            << false << CloudError::Kind::signedOut << 0 << "" << false;
        QTest::newRow("refresh fails 500")
            << Operation::refresh << 500 << QByteArray(R"({"msg":"Internal error"})") << false
            << CloudError::Kind::server << 500 << "Internal error" << true;
        QTest::newRow("refresh without network") << Operation::refresh << 0 << ok << true
                                                 << CloudError::Kind::network << 0 << "*" << true;
        QTest::newRow("401 from the website")
            << Operation::website << 401 << QByteArray(R"({"error":"Unauthorized"})") << false
            << CloudError::Kind::signedOut << 0 << "" << true;
        QTest::newRow("website error message")
            << Operation::website << 422 << QByteArray(R"({"error":"Invite email is invalid"})")
            << false << CloudError::Kind::server << 422 << "Invite email is invalid" << true;
        QTest::newRow("website error that is not text")
            << Operation::website << 400
            << QByteArray(R"({"error":{"code":1},"message":"not read here"})") << false
            << CloudError::Kind::server << 400 << "" << true;
    }
    void failureTable() {
        QFETCH(Operation, operation);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, hangUp);
        QFETCH(CloudError::Kind, kind);
        QFETCH(int, errorStatus);
        QFETCH(QString, message);
        QFETCH(bool, sessionKept);

        const CloudSession start =
            makeSession("tok-1", operation == Operation::refresh ? 30 : 3600);
        ClientFixture f(start);
        Reply failing{status, body};
        failing.hangUp = hangUp;
        if (status == 401) // as the REST service sends it; the network layer must not retry
            failing.headers.append(qMakePair(QByteArray("WWW-Authenticate"),
                                             QByteArray("Bearer error=\"invalid_token\"")));
        f.server.setHandler([failing](const Request &) { return failing; });

        std::optional<CloudError> error;
        auto run = [&](auto task) { error = outcomeOf(std::move(task)).error; };
        switch (operation) {
        case Operation::signIn:
            run(f.client->signIn("desk@example.com", "secret"));
            break;
        case Operation::createAccount:
            run(f.client->createAccount("Desk", "desk@example.com", "secret"));
            break;
        case Operation::passwordReset:
            run(f.client->sendPasswordReset("desk@example.com"));
            break;
        case Operation::changePassword:
            run(f.client->changePassword("new-secret"));
            break;
        case Operation::restGet:
            run(fetchVisitors(f.client.get(), {}));
            break;
        case Operation::website:
            run(postToWebsite(f.client.get()));
            break;
        case Operation::refresh:
            run(refreshNow(f.client.get()));
            break;
        }

        QVERIFY(error);
        QCOMPARE(error->kind(), kind);
        QCOMPARE(error->status(), errorStatus);
        if (message == "*")
            QVERIFY2(!error->description().isEmpty(), "a network failure needs a message");
        else
            QCOMPARE(error->message(), message);
        // Qt sends a request again, once, when the connection closes without an answer.
        QCOMPARE(f.server.requests.size() == 1 || (hangUp && f.server.requests.size() == 2), true);
        if (sessionKept) {
            QCOMPARE(f.client->session(), std::optional<CloudSession>(start));
            QCOMPARE(f.store->saves, 0);
        } else {
            QVERIFY(!f.client->session());
            QVERIFY(!f.store->stored);
        }
        QVERIFY(!f.client->isRefreshing());
    }

    void tokenAnswersThatDoNotDecode_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("no refresh token")
            << QByteArray(R"({"access_token":"a","expires_in":3600,"user":{"id":"x"}})")
            << "refresh_token";
        QTest::newRow("expiry as text")
            << QByteArray(R"({"access_token":"a","refresh_token":"r","expires_in":"3600",)"
                          R"("user":{"id":"6f1c2b3a-4d5e-4f60-8a7b-9c0d1e2f3a4b"}})")
            << "expires_in";
        QTest::newRow("user id not a UUID")
            << QByteArray(R"({"access_token":"a","refresh_token":"r","expires_in":3600,)"
                          R"("user":{"id":"desk"}})")
            << "user.id";
    }
    void tokenAnswersThatDoNotDecode() {
        QFETCH(QByteArray, body);
        QFETCH(QString, complaint);
        ClientFixture f;
        f.server.setHandler([body](const Request &) { return Reply::json(200, body); });
        const auto outcome = outcomeOf(f.client->signIn("desk@example.com", "secret"));
        QVERIFY(!outcome.error);
        QVERIFY2(outcome.otherError.contains(complaint), qPrintable(outcome.otherError));
        QVERIFY(!f.client->session());
        QCOMPARE(f.store->saves, 0);
    }

    void signInStoresThenPublishes() {
        ClientFixture f;
        f.server.setHandler([](const Request &) {
            return Reply::json(200, tokenBody("fresh", "refresh-2", 3600));
        });
        bool storedFirst = false;
        connect(f.client.get(), &CloudClient::sessionChanged, this,
                [&] { storedFirst = f.store->stored == f.client->session(); });
        QSignalSpy changed(f.client.get(), &CloudClient::sessionChanged);

        QVERIFY(outcomeOf(f.client->signIn(" \tdesk@example.com\t ", "  pass word ")).succeeded());

        const Request token = f.server.requests.value(0);
        QCOMPARE(grantOf(token), QStringLiteral("password"));
        QCOMPARE(bodyOf(token).value("email").toString(), QStringLiteral("desk@example.com"));
        QCOMPARE(bodyOf(token).value("password").toString(), QStringLiteral("  pass word "));
        const CloudSession expected{"fresh", "refresh-2", fixedNow().addSecs(3600), testUserID,
                                    "desk@example.com"};
        QCOMPARE(f.client->session(), std::optional<CloudSession>(expected));
        QCOMPARE(f.store->stored, std::optional<CloudSession>(expected));
        QVERIFY(storedFirst);
        QCOMPARE(changed.count(), 1);
    }

    void createAccount_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("signedIn");
        QTest::newRow("usable at once") << tokenBody("new", "refresh-new") << true;
        QTest::newRow("awaiting confirmation")
            << QByteArray(R"({"id":"6f1c2b3a-4d5e-4f60-8a7b-9c0d1e2f3a4b","email":"a@b.org",)"
                          R"("confirmation_sent_at":"2026-03-02T09:30:00Z"})")
            << false;
        QTest::newRow("empty object") << QByteArray("{}") << false;
    }
    void createAccount() {
        QFETCH(QByteArray, answer);
        QFETCH(bool, signedIn);
        ClientFixture f;
        f.server.setHandler([answer](const Request &) { return Reply::json(200, answer); });

        const auto outcome =
            outcomeOf(f.client->createAccount("\n  Ada Lovelace \n", "\tada@example.com ", " pw "));

        QVERIFY(outcome.succeeded());
        QCOMPARE(*outcome.value, signedIn);
        const Request signup = f.server.requests.value(0);
        QCOMPARE(signup.path(), QStringLiteral("/auth/v1/signup"));
        QCOMPARE(bodyOf(signup), (QJsonObject{{"email", "ada@example.com"},
                                              {"password", " pw "},
                                              {"data", QJsonObject{{"name", "Ada Lovelace"}}}}));
        QCOMPARE(f.client->isSignedIn(), signedIn);
        QCOMPARE(f.store->saves, signedIn ? 1 : 0);
        if (signedIn)
            QCOMPARE(f.client->session()->accessToken, QStringLiteral("new"));
    }

    void passwordResetRedirectsToTheWebsite() {
        ClientFixture f;
        QVERIFY(outcomeOf(f.client->sendPasswordReset("  desk@example.com\t")).succeeded());
        const Request recover = f.server.requests.value(0);
        QCOMPARE(recover.path(), QStringLiteral("/auth/v1/recover"));
        QCOMPARE(recover.query().queryItemValue("redirect_to", QUrl::FullyDecoded),
                 f.server.url().toString() + QStringLiteral("/auth/callback?next=/reset-password"));
        QCOMPARE(bodyOf(recover), (QJsonObject{{"email", "desk@example.com"}}));
        QVERIFY(!f.client->isSignedIn());
    }

    // What each kind of request carries, and how long it may take.
    void headersAndTimeouts_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("jsonContent");
        QTest::addColumn<QByteArray>("authorization");
        QTest::newRow("sign in") << "signIn"
                                 << "/auth/v1/token" << QByteArray("POST") << 15000 << true
                                 << QByteArray();
        QTest::newRow("create account")
            << "createAccount"
            << "/auth/v1/signup" << QByteArray("POST") << 15000 << true << QByteArray();
        QTest::newRow("password reset")
            << "reset"
            << "/auth/v1/recover" << QByteArray("POST") << 15000 << true << QByteArray();
        QTest::newRow("refresh") << "refresh"
                                 << "/auth/v1/token" << QByteArray("POST") << 15000 << true
                                 << QByteArray();
        QTest::newRow("change password")
            << "changePassword"
            << "/auth/v1/user" << QByteArray("PUT") << 30000 << true << QByteArray("Bearer tok-1");
        QTest::newRow("delete account") << "deleteAccount"
                                        << "/rest/v1/rpc/delete_account" << QByteArray("POST")
                                        << 30000 << true << QByteArray("Bearer tok-1");
        QTest::newRow("REST read") << "rest"
                                   << "/rest/v1/visitors" << QByteArray("GET") << 30000 << true
                                   << QByteArray("Bearer tok-1");
        QTest::newRow("website") << "website"
                                 << "/api/invites" << QByteArray("POST") << 30000 << true
                                 << QByteArray("Bearer tok-1");
        QTest::newRow("sign out") << "signOut"
                                  << "/auth/v1/logout" << QByteArray("POST") << 10000 << false
                                  << QByteArray("Bearer tok-1");
    }
    void headersAndTimeouts() {
        QFETCH(QString, kind);
        QFETCH(QString, path);
        QFETCH(QByteArray, method);
        QFETCH(int, timeoutMs);
        QFETCH(bool, jsonContent);
        QFETCH(QByteArray, authorization);

        ClientFixture f(makeSession("tok-1", kind == "refresh" ? 10 : 3600));
        f.server.setHandler([](const Request &request) {
            if (request.path() == "/auth/v1/token")
                return Reply::json(200, tokenBody("tok-2", "refresh-2"));
            return Reply::json(200, "{}");
        });
        if (kind == "signIn")
            QVERIFY(outcomeOf(f.client->signIn("a@b.org", "pw")).succeeded());
        else if (kind == "createAccount")
            QVERIFY(outcomeOf(f.client->createAccount("A", "a@b.org", "pw")).succeeded());
        else if (kind == "reset")
            QVERIFY(outcomeOf(f.client->sendPasswordReset("a@b.org")).succeeded());
        else if (kind == "refresh")
            QVERIFY(outcomeOf(refreshNow(f.client.get())).succeeded());
        else if (kind == "changePassword")
            QVERIFY(outcomeOf(f.client->changePassword(" new pw ")).succeeded());
        else if (kind == "deleteAccount")
            QVERIFY(outcomeOf(f.client->deleteAccount()).succeeded());
        else if (kind == "rest")
            QVERIFY(outcomeOf(fetchVisitors(f.client.get(), {})).succeeded());
        else if (kind == "website")
            QVERIFY(outcomeOf(postToWebsite(f.client.get())).succeeded());
        else if (kind == "signOut")
            f.client->signOut();
        QVERIFY(f.server.requestsTo(path).size() == 1 ||
                QTest::qWaitFor([&] { return f.server.requestsTo(path).size() == 1; }));

        const Request request = f.server.requestsTo(path).value(0);
        QCOMPARE(request.method, method);
        QCOMPARE(request.header("apikey"), testApiKey);
        QCOMPARE(request.hasHeader("Content-Type"), jsonContent);
        if (jsonContent)
            QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.header("Authorization"), authorization);
        QCOMPARE(request.hasHeader("Authorization"), !authorization.isEmpty());
        QCOMPARE(f.network.sentTo(path).transferTimeout(), timeoutMs);

        if (kind == "refresh") {
            QCOMPARE(grantOf(request), QStringLiteral("refresh_token"));
            QCOMPARE(bodyOf(request), (QJsonObject{{"refresh_token", "refresh-1"}}));
        } else if (kind == "changePassword") {
            QCOMPARE(bodyOf(request), (QJsonObject{{"password", " new pw "}}));
            QCOMPARE(f.client->session()->accessToken, QStringLiteral("tok-1"));
        } else if (kind == "deleteAccount") {
            QCOMPARE(request.body, QByteArray("{}"));
            QVERIFY(!f.client->session());
            QVERIFY(!f.store->stored);
        } else if (kind == "signOut") {
            QVERIFY(request.body.isEmpty());
        }
    }

    void slowAnswerTimesOut() {
        ClientFixture f(makeSession("tok-1", 3600));
        f.server.setHandler([](const Request &) {
            Reply reply;
            reply.never = true;
            return reply;
        });
        QNetworkRequest request = requestWithToken(f.client.get(), "visitors", "tok-1");
        request.setTransferTimeout(300);
        QElapsedTimer timer;
        timer.start();
        const auto outcome = outcomeOf(f.client->sendAuthorized(request));
        QVERIFY(outcome.error);
        QCOMPARE(*outcome.error, CloudError::network("The request timed out."));
        QVERIFY(timer.elapsed() < 5000);
        QVERIFY(f.client->isSignedIn());
    }

    // Callers reaching an expiring session together spend the refresh token once.
    void sharedRefresh_data() {
        QTest::addColumn<int>("secondsLeft");
        QTest::addColumn<bool>("refreshes");
        QTest::newRow("59 s left") << 59 << true;
        QTest::newRow("60 s left") << 60 << false;
        QTest::newRow("61 s left") << 61 << false;
        QTest::newRow("already expired") << -600 << true;
    }
    void sharedRefresh() {
        QFETCH(int, secondsLeft);
        QFETCH(bool, refreshes);
        ClientFixture f(makeSession("old", secondsLeft));
        f.server.setHandler([](const Request &request) {
            if (request.path() == "/auth/v1/token") {
                Reply reply = Reply::json(200, tokenBody("fresh", "refresh-2", 3600));
                reply.delayMs = 150;
                return reply;
            }
            return Reply::json(200, "[]");
        });
        QSignalSpy refreshChanged(f.client.get(), &CloudClient::refreshTaskChanged);
        QSignalSpy sessionChanged(f.client.get(), &CloudClient::sessionChanged);

        auto first = capture(fetchVisitors(f.client.get(), {}));
        auto second = capture(fetchVisitors(f.client.get(), {}));
        QCOMPARE(f.client->isRefreshing(), refreshes);
        QVERIFY(QCoro::waitFor(first).succeeded());
        QVERIFY(QCoro::waitFor(second).succeeded());

        const QByteArray token = refreshes ? "Bearer fresh" : "Bearer old";
        QCOMPARE(f.server.requestsTo("/auth/v1/token").size(), refreshes ? 1 : 0);
        const auto reads = f.server.requestsTo("/rest/v1/visitors");
        QCOMPARE(reads.size(), 2);
        QCOMPARE(reads[0].header("Authorization"), token);
        QCOMPARE(reads[1].header("Authorization"), token);
        QVERIFY(!f.client->isRefreshing());
        QCOMPARE(refreshChanged.count(), refreshes ? 2 : 0);
        QCOMPARE(sessionChanged.count(), refreshes ? 1 : 0);
        if (refreshes) {
            QCOMPARE(f.client->session()->expiresAt, fixedNow().addSecs(3600));
            QCOMPARE(f.client->session()->refreshToken, QStringLiteral("refresh-2"));
            QCOMPARE(f.store->stored, f.client->session());
        }
    }

    void signOutWithSession() {
        ClientFixture f(makeSession("tok-1", 3600));
        QSignalSpy changed(f.client.get(), &CloudClient::sessionChanged);

        f.client->signOut();
        QVERIFY(!f.client->isSignedIn());
        QVERIFY(!f.store->stored);
        QCOMPARE(f.store->saves, 1);
        QCOMPARE(changed.count(), 1);

        f.client->signOut();
        QCOMPARE(changed.count(), 1);
        QVERIFY(QTest::qWaitFor([&] { return !f.server.requestsTo("/auth/v1/logout").isEmpty(); }));
        QTest::qWait(100);
        QCOMPARE(f.server.requests.size(), 1);
    }

    void signOutWithoutSessionStillErasesTheItem() {
        ClientFixture f;
        QSignalSpy changed(f.client.get(), &CloudClient::sessionChanged);
        f.client->signOut();
        QCOMPARE(f.store->saves, 1);
        QVERIFY(!f.store->stored);
        QCOMPARE(changed.count(), 0);
        QTest::qWait(200);
        QVERIFY(f.server.requests.isEmpty());
    }

    // A refresh that ends after its session was cleared or replaced must not bring it back.
    void lateRefreshChangesNothing_data() {
        QTest::addColumn<QString>("interruption");
        QTest::addColumn<QString>("finalToken"); // empty: signed out
        QTest::newRow("sign-out") << "signOut"
                                  << "";
        QTest::newRow("401 on another request") << "unauthorized"
                                                << "";
        QTest::newRow("account deleted") << "deleteAccount"
                                         << "";
        QTest::newRow("another sign-in") << "signIn"
                                         << "new-signin";
    }
    void lateRefreshChangesNothing() {
        QFETCH(QString, interruption);
        QFETCH(QString, finalToken);

        FakeHttpServer server;
        RecordingNetworkAccessManager network;
        auto store = std::make_shared<HistoryStore>();
        store->stored = makeSession("old", 30);
        CloudClient client(&network, store, {server.url(), server.url(), testApiKey});
        client.setNow(fixedNow);
        server.setHandler([](const Request &request) {
            if (grantOf(request) == "refresh_token") {
                Reply reply = Reply::json(200, tokenBody("late-refresh", "refresh-late"));
                reply.delayMs = 400;
                return reply;
            }
            if (grantOf(request) == "password")
                return Reply::json(200, tokenBody("new-signin", "refresh-new"));
            if (request.path() == "/rest/v1/visitors")
                return Reply::json(401, R"({"message":"JWT expired"})");
            return Reply::json(204, "");
        });
        QSignalSpy refreshChanged(&client, &CloudClient::refreshTaskChanged);

        auto waiter = capture(client.validSession());
        QVERIFY(client.isRefreshing());
        QVERIFY(QTest::qWaitFor([&] { return !server.requestsTo("/auth/v1/token").isEmpty(); }));

        if (interruption == "signOut") {
            client.signOut();
            QVERIFY(client.isRefreshing()); // sign-out leaves the refresh alone
        } else if (interruption == "unauthorized") {
            const auto outcome =
                outcomeOf(client.sendAuthorized(requestWithToken(&client, "visitors", "old")));
            QCOMPARE(*outcome.error, CloudError::signedOut());
        } else if (interruption == "deleteAccount") {
            // An hour earlier the token looked fresh, so the deletion does not wait.
            client.setNow([] { return fixedNow().addSecs(-3600); });
            QVERIFY(outcomeOf(client.deleteAccount()).succeeded());
            client.setNow(fixedNow);
        } else if (interruption == "signIn") {
            QVERIFY(outcomeOf(client.signIn("other@example.com", "pw")).succeeded());
        }
        QVERIFY2(client.isRefreshing(), "the interruption came before the refresh ended");
        const auto sessionBefore = client.session();

        const auto outcome = QCoro::waitFor(waiter);
        QVERIFY(outcome.error);
        QCOMPARE(*outcome.error, CloudError::signedOut());
        QCOMPARE(client.session(), sessionBefore);
        QCOMPARE(client.session() ? client.session()->accessToken : QString(), finalToken);
        QCOMPARE(store->stored, client.session());
        QVERIFY(!store->everStoredToken("late-refresh"));
        QVERIFY(!client.isRefreshing());
        QCOMPARE(refreshChanged.count(), 2);
    }

    // After a new sign-in, an expiring new session gets its own refresh instead of the
    // outcome of the old one.
    void newSessionDoesNotJoinAStaleRefresh() {
        ClientFixture f(makeSession("old", 30));
        f.server.setHandler([](const Request &request) {
            if (grantOf(request) == "password")
                return Reply::json(200, tokenBody("new-signin", "refresh-new", 30));
            const QString refreshToken = bodyOf(request).value("refresh_token").toString();
            Reply reply = Reply::json(200, tokenBody("from-" + refreshToken, "r", 3600));
            reply.delayMs = refreshToken == "refresh-1" ? 500 : 50;
            return reply;
        });
        auto oldWaiter = capture(f.client->validSession());
        QVERIFY(outcomeOf(f.client->signIn("desk@example.com", "pw")).succeeded());
        auto newWaiter = capture(f.client->validSession());

        const auto fresh = QCoro::waitFor(newWaiter);
        QVERIFY(fresh.succeeded());
        QCOMPARE(fresh.value->accessToken, QStringLiteral("from-refresh-new"));
        QCOMPARE(*QCoro::waitFor(oldWaiter).error, CloudError::signedOut());
        QCOMPARE(f.client->session()->accessToken, QStringLiteral("from-refresh-new"));
        QCOMPARE(f.store->stored->accessToken, QStringLiteral("from-refresh-new"));
        QVERIFY(!f.client->isRefreshing());
    }

    // A 401 for a token that is no longer the session's says nothing about the new one.
    void staleUnauthorizedKeepsANewerSession() {
        ClientFixture f(makeSession("old", 3600));
        f.server.setHandler([](const Request &request) {
            if (request.path() == "/auth/v1/token")
                return Reply::json(200, tokenBody("new-signin", "refresh-new"));
            Reply reply = Reply::json(401, R"({"message":"JWT expired"})");
            reply.delayMs = 300;
            return reply;
        });
        auto stale =
            capture(f.client->sendAuthorized(requestWithToken(f.client.get(), "visitors", "old")));
        f.client->signOut();
        QVERIFY(outcomeOf(f.client->signIn("desk@example.com", "pw")).succeeded());

        QCOMPARE(*QCoro::waitFor(stale).error, CloudError::signedOut());
        QCOMPARE(f.client->session()->accessToken, QStringLiteral("new-signin"));
        QCOMPARE(f.store->stored->accessToken, QStringLiteral("new-signin"));
    }

    void cancelAbortsARequestInFlight() {
        ClientFixture f(makeSession("tok-1", 3600));
        f.server.setHandler([](const Request &) {
            Reply reply;
            reply.never = true;
            return reply;
        });
        CancellationSource source;
        auto task = capture(fetchVisitors(f.client.get(), source.token()));
        QVERIFY(QTest::qWaitFor([&] { return !f.server.requests.isEmpty(); }));
        QElapsedTimer timer;
        timer.start();
        source.cancel();
        const auto outcome = QCoro::waitFor(task);
        QVERIFY(outcome.cancelled);
        QVERIFY(timer.elapsed() < 2000);
        QVERIFY(f.client->isSignedIn());

        // An already cancelled token sends nothing.
        QVERIFY(outcomeOf(fetchVisitors(f.client.get(), source.token())).cancelled);
        QCOMPARE(f.server.requests.size(), 1);
    }

    // A waiter that gives up does not take the shared refresh down with it.
    void cancelledWaiterLeavesTheRefreshToOthers() {
        ClientFixture f(makeSession("old", 10));
        f.server.setHandler([](const Request &request) {
            if (request.path() != "/auth/v1/token")
                return Reply::json(200, "[]");
            Reply reply = Reply::json(200, tokenBody("fresh", "refresh-2"));
            reply.delayMs = 300;
            return reply;
        });
        CancellationSource source;
        auto quitter = capture(fetchVisitors(f.client.get(), source.token()));
        auto stayer = capture(fetchVisitors(f.client.get(), {}));
        QTimer::singleShot(50, [source] { source.cancel(); });

        QVERIFY(QCoro::waitFor(quitter).cancelled);
        QVERIFY(QCoro::waitFor(stayer).succeeded());
        QCOMPARE(f.server.requestsTo("/auth/v1/token").size(), 1);
        QCOMPARE(f.server.requestsTo("/rest/v1/visitors").size(), 1);
        QCOMPARE(f.client->session()->accessToken, QStringLiteral("fresh"));
    }
};

GW_TEST(CloudClientTests)

#include "CloudClientTests.moc"
