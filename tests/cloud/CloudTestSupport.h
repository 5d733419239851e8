#pragma once

#include "cloud/CloudClient.h"
#include "support/FakeHttpServer.h"

#include <QNetworkAccessManager>
#include <qcoro/qcorotask.h>

Q_DECLARE_METATYPE(CloudError)

// How a task ended: its value (true for a void task), a CloudError, or another error's text
// ("cancelled" for Cancelled).
template <typename T> struct Outcome {
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    std::optional<CloudError> error;
    QString otherError;
    bool succeeded() const { return value.has_value(); }
};

// Runs the task to its end, catching what it throws (a QCoro::waitFor on a failing task
// would never return).
template <typename T> QCoro::Task<Outcome<T>> capture(QCoro::Task<T> task) {
    Outcome<T> outcome;
    try {
        if constexpr (std::is_void_v<T>) {
            co_await task;
            outcome.value = true;
        } else {
            outcome.value = co_await task;
        }
    } catch (const CloudError &error) {
        outcome.error = error;
    } catch (const std::exception &error) {
        outcome.otherError = QString::fromStdString(error.what());
    }
    co_return outcome;
}

template <typename T> Outcome<T> outcomeOf(QCoro::Task<T> task) {
    return QCoro::waitFor(capture(std::move(task)));
}

// Remembers every request handed to the network layer: the server cannot see the
// transfer time-out.
class RecordingNetworkAccessManager : public QNetworkAccessManager {
public:
    QList<QNetworkRequest> sent;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override {
        sent.append(request);
        return QNetworkAccessManager::createRequest(op, request, outgoingData);
    }
};

inline const QUuid testUserID = QUuid::fromString(u"6f1c2b3a-4d5e-4f60-8a7b-9c0d1e2f3a4b");
inline const QByteArray testApiKey = "sb_publishable_test-key-0123456789abcdefghijklm";

// A fixed moment, so token lifetimes are exact.
inline QDateTime fixedNow() {
    return QDateTime(QDate(2026, 3, 2), QTime(9, 30), QTimeZone::utc());
}

inline CloudSession makeSession(const QString &accessToken, qint64 secondsLeft) {
    return CloudSession{accessToken, QStringLiteral("refresh-1"), fixedNow().addSecs(secondsLeft),
                        testUserID, QStringLiteral("desk@example.com")};
}

inline QByteArray tokenBody(const QString &accessToken, const QString &refreshToken,
                            int expiresIn = 3600) {
    return QStringLiteral(R"({"access_token":"%1","refresh_token":"%2","expires_in":%3,)"
                          R"("user":{"id":"%4","email":"desk@example.com"}})")
        .arg(accessToken, refreshToken, QString::number(expiresIn),
             testUserID.toString(QUuid::WithoutBraces))
        .toUtf8();
}

inline QString tokenOf(const std::optional<CloudSession> &session) {
    return session ? session->accessToken : QString();
}

// A client on the fake server (which serves the website too), with a memory store and the
// fixed clock. The backend base ends in a slash and the website's does not: both must work.
struct ClientFixture {
    FakeHttpServer server;
    RecordingNetworkAccessManager network;
    std::shared_ptr<MemorySessionStore> store = std::make_shared<MemorySessionStore>();
    std::unique_ptr<CloudClient> client;

    explicit ClientFixture(std::optional<CloudSession> stored = std::nullopt) {
        store->stored = stored;
        client = std::make_unique<CloudClient>(
            &network, store,
            CloudClient::Config{server.url().toString() + '/', server.url(),
                                QString::fromLatin1(testApiKey)});
        client->setNow(fixedNow);
    }
};
