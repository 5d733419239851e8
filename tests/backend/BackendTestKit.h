#pragma once

// Shorthands shared by the backend's integration tests (see support/BackendFixture.h).

#include "support/BackendFixture.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QTest>

// Skips the calling test function when the fixture is not running.
#define GW_REQUIRE_BACKEND(info)                                                                   \
    do {                                                                                           \
        if (!(info))                                                                               \
            QSKIP("needs the backend fixture (GREETWELL_TEST_BACKEND_INFO)");                      \
    } while (false)

using namespace Qt::StringLiterals;

namespace kit {

inline QByteArray compact(const QJsonObject &o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

inline QString uuidText(const QUuid &id) {
    return id.toString(QUuid::WithoutBraces);
}

// A string member of a reply's JSON object.
inline QString field(const HttpReply &reply, const char *key) {
    return reply.json().object().value(QLatin1String(key)).toString();
}

// An unauthenticated auth call (token, signup, recover).
inline HttpReply auth(const BackendInfo &info, const QString &pathAndQuery, const QJsonObject &body,
                      const HeaderList &extra = {}) {
    HeaderList headers{{"apikey", info.apikey.toUtf8()}, {"Content-Type", "application/json"}};
    headers.append(extra);
    return sendRequest("POST", info.authUrl(pathAndQuery), compact(body), headers);
}

inline HttpReply signIn(const BackendInfo &info, const QString &email, const QString &password) {
    return auth(info, u"token?grant_type=password"_s,
                {{u"email"_s, email}, {u"password"_s, password}});
}

inline HttpReply refresh(const BackendInfo &info, const QString &refreshToken) {
    return auth(info, u"token?grant_type=refresh_token"_s, {{u"refresh_token"_s, refreshToken}});
}

inline QByteArray base64Url(const QByteArray &data) {
    return data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

// The claims of a token, read without checking it.
inline QJsonObject decodeClaims(const QString &token) {
    const QByteArray payload = token.section(QLatin1Char('.'), 1, 1).toLatin1();
    return QJsonDocument::fromJson(QByteArray::fromBase64(payload, QByteArray::Base64UrlEncoding))
        .object();
}

inline int sqlCount(const BackendInfo &info, const QString &sql) {
    return runSql(info, sql).trimmed().toInt();
}

} // namespace kit
