#include "CloudTestSupport.h"
#include "cloud/Cancellation.h"
#include "cloud/CloudError.h"
#include "cloud/CloudSession.h"
#include "model/Records.h"
#include "support/TestMain.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

Q_DECLARE_METATYPE(CloudError)

namespace {
const QByteArray idUpper = "6F1C2B3A-4D5E-4F60-8A7B-9C0D1E2F3A4B";
const QByteArray validStored =
    "{\"accessToken\":\"a\",\"refreshToken\":\"r\",\"expiresAt\":794136600.25,\"userID\":\"" +
    idUpper + "\",\"email\":\"e@x.org\"}";

// validStored with one key's text replaced.
QByteArray storedWith(const QByteArray &from, const QByteArray &to) {
    QByteArray json = validStored;
    return json.replace(from, to);
}
} // namespace

class CloudSessionTests : public QObject {
    Q_OBJECT
private slots:
    void writesTheFixedKeyOrderAndReferenceDate() {
        const CloudSession session{
            QStringLiteral("a\"b"), QStringLiteral("r"),
            QDateTime(QDate(2026, 3, 2), QTime(9, 30, 0, 250), QTimeZone::utc()), testUserID,
            QStringLiteral("e@x.org")};
        QCOMPARE(session.toStoredJson(),
                 "{\"accessToken\":\"a\\\"b\",\"refreshToken\":\"r\",\"expiresAt\":794136600.25,"
                 "\"userID\":\"" +
                     idUpper + "\",\"email\":\"e@x.org\"}");
    }

    void roundTripsTheSameInstant_data() {
        QTest::addColumn<QDateTime>("expiresAt");
        QTest::newRow("whole seconds")
            << QDateTime(QDate(2026, 1, 1), QTime(0, 0), QTimeZone::utc());
        QTest::newRow("milliseconds")
            << QDateTime(QDate(2030, 7, 9), QTime(23, 59, 59, 999), QTimeZone::utc());
        QTest::newRow("before the reference date")
            << QDateTime(QDate(1999, 12, 31), QTime(12, 0, 0, 5), QTimeZone::utc());
    }
    void roundTripsTheSameInstant() {
        QFETCH(QDateTime, expiresAt);
        const CloudSession session{QStringLiteral("tok\u00e9n"), QStringLiteral("ref\nresh"),
                                   expiresAt, testUserID, QString()};
        const auto loaded = CloudSession::fromStoredJson(session.toStoredJson());
        QVERIFY(loaded);
        QCOMPARE(*loaded, session);
        QCOMPARE(loaded->expiresAt.toMSecsSinceEpoch(), expiresAt.toMSecsSinceEpoch());
    }

    void readsWhatIsStored_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("loads");
        QTest::newRow("complete") << validStored << true;
        QTest::newRow("lower-case user id") << storedWith(idUpper, idUpper.toLower()) << true;
        QTest::newRow("missing email") << storedWith(R"(,"email":"e@x.org")", "") << false;
        QTest::newRow("missing accessToken") << storedWith(R"("accessToken":"a",)", "") << false;
        QTest::newRow("missing userID")
            << storedWith("\"userID\":\"" + idUpper + "\",", "") << false;
        QTest::newRow("null email") << storedWith(R"("e@x.org")", "null") << false;
        QTest::newRow("expiry as text") << storedWith("794136600.25", R"("794136600.25")") << false;
        QTest::newRow("user id not a UUID") << storedWith(idUpper, "desk-user") << false;
        QTest::newRow("array") << QByteArray("[" + validStored + "]") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void readsWhatIsStored() {
        QFETCH(QByteArray, json);
        QFETCH(bool, loads);
        const auto session = CloudSession::fromStoredJson(json);
        QCOMPARE(session.has_value(), loads);
        if (loads) {
            QCOMPARE(session->userID, testUserID);
            QCOMPARE(session->expiresAt.toSecsSinceEpoch(), 978307200 + 794136600);
        }
    }
};

