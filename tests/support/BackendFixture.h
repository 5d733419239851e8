#pragma once

// Helpers for integration tests that talk to the local backend started by the ctest
// fixture (tests/support/backend-fixture; register such tests with GW_BACKEND_TEST).
//
//   auto info = BackendInfo::load();          // nullopt outside the fixture
//   auto account = createTestAccount(*info);  // a fresh, signed-in account
//   runSql(*info, "update visitors set ...");  // seed or inspect as superuser
//
// Every helper here is synchronous (it spins a local event loop) and throws
// BackendFixtureError when something fails, which fails the calling test.
//
// A test function (or init) that needs the backend starts with GW_REQUIRE_BACKEND(info),
// `info` being anything that tests false outside the fixture.

#include <QByteArray>
#include <QDateTime>
#include <QJsonDocument>
#include <QList>
#include <QMap>
#include <QNetworkAccessManager>
#include <QString>
#include <QTest>
#include <QUrl>
#include <QUuid>

#include <optional>
#include <stdexcept>

// Skips the calling test function when the fixture is not running.
#define GW_REQUIRE_BACKEND(info)                                                                   \
    do {                                                                                           \
        if (!(info))                                                                               \
            QSKIP("needs the local backend (run through ctest, fixture \"backend\")");             \
    } while (false)

struct BackendFixtureError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct BackendInfo {
    QUrl url;          // http://127.0.0.1:PORT, no trailing slash
    QString apikey;    // the publishable key the server expects
    QString jwtSecret; // HS256 secret of its access tokens (to forge or expire tokens)
    QString outbox;    // folder of the .eml files it writes
    QString database;  // libpq connection string, superuser, for direct SQL

    // Reads the file named by GREETWELL_TEST_BACKEND_INFO; nullopt when it is unset or
    // unreadable (the test then runs outside the fixture and should skip).
    static std::optional<BackendInfo> load();
    // The same from a fixture's info.json at `path`.
    static std::optional<BackendInfo> load(const QString &path);

    QUrl authUrl(const QString &path) const; // url + "/auth/v1/" + path
    QUrl restUrl(const QString &path) const; // url + "/rest/v1/" + path
};

// A fresh account created through the real auth API (sign-up with an e-mail address no
// other test uses), confirmed and signed in.
struct TestAccount {
    QString email;
    QString password;
    QUuid userId;
    QString accessToken;
    QString refreshToken;
};
TestAccount createTestAccount(const BackendInfo &info,
                              const QString &name = QStringLiteral("Test User"));

// One HTTP exchange, for tests that check statuses, headers and bodies exactly.
struct HttpReply {
    int status = 0; // 0 when no HTTP answer came
    QByteArray body;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QString networkError;                 // set when status is 0

    QJsonDocument json() const { return QJsonDocument::fromJson(body); }
    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
};
using HeaderList = QList<QPair<QByteArray, QByteArray>>;
HttpReply sendRequest(const QByteArray &method, const QUrl &url, const QByteArray &body = {},
                      const HeaderList &headers = {}, int timeoutMs = 30000);

// The headers of an authorised request as the desk sends them: apikey, bearer token and
// JSON content type.
HeaderList deskHeaders(const BackendInfo &info, const QString &accessToken);

// An authorised REST call as the desk makes it, with an optional Prefer header.
inline HttpReply rest(const BackendInfo &info, const QString &token, const QByteArray &method,
                      const QString &pathAndQuery, const QByteArray &body = {},
                      const QByteArray &prefer = {}) {
    HeaderList headers = deskHeaders(info, token);
    if (!prefer.isEmpty())
        headers.append({"Prefer", prefer});
    return sendRequest(method, info.restUrl(pathAndQuery), body, headers);
}

// Runs SQL as superuser through psql and returns its unaligned, tuples-only output with
// the trailing newline removed. Throws on any error.
QString runSql(const BackendInfo &info, const QString &sql);

// Inserts `count` visitors for `owner` directly, newest first from `newest` back over
// `spreadDays` days; the `onSite` newest ones are not signed out. Fast enough for
// thousands of rows.
void seedVisitors(const BackendInfo &info, const QUuid &owner, int count, int onSite,
                  const QDateTime &newest = QDateTime::currentDateTimeUtc(), int spreadDays = 60);
