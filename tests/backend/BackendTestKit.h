#pragma once

// Shorthands shared by the backend's integration tests.

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

namespace kit {

inline QByteArray compact(const QJsonObject &o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}
inline QByteArray compact(const QJsonArray &a) {
    return QJsonDocument(a).toJson(QJsonDocument::Compact);
}

inline HeaderList withPrefer(HeaderList headers, const QByteArray &prefer) {
    headers.append({"Prefer", prefer});
    return headers;
}

// An authorised REST call as the desk makes it.
inline HttpReply rest(const BackendInfo &info, const QString &token, const QByteArray &method,
                      const QString &pathAndQuery, const QByteArray &body = {},
                      const QByteArray &prefer = {}) {
    HeaderList headers = deskHeaders(info, token);
    if (!prefer.isEmpty())
        headers.append({"Prefer", prefer});
    return sendRequest(method,
                       QUrl(info.url.toString() + QStringLiteral("/rest/v1/") + pathAndQuery), body,
                       headers);
}

// An unauthenticated auth call (token, signup, recover).
inline HttpReply auth(const BackendInfo &info, const QString &pathAndQuery, const QJsonObject &body,
                      const HeaderList &extra = {}) {
    HeaderList headers{{"apikey", info.apikey.toUtf8()}, {"Content-Type", "application/json"}};
    headers.append(extra);
    return sendRequest("POST",
                       QUrl(info.url.toString() + QStringLiteral("/auth/v1/") + pathAndQuery),
                       compact(body), headers);
}

inline HttpReply signIn(const BackendInfo &info, const QString &email, const QString &password) {
    return auth(info, QStringLiteral("token?grant_type=password"),
                {{QStringLiteral("email"), email}, {QStringLiteral("password"), password}});
}

inline HttpReply refresh(const BackendInfo &info, const QString &refreshToken) {
    return auth(info, QStringLiteral("token?grant_type=refresh_token"),
                {{QStringLiteral("refresh_token"), refreshToken}});
}

inline QByteArray base64Url(const QByteArray &data) {
    return data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

// A JWT with the given header and claims, signed with HS256 under `secret` (or with the
// signature part given verbatim when `signature` is set).
inline QString makeToken(const QJsonObject &header, const QJsonObject &claims,
                         const QByteArray &secret,
                         const std::optional<QByteArray> &signature = std::nullopt) {
    const QByteArray input = base64Url(compact(header)) + "." + base64Url(compact(claims));
    const QByteArray sig = signature ? *signature
                                     : base64Url(QMessageAuthenticationCode::hash(
                                           input, secret, QCryptographicHash::Sha256));
    return QString::fromLatin1(input + "." + sig);
}

// Claims like the server's own for a user, expiring `lifetime` seconds from now.
inline QJsonObject claimsFor(const QUuid &user, qint64 lifetime = 3600) {
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    return {{QStringLiteral("aud"), QStringLiteral("authenticated")},
            {QStringLiteral("role"), QStringLiteral("authenticated")},
            {QStringLiteral("sub"), user.toString(QUuid::WithoutBraces)},
            {QStringLiteral("iat"), now - 10},
            {QStringLiteral("exp"), now + lifetime}};
}

inline QJsonObject hs256Header() {
    return {{QStringLiteral("alg"), QStringLiteral("HS256")},
            {QStringLiteral("typ"), QStringLiteral("JWT")}};
}

// The claims of a token, read without checking it.
inline QJsonObject decodeClaims(const QString &token) {
    const QList<QString> parts = token.split(QLatin1Char('.'));
    if (parts.size() != 3)
        return {};
    return QJsonDocument::fromJson(
               QByteArray::fromBase64(parts[1].toLatin1(), QByteArray::Base64UrlEncoding))
        .object();
}

inline QString uuidText(const QUuid &id) {
    return id.toString(QUuid::WithoutBraces);
}

inline int sqlCount(const BackendInfo &info, const QString &sql) {
    return runSql(info, sql).trimmed().toInt();
}

} // namespace kit
