#pragma once

// Shared set-up of the tests against the local backend.

#include "cloud/CloudClient.h"
#include "support/BackendFixture.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

inline const QTimeZone &newYork() {
    static const QTimeZone zone("America/New_York");
    return zone;
}

inline QDateTime at(QDate date, QTime time) {
    return QDateTime(date, time, newYork());
}

inline CloudSession sessionOf(const TestAccount &account) {
    // Tokens live an hour; the tests are done long before.
    return CloudSession{account.accessToken, account.refreshToken,
                        QDateTime::currentDateTimeUtc().addSecs(1800), account.userId,
                        account.email};
}

// The local backend also serves the website's invite API.
inline CloudClient::Config configOf(const BackendInfo &backend) {
    return CloudClient::Config{backend.url, backend.url, backend.apikey};
}

// Counts the requests the client sends, so paging can be checked against the real server.
class CountingNetwork : public QNetworkAccessManager {
public:
    QList<QUrl> urls;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *data) override {
        urls.append(request.url());
        return QNetworkAccessManager::createRequest(op, request, data);
    }
};
