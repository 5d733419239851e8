#pragma once

// Shorthands for the website's integration tests (invite API, pages, demo data).

#include "support/BackendFixture.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QTest>

#define GW_WEBSITE_NEEDS_BACKEND(info)                                                             \
    if (!(info))                                                                                   \
    QSKIP("needs GREETWELL_TEST_BACKEND_INFO")

namespace web {

inline QByteArray compact(const QJsonObject &o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

inline QString uuidText(const QUuid &id) {
    return id.toString(QUuid::WithoutBraces);
}

// A website API call as the desk makes it (apikey, bearer token unless empty, JSON body).
inline HttpReply api(const BackendInfo &info, const QString &token, const QString &path,
                     const QByteArray &body = {}) {
    HeaderList headers = deskHeaders(info, token);
    if (token.isEmpty())
        headers.removeIf([](const auto &h) { return h.first == "Authorization"; });
    return sendRequest("POST", QUrl(info.url.toString() + path), body, headers);
}

// Saves the sign-in form (plain text fields labelled by slot) and place name as the desk does.
inline HttpReply saveForm(const BackendInfo &info, const TestAccount &account,
                          const QMap<int, QString> &labels, const QString &placeName) {
    QJsonArray fields;
    for (auto it = labels.begin(); it != labels.end(); ++it)
        fields.append(QJsonObject{{"slot", it.key()},
                                  {"label", it.value()},
                                  {"type", "Plain Text"},
                                  {"required", it.key() == 0},
                                  {"employee_list", false}});
    const QJsonObject row{{"owner_id", uuidText(account.userId)},
                          {"fields", fields},
                          {"employees", QJsonArray{}},
                          {"place_name", placeName}};
    return rest(info, account.accessToken, "POST", "kiosk_settings?on_conflict=owner_id",
                compact(row), "resolution=merge-duplicates,return=minimal");
}

inline QJsonObject answer(int slot, const QString &value) {
    return {{QStringLiteral("slot"), slot}, {QStringLiteral("value"), value}};
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

// An access token for `user` signed with `secret`, expiring `lifetime` seconds from now;
// alg "none" leaves the signature empty.
inline QString forgeToken(const QUuid &user, const QByteArray &secret, qint64 lifetime = 3600,
                          const QString &alg = QStringLiteral("HS256")) {
    const auto b64 = [](const QJsonObject &o) {
        return compact(o).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    };
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QByteArray input = b64({{"alg", alg}, {"typ", "JWT"}}) + "." +
                             b64({{"aud", "authenticated"},
                                  {"role", "authenticated"},
                                  {"sub", uuidText(user)},
                                  {"session_id", uuidText(QUuid::createUuid())},
                                  {"iat", now - 7200},
                                  {"exp", now + lifetime}});
    const QByteArray signature =
        alg == QStringLiteral("none")
            ? QByteArray()
            : QMessageAuthenticationCode::hash(input, secret, QCryptographicHash::Sha256)
                  .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    return QString::fromLatin1(input + "." + signature);
}

// A browser's form post, every reserved byte escaped.
inline HttpReply postForm(const QUrl &url, const QList<QPair<QString, QString>> &fields) {
    QByteArray body;
    for (const auto &[key, value] : fields)
        body += (body.isEmpty() ? "" : "&") + QUrl::toPercentEncoding(key) + "=" +
                QUrl::toPercentEncoding(value);
    return sendRequest("POST", url, body, {{"Content-Type", "application/x-www-form-urlencoded"}});
}

} // namespace web