class CloudErrorTests : public QObject {
    Q_OBJECT
private slots:
    void describesEveryCase_data() {
        QTest::addColumn<CloudError>("error");
        QTest::addColumn<QString>("description");
        QTest::newRow("server with message")
            << CloudError::server(500, "database is down") << "database is down";
        QTest::newRow("server without message")
            << CloudError::server(502, QString()) << "The server answered 502.";
        QTest::newRow("network") << CloudError::network("Connection refused")
                                 << "Connection refused";
        QTest::newRow("wrong credentials") << CloudError::wrongCredentials()
                                           << "That email and password combination did not work.";
        QTest::newRow("email not confirmed") << CloudError::emailNotConfirmed()
                                             << "Confirm your email first. Check your inbox for "
                                                "the link we sent when you signed up.";
        QTest::newRow("account exists")
            << CloudError::accountExists()
            << "There's already an account for that email. Sign in with it instead.";
        QTest::newRow("signed out")
            << CloudError::signedOut() << "Your session ended. Please sign in again.";
    }
    void describesEveryCase() {
        QFETCH(CloudError, error);
        QFETCH(QString, description);
        QCOMPARE(error.description(), description);
        QCOMPARE(QString::fromUtf8(error.what()), description);
        QCOMPARE(describeError(error), description);
    }

    void describesOtherFailures() {
        QCOMPARE(describeError(DecodingError("signed_in_at: Bad timestamp")),
                 QStringLiteral("signed_in_at: Bad timestamp"));
        QCOMPARE(describeError(Cancelled()), QString());
        QCOMPARE(describeError(std::runtime_error("disk full")), QStringLiteral("disk full"));
    }
};

