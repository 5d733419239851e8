#pragma once

// The desk's cloud client on the local backend: where it points and the session of a
// fresh account.

#include "cloud/CloudClient.h"
#include "support/BackendFixture.h"

#include <QDateTime>

// The session a desk holds just after `account` signed in.
inline CloudSession sessionOf(const TestAccount &account) {
    return CloudSession{account.accessToken, account.refreshToken,
                        QDateTime::currentDateTimeUtc().addSecs(1800), account.userId,
                        account.email};
}

// A client configuration whose backend and website are both the local backend.
inline CloudClient::Config configOf(const BackendInfo &info) {
    return CloudClient::Config{info.url, info.url, info.apikey};
}
