#include "CloudTestSupport.h"
#include "support/TestMain.h"

#include <QSignalSpy>
#include <QTest>

namespace {

using Reply = FakeHttpServer::Reply;
using Request = FakeHttpServer::Request;

// Runs one kind of request the way the desk does; "rest" and "website" go through the
// shared plumbing like the data endpoints.
QCoro::Task<void> perform(CloudClient *client, QString kind, CancellationToken cancel = {}) {
    const QString email = QStringLiteral(" \tdesk@example.com\t "), password = "  pw ";
    if (kind == "signIn") {
        co_await client->signIn(email, password);
    } else if (kind == "createAccount") {
        co_await client->createAccount("\n Ada ", email, password);
    } else if (kind == "reset") {
        co_await client->sendPasswordReset(email);
    } else if (kind == "changePassword") {
        co_await client->changePassword(password);
    } else if (kind == "deleteAccount") {
        co_await client->deleteAccount();
    } else if (kind == "refresh") {
        co_await client->validSession();
    } else if (kind == "signOut") {
        client->signOut();
    } else if (kind == "rest") {
        const auto request =
            co_await client->authorizedRequest(client->restURL("visitors"), cancel);
        co_await client->sendAuthorized(request, "GET", {}, cancel);
    } else {
        const auto request = co_await client->authorizedRequest(client->websiteURL("api/invites"));
        co_await client->sendToWebsite(request, "POST", "{}");
    }
}

// A request made with a given token, bypassing validSession: one that was already on its
// way when the session changed.
QCoro::Task<CloudClient::Response> sendWithToken(CloudClient *client, const QString &token) {
    QNetworkRequest request(client->restURL("visitors"));
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    return client->sendAuthorized(request);
}

} // namespace

