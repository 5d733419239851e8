#pragma once

#include "cloud/CloudClient.h"
#include "support/FakeHttpServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QTest>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

// How a task ended: its value, a CloudError, Cancelled, or some other error's text.
template <typename T> struct Outcome {
    std::optional<T> value;
    std::optional<CloudError> error;
    bool cancelled = false;
    QString otherError;
    bool succeeded() const { return value.has_value(); }
};

template <> struct Outcome<void> {
    bool value = false;
    std::optional<CloudError> error;
    bool cancelled = false;
    QString otherError;
    bool succeeded() const { return value; }
};

// Runs the task to its end, catching what it throws, so a test can inspect the result
// (a QCoro::waitFor on a failing task would never return).
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
    } catch (const Cancelled &) {
        outcome.cancelled = true;
    } catch (const std::exception &error) {
        outcome.otherError = QString::fromStdString(error.what());
    }
    co_return outcome;
}

template <typename T> Outcome<T> outcomeOf(QCoro::Task<T> task) {
    return QCoro::waitFor(capture(std::move(task)));
}

// Remembers every request handed to the network layer, so tests can read what the
// server cannot see (the transfer time-out).
class RecordingNetworkAccessManager : public QNetworkAccessManager {
public:
    QList<QNetworkRequest> sent;
    QNetworkRequest sentTo(const QString &path) const {
        for (const auto &request : sent)
            if (request.url().path() == path)
                return request;
        return {};
    }

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

inline CloudSession makeSession(const QString &accessToken, qint64 secondsLeft,
                                const QString &refreshToken = QStringLiteral("refresh-1")) {
    return CloudSession{accessToken, refreshToken, fixedNow().addSecs(secondsLeft), testUserID,
                        QStringLiteral("desk@example.com")};
}

inline QByteArray tokenBody(const QString &accessToken, const QString &refreshToken,
                            int expiresIn = 3600) {
    return QJsonDocument(QJsonObject{
                             {"access_token", accessToken},
                             {"refresh_token", refreshToken},
                             {"expires_in", expiresIn},
                             {"token_type", "bearer"},
                             {"user", QJsonObject{{"id", testUserID.toString(QUuid::WithoutBraces)},
                                                  {"email", "desk@example.com"}}},
                         })
        .toJson(QJsonDocument::Compact);
}

// A client on the fake server, with a memory store and the fixed clock.
struct ClientFixture {
    FakeHttpServer server;
    RecordingNetworkAccessManager network;
    std::shared_ptr<MemorySessionStore> store = std::make_shared<MemorySessionStore>();
    std::unique_ptr<CloudClient> client;

    explicit ClientFixture(std::optional<CloudSession> stored = std::nullopt) {
        store->stored = stored;
        // The website's endpoints are served by the same fake server.
        const CloudClient::Config config{server.url(), server.url(),
                                         QString::fromLatin1(testApiKey)};
        client = std::make_unique<CloudClient>(&network, store, config);
        client->setNow(fixedNow);
    }
    ~ClientFixture() { client.reset(); }

    // Lets the event loop run until `done` holds or the time is up.
    static bool settle(const std::function<bool()> &done, int timeoutMs = 5000) {
        return QTest::qWaitFor(done, timeoutMs);
    }
};
