#pragma once

// Shorthands for the tests that talk to the local backend over HTTP alone (the backend's
// and the website's); see support/BackendFixture.h.

#include "support/BackendFixture.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QTest>

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

// A JWT with the given header and claims, signed with HS256 under `secret` (or with the
// signature part given verbatim when `signature` is set).
inline QString signToken(const QJsonObject &header, const QJsonObject &claims,
                         const QByteArray &secret,
                         const std::optional<QByteArray> &signature = std::nullopt) {
    const QByteArray input = base64Url(compact(header)) + "." + base64Url(compact(claims));
    return QString::fromLatin1(input + "." +
                               (signature ? *signature
                                          : base64Url(QMessageAuthenticationCode::hash(
                                                input, secret, QCryptographicHash::Sha256))));
}

// The claims of a token, read without checking it.
inline QJsonObject decodeClaims(const QString &token) {
    const QByteArray payload = token.section(QLatin1Char('.'), 1, 1).toLatin1();
    return QJsonDocument::fromJson(QByteArray::fromBase64(payload, QByteArray::Base64UrlEncoding))
        .object();
}

// The .eml files in the outbox addressed to `address`, oldest first.
inline QStringList mailsTo(const BackendInfo &info, const QString &address) {
    QStringList mails;
    for (const auto &file :
         QDir(info.outbox)
             .entryInfoList({QStringLiteral("*.eml")}, QDir::Files, QDir::Time | QDir::Reversed)) {
        QFile f(file.absoluteFilePath());
        const QString text = f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : "";
        if (text.contains(QStringLiteral("\r\nTo: ") + address + QStringLiteral("\r\n")))
            mails.append(text);
    }
    return mails;
}

// Saves the account's sign-in form `fields` (with no employees, and `extra` columns) as
// the desk does.
inline HttpReply saveKioskSettings(const BackendInfo &info, const TestAccount &account,
                                   const QJsonArray &fields, QJsonObject extra = {}) {
    extra.insert(u"owner_id"_s, uuidText(account.userId));
    extra.insert(u"fields"_s, fields);
    extra.insert(u"employees"_s, QJsonArray{});
    return rest(info, account.accessToken, "POST", u"kiosk_settings?on_conflict=owner_id"_s,
                compact(extra), "resolution=merge-duplicates,return=minimal");
}

inline int sqlCount(const BackendInfo &info, const QString &sql) {
    return runSql(info, sql).trimmed().toInt();
}

} // namespace kit
