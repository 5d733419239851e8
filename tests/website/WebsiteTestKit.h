#pragma once

// Shorthands for the website's integration tests (invite API, pages, demo data).

#include "support/BackendKit.h"

#include <QRegularExpression>

namespace web {

using kit::compact;
using kit::mailsTo;
using kit::uuidText;

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
    return kit::saveKioskSettings(info, account, fields, {{"place_name", placeName}});
}

inline QJsonObject answer(int slot, const QString &value) {
    return {{QStringLiteral("slot"), slot}, {QStringLiteral("value"), value}};
}

// An access token for `user` signed with `secret`, expiring `lifetime` seconds from now;
// alg "none" leaves the signature empty.
inline QString forgeToken(const QUuid &user, const QByteArray &secret, qint64 lifetime = 3600,
                          const QString &alg = QStringLiteral("HS256")) {
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    return kit::signToken(
        {{"alg", alg}, {"typ", "JWT"}},
        {{"aud", "authenticated"},
         {"role", "authenticated"},
         {"sub", uuidText(user)},
         {"session_id", uuidText(QUuid::createUuid())},
         {"iat", now - 7200},
         {"exp", now + lifetime}},
        secret, alg == QStringLiteral("none") ? std::optional(QByteArray()) : std::nullopt);
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
