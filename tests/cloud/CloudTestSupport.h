#pragma once

#include "cloud/CloudClient.h"
#include "support/FakeHttpServer.h"
#include "support/Tasks.h"

#include <QNetworkAccessManager>

Q_DECLARE_METATYPE(CloudError)

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