class CloudClientTests : public QObject {
    Q_OBJECT
private slots:
    // Every row of the failure table, through the operation that meets it. Status 0: the
    // connection closes without an answer.
    void failureTable_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<CloudError>("expected"); // any message for `network`
        auto row = [](const char *name, const char *operation, int status, const char *body,
                      const CloudError &expected) {
            QTest::newRow(name) << QString(operation) << status << QByteArray(body) << expected;
        };
        using E = CloudError;
        const auto network = E::network({});
        const auto signedOut = E::signedOut();
        row("connection dropped", "signIn", 0, "", network);
        row("wrong password", "signIn", 400, R"({"error_code":"invalid_credentials"})",
            E::wrongCredentials());
        row("credentials in the message", "signIn", 400,
            R"({"error":"invalid_grant","error_description":"Invalid login CREDENTIALS"})",
            E::wrongCredentials());
        row("unconfirmed", "signIn", 400, R"({"error_code":"email_not_confirmed"})",
            E::emailNotConfirmed());
        row("already registered", "createAccount", 422, R"({"error_code":"user_already_exists"})",
            E::accountExists());
        row("with message", "rest", 500, R"({"message":"database is down"})",
            E::server(500, "database is down"));
        row("without message", "reset", 502, "<html>Bad gateway</html>", E::server(502, {}));
        row("401 on a REST request", "rest", 401, "{}", signedOut);
        row("401 on an auth request", "changePassword", 401, "{}", signedOut);
        row("refresh refused 400", "refresh", 400, R"({"error_code":"refresh_token_not_found"})",
            signedOut);
        row("refresh refused, credentials", "refresh", 400,
            R"({"error_code":"invalid_grant","msg":"Invalid login credentials"})", signedOut);
        row("refresh fails 500", "refresh", 500, R"({"msg":"Internal error"})",
            E::server(500, "Internal error"));
        row("refresh without network", "refresh", 0, "", network);
        row("too many sign-ins", "signIn", 429,
            R"({"code":429,"error_code":"over_request_rate_limit","msg":"Request rate limit reached"})",
            E::server(429, "Too many attempts. Please wait a few minutes and try again."));
        row("too many reset mails", "reset", 429,
            R"({"code":429,"error_code":"over_email_send_rate_limit","msg":"Email rate limit exceeded"})",
            E::server(429, "Too many emails were requested. Please wait a few minutes and try "
                           "again."));
        row("refresh over the rate limit", "refresh", 429,
            R"({"error_code":"over_request_rate_limit"})",
            E::server(429, "Too many attempts. Please wait a few minutes and try again."));
        row("401 from the website", "website", 401, "{}", signedOut);
        row("website error", "website", 422, R"({"error":"Invite email is invalid"})",
            E::server(422, "Invite email is invalid"));
    }
    void failureTable() {
        QFETCH(QString, operation);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(CloudError, expected);
        // A 401 from the backend ends the session; the website cannot end it.
        const bool sessionKept =
            expected.kind() != CloudError::Kind::signedOut || operation == "website";

        const CloudSession start = makeSession("tok-1", operation == "refresh" ? 30 : 3600);
        ClientFixture f(start);
        Reply failing{.status = status, .body = body, .hangUp = status == 0};
        if (status == 401) // as the REST service sends it; the network layer must not retry
            failing.headers.append(qMakePair(QByteArray("WWW-Authenticate"),
                                             QByteArray("Bearer error=\"invalid_token\"")));
        f.server.setHandler([failing](const Request &) { return failing; });

        const auto error = runTask(perform(f.client.get(), operation)).errorAs<CloudError>();
        QVERIFY(error && error->kind() == expected.kind() && !error->description().isEmpty());
        if (expected.kind() != CloudError::Kind::network) // whose text comes from Qt
            QCOMPARE(*error, expected);
        // Qt sends a request again, once, when the connection closes without an answer.
        QVERIFY(f.server.requests.size() == 1 || (status == 0 && f.server.requests.size() == 2));
        QCOMPARE(f.client->session(), sessionKept ? std::optional(start) : std::nullopt);
        QCOMPARE(f.store->stored, f.client->session());
        QVERIFY(!f.client->isRefreshing());
    }

    // Without a session: signing out still erases the item and sends nothing; a sign-up
    // answer without tokens means "confirm your address first"; a token answer that does not
    // decode is an error that stores nothing.
    void withoutASession() {
        ClientFixture f;
        QSignalSpy changed(f.client.get(), &CloudClient::sessionChanged);
        f.client->signOut();
        QCOMPARE(f.store->saves, 1);
        QByteArray answer = R"({"id":"6f1c2b3a-4d5e-4f60-8a7b-9c0d1e2f3a4b"})";
        f.server.setHandler([&](const Request &) { return Reply::json(200, answer); });
        QCOMPARE(runTask(f.client->createAccount("A", "a@b.org", "pw")).value, false);
        answer = R"({"access_token":"a","expires_in":3600,"user":{"id":"x"}})";
        QCOMPARE(runTask(f.client->signIn("a@b.org", "pw")).errorText(), "refresh_token: Missing");
        QCOMPARE(f.store->saves, 1);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(f.server.requests.size(), 2); // no sign-out request
        answer = tokenBody("new", "refresh-new");
        QCOMPARE(runTask(f.client->createAccount("A", "a@b.org", "pw")).value, true);
        QCOMPARE(f.store->stored, f.client->session());
        QCOMPARE(tokenOf(f.client->session()), "new");
    }

    // What each kind of request carries, and how long it may take.
    void headersAndTimeouts_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("request"); // method, path and decoded query
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QByteArray>("authorization");
        QTest::addColumn<QByteArray>("body");
        auto row = [](const char *kind, const char *request, int timeoutMs,
                      const char *authorization, const char *body) {
            QTest::newRow(kind) << QString(kind) << QByteArray(request) << timeoutMs
                                << QByteArray(authorization) << QByteArray(body);
        };
        const char *bearer = "Bearer tok-1";
        // Emails lose spaces and tabs around them; passwords are sent as typed.
        row("signIn", "POST /auth/v1/token?grant_type=password", 15000, "",
            R"({"email":"desk@example.com","password":"  pw "})");
        row("createAccount", "POST /auth/v1/signup", 15000, "",
            R"({"data":{"name":"Ada"},"email":"desk@example.com","password":"  pw "})");
        row("reset", "POST /auth/v1/recover?redirect_to=WEB/auth/callback?next=/reset-password",
            15000, "", R"({"email":"desk@example.com"})");
        row("refresh", "POST /auth/v1/token?grant_type=refresh_token", 15000, "",
            R"({"refresh_token":"refresh-1"})");
        row("changePassword", "PUT /auth/v1/user", 30000, bearer, R"({"password":"  pw "})");
        row("deleteAccount", "POST /rest/v1/rpc/delete_account", 30000, bearer, "{}");
        row("rest", "GET /rest/v1/visitors", 30000, bearer, "");
        row("website", "POST /api/invites", 30000, bearer, "{}");
        row("signOut", "POST /auth/v1/logout", 10000, bearer, "");
    }
    void headersAndTimeouts() {
        QFETCH(QString, kind);
        QFETCH(QByteArray, request);
        QFETCH(int, timeoutMs);
        QFETCH(QByteArray, authorization);
        QFETCH(QByteArray, body);

        ClientFixture f(makeSession("tok-1", kind == "refresh" ? 10 : 3600));
        f.server.setHandler([](const Request &) { return Reply{.body = tokenBody("t2", "r2")}; });
        int changes = 0;
        bool storedFirst = true;
        connect(f.client.get(), &CloudClient::sessionChanged, this, [&] {
            ++changes;
            storedFirst = storedFirst && f.store->stored == f.client->session();
        });
        QVERIFY(runTask(perform(f.client.get(), kind)).ok());
        QVERIFY(QTest::qWaitFor([&] { return f.server.requests.size() == 1; }));

        const Request sent = f.server.requests[0];
        const QString target = QUrl::fromPercentEncoding(sent.target);
        QCOMPARE(sent.method + ' ' + target.toUtf8().replace(f.server.url().toEncoded(), "WEB"),
                 request);
        // A "?" inside a query value goes encoded: some servers refuse a second raw one.
        QVERIFY2(!sent.rawQuery().contains('?'), sent.target.constData());
        QCOMPARE(sent.header("apikey"), testApiKey);
        QCOMPARE(sent.header("Content-Type"), kind == "signOut" ? "" : "application/json");
        QCOMPARE(sent.header("Authorization"), authorization);
        QCOMPARE(sent.body, body);
        QCOMPARE(f.network.sent.value(0).transferTimeout(), timeoutMs);
        // Sessions are stored before they are published.
        QVERIFY(storedFirst);
        QCOMPARE(changes, f.store->saves); // one notice per change, and no other
        QCOMPARE(f.client->isSignedIn(), kind != "deleteAccount" && kind != "signOut");
    }

    void slowAnswerTimesOut() {
        ClientFixture f(makeSession("tok-1", 3600));
        f.server.setHandler([](const Request &) { return Reply{.never = true}; });
        QNetworkRequest request(f.client->restURL("visitors"));
        request.setTransferTimeout(300);
        const auto outcome = runTask(f.client->sendAuthorized(request));
        QCOMPARE(outcome.errorAs<CloudError>(),
                 std::optional(CloudError::network("The request timed out.")));
        QVERIFY(f.client->isSignedIn());
    }

    // Callers reaching an expiring session together spend the refresh token once.
    void sharedRefresh_data() {
        QTest::addColumn<int>("secondsLeft");
        QTest::addColumn<bool>("refreshes");
        QTest::newRow("59 s left") << 59 << true;
        QTest::newRow("60 s left") << 60 << false;
        QTest::newRow("61 s left") << 61 << false;
    }
    void sharedRefresh() {
        QFETCH(int, secondsLeft);
        QFETCH(bool, refreshes);
        ClientFixture f(makeSession("old", secondsLeft));
        f.server.setHandler([](const Request &) {
            return Reply{.body = tokenBody("fresh", "r2"), .delayMs = 150};
        });
        QSignalSpy refreshChanged(f.client.get(), &CloudClient::refreshTaskChanged);

        CancellationSource source;
        auto quitter = startTask(perform(f.client.get(), "rest", source.token()));
        auto first = startTask(perform(f.client.get(), "rest"));
        auto second = startTask(perform(f.client.get(), "rest"));
        QCOMPARE(f.client->isRefreshing(), refreshes);
        // A caller that gives up does not take the shared refresh down with it.
        source.cancel();
        QCOMPARE(quitter.wait().errorText(), "cancelled");
        QVERIFY(first.wait().ok());
        QVERIFY(second.wait().ok());

        QCOMPARE(f.server.requestsTo("/auth/v1/token").size(), refreshes ? 1 : 0);
        const auto reads = f.server.requestsTo("/rest/v1/visitors");
        QVERIFY(reads.size() >= 2); // the quitter's request may have left before it gave up
        for (const auto &read : reads)
            QCOMPARE(read.header("Authorization"), refreshes ? "Bearer fresh" : "Bearer old");
        QCOMPARE(refreshChanged.count(), refreshes ? 2 : 0);
        QCOMPARE(f.store->stored, f.client->session());
        QCOMPARE(f.client->session().value().refreshToken, refreshes ? "r2" : "refresh-1");
    }

    // A refresh that ends after its session was cleared or replaced must not bring it back,
    // and a new session that needs a refresh gets its own instead of joining the stale one.
    void lateRefreshChangesNothing_data() {
        QTest::addColumn<QString>("interruption");
        QTest::addColumn<QString>("finalToken"); // empty: signed out
        QTest::newRow("sign-out") << "signOut" << QString();
        QTest::newRow("401 on another request") << "unauthorized" << QString();
        QTest::newRow("account deleted") << "deleteAccount" << QString();
        QTest::newRow("another sign-in") << "signIn"
                                         << "own-refresh";
    }
    void lateRefreshChangesNothing() {
        QFETCH(QString, interruption);
        QFETCH(QString, finalToken);
        ClientFixture f(makeSession("old", 30));
        f.server.setHandler([](const Request &request) {
            if (request.target.contains("grant_type=password"))
                return Reply::json(200, tokenBody("new-signin", "refresh-new", 30));
            if (request.body.contains("refresh-1"))
                return Reply{.body = tokenBody("late-refresh", "r"), .delayMs = 400};
            if (request.body.contains("refresh-new"))
                return Reply{.body = tokenBody("own-refresh", "r"), .delayMs = 50};
            return Reply::json(request.path() == "/rest/v1/visitors" ? 401 : 204, "");
        });

        auto waiter = startTask(f.client->validSession());
        QVERIFY(QTest::qWaitFor([&] { return !f.server.requests.isEmpty(); }));
        if (interruption == "signOut") {
            f.client->signOut();
        } else if (interruption == "unauthorized") {
            QCOMPARE(runTask(sendWithToken(f.client.get(), "old")).errorAs<CloudError>(),
                     std::optional(CloudError::signedOut()));
        } else if (interruption == "deleteAccount") {
            // An hour earlier the token looked fresh, so the deletion does not wait.
            f.client->setNow([] { return fixedNow().addSecs(-3600); });
            QVERIFY(runTask(f.client->deleteAccount()).ok());
            f.client->setNow(fixedNow);
        } else {
            QVERIFY(runTask(f.client->signIn("other@example.com", "pw")).ok());
        }
        QVERIFY2(f.client->isRefreshing(), "the interruption came before the refresh ended");
        const int saves = f.store->saves;
        auto next = startTask(f.client->validSession());

        QCOMPARE(waiter.wait().errorAs<CloudError>(), std::optional(CloudError::signedOut()));
        const auto nextSession = next.wait().value;
        QCOMPARE(tokenOf(nextSession), finalToken);
        QCOMPARE(f.client->session(), nextSession);
        QCOMPARE(f.store->stored, nextSession);
        QCOMPARE(f.store->saves, saves + (nextSession ? 1 : 0));
        QVERIFY(!f.client->isRefreshing());
    }

    // A 401 for a token that is no longer the session's says nothing about the new one.
    void staleUnauthorizedKeepsANewerSession() {
        ClientFixture f(makeSession("old", 3600));
        f.server.setHandler([](const Request &request) {
            if (request.path() == "/auth/v1/token")
                return Reply::json(200, tokenBody("new-signin", "refresh-new"));
            return Reply{.status = 401, .delayMs = 300};
        });
        auto stale = startTask(sendWithToken(f.client.get(), "old"));
        f.client->signOut();
        QVERIFY(runTask(f.client->signIn("desk@example.com", "pw")).ok());

        QCOMPARE(stale.wait().errorAs<CloudError>(), std::optional(CloudError::signedOut()));
        QCOMPARE(tokenOf(f.client->session()), "new-signin");
        QCOMPARE(f.store->stored, f.client->session());
    }
};

GW_TEST(CloudClientTests)

#include "CloudClientTests.moc"