class RequestConventionTests : public QObject {
    Q_OBJECT
private slots:
    void parsesErrorBodies_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<CloudError>("expected");
        QTest::newRow("invalid_credentials")
            << 400 << QByteArray(R"({"code":400,"error_code":"invalid_credentials","msg":"x"})")
            << CloudError::wrongCredentials();
        QTest::newRow("invalid_grant, credentials in any case")
            << 400
            << QByteArray(R"({"error_code":"invalid_grant","msg":"Invalid login CREDENTIALS"})")
            << CloudError::wrongCredentials();
        QTest::newRow("invalid_grant in error, credentials in description")
            << 400
            << QByteArray(
                   R"({"error":"invalid_grant","error_description":"Invalid login credentials"})")
            << CloudError::wrongCredentials();
        QTest::newRow("invalid_grant without credentials")
            << 400
            << QByteArray(
                   R"({"error":"invalid_grant","error_description":"Refresh Token Not Found"})")
            << CloudError::server(400, "Refresh Token Not Found");
        QTest::newRow("email_not_confirmed")
            << 400
            << QByteArray(R"({"error_code":"email_not_confirmed","msg":"Email not confirmed"})")
            << CloudError::emailNotConfirmed();
        QTest::newRow("user_already_exists")
            << 422 << QByteArray(R"({"error_code":"user_already_exists"})")
            << CloudError::accountExists();
        QTest::newRow("email_exists")
            << 422 << QByteArray(R"({"error_code":"email_exists"})") << CloudError::accountExists();
        QTest::newRow("code from error when error_code is not text")
            << 400 << QByteArray(R"({"error_code":7,"error":"email_not_confirmed"})")
            << CloudError::emailNotConfirmed();
        QTest::newRow("msg before the other messages")
            << 400
            << QByteArray(
                   R"({"msg":"first","error_description":"second","message":"third","error":"fourth"})")
            << CloudError::server(400, "first");
        QTest::newRow("non-text msg skipped")
            << 409 << QByteArray(R"({"msg":null,"code":"23505","message":"duplicate key"})")
            << CloudError::server(409, "duplicate key");
        QTest::newRow("not JSON") << 502 << QByteArray("<html>Bad gateway</html>")
                                  << CloudError::server(502, QString());
    }
    void parsesErrorBodies() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(CloudError, expected);
        const CloudError error = CloudClient::parseErrorBody(status, body);
        QCOMPARE(error.description(), expected.description());
        QVERIFY(error == expected);
    }

    void buildsBackendAndWebsiteURLs_data() {
        QTest::addColumn<QString>("base");
        QTest::newRow("origin") << "https://backend.example.com";
        QTest::newRow("origin with slash") << "https://backend.example.com/";
    }
    void buildsBackendAndWebsiteURLs() {
        QFETCH(QString, base);
        QNetworkAccessManager network;
        CloudClient client(&network, std::make_shared<MemorySessionStore>(),
                           {QUrl(base), QUrl(base), QString::fromLatin1(testApiKey)});
        QCOMPARE(client.authURL("token").toString(),
                 QStringLiteral("https://backend.example.com/auth/v1/token"));
        QCOMPARE(client.restURL("rpc/delete_account").toString(),
                 QStringLiteral("https://backend.example.com/rest/v1/rpc/delete_account"));
        QCOMPARE(client.websiteURL("guides/host-notifications").toString(),
                 QStringLiteral("https://backend.example.com/guides/host-notifications"));
    }

    void encodesRestQueries_data() {
        QTest::addColumn<QueryItems>("items");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("plus in a timestamp offset")
            << QueryItems{{"signed_in_at", "gte.2026-03-01T08:00:00+01:00"}}
            << QByteArray("signed_in_at=gte.2026-03-01T08:00:00%2B01:00");
        QTest::newRow("percent that looks like an escape")
            << QueryItems{{"search_text", "ilike.%4a b%"}}
            << QByteArray("search_text=ilike.%254a%20b%25");
        QTest::newRow("delimiters in a value")
            << QueryItems{{"note", "a&b=c#d"}} << QByteArray("note=a%26b%3Dc%23d");
        QTest::newRow("PostgREST syntax stays readable")
            << QueryItems{{"select", "*"},
                          {"order", "signed_in_at.desc"},
                          {"signed_out_at", "is.null"},
                          {"id", "eq.6f1c2b3a-4d5e-4f60-8a7b-9c0d1e2f3a4b"}}
            << QByteArray("select=*&order=signed_in_at.desc&signed_out_at=is.null"
                          "&id=eq.6f1c2b3a-4d5e-4f60-8a7b-9c0d1e2f3a4b");
        QTest::newRow("no items") << QueryItems{} << QByteArray();
    }
    void encodesRestQueries() {
        QFETCH(QueryItems, items);
        QFETCH(QByteArray, encoded);
        QNetworkAccessManager network;
        CloudClient client(&network, std::make_shared<MemorySessionStore>(),
                           {QUrl("https://b.example.com"), QUrl("https://w.example.com"),
                            QString::fromLatin1(testApiKey)});
        const QUrl url = client.restQueryURL("visitors", items);
        QCOMPARE(url.path(), QStringLiteral("/rest/v1/visitors"));
        QCOMPARE(url.query(QUrl::FullyEncoded).toLatin1(), encoded);
        // What the server decodes is exactly what was asked for.
        const QUrlQuery decoded(url.query(QUrl::FullyEncoded));
        const auto pairs = decoded.queryItems(QUrl::FullyDecoded);
        QCOMPARE(pairs.size(), items.size());
        for (qsizetype i = 0; i < items.size(); ++i)
            QCOMPARE(pairs[i], items[i]);
    }
};

class CancellationTests : public QObject {
    Q_OBJECT
private slots:

    void cancelWakesASleeper() {
        CancellationSource source;
        QTimer::singleShot(50, [source] { source.cancel(); });
        QElapsedTimer timer;
        timer.start();
        const auto outcome = outcomeOf(sleepFor(std::chrono::seconds(30), source.token()));
        QVERIFY(outcome.cancelled);
        QVERIFY(timer.elapsed() < 5000);
    }

    void cancelledTokenFailsAtOnce() {
        CancellationSource source;
        source.cancel();
        QVERIFY(outcomeOf(sleepFor(std::chrono::seconds(30), source.token())).cancelled);

        int calls = 0;
        QObject context;
        source.token().onCancel(&context, [&calls] { ++calls; });
        QCOMPARE(calls, 1);
    }
};

GW_TEST(CloudSessionTests)
GW_TEST(CloudErrorTests)
GW_TEST(RequestConventionTests)
GW_TEST(CancellationTests)

#include "CloudSessionTests.moc"
