#pragma once

// Shorthands for the website's integration tests (invite API, pages, demo data).

#include "support/BackendFixture.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTest>

#define GW_WEBSITE_NEEDS_BACKEND(info)                                                             \
    do {                                                                                           \
        if (!(info))                                                                               \
            QSKIP("needs the backend fixture (GREETWELL_TEST_BACKEND_INFO)");                      \
    } while (false)

namespace web {

inline QByteArray compact(const QJsonObject &o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

inline QString uuidText(const QUuid &id) {
    return id.toString(QUuid::WithoutBraces);
}

// A fresh signed-in account; a failed sign-up is reported with the server's answer.
inline TestAccount newAccount(const BackendInfo &info) {
    try {
        return createTestAccount(info);
    } catch (const BackendFixtureError &e) {
        qWarning("%s", e.what());
        throw;
    }
}

inline QUrl siteUrl(const BackendInfo &info, const QString &path) {
    return QUrl(info.url.toString(QUrl::StripTrailingSlash) + path);
}

// A website API call as the desk makes it (apikey, bearer token, JSON body).
inline HttpReply api(const BackendInfo &info, const QString &token, const QString &path,
                     const QByteArray &body = {}) {
    HeaderList headers = deskHeaders(info, token);
    if (token.isEmpty())
        headers.removeIf([](const auto &h) { return h.first == "Authorization"; });
    return sendRequest("POST", siteUrl(info, path), body, headers);
}

inline HttpReply rest(const BackendInfo &info, const QString &token, const QByteArray &method,
                      const QString &pathAndQuery, const QByteArray &body = {},
                      const QByteArray &prefer = {}) {
    HeaderList headers = deskHeaders(info, token);
    if (!prefer.isEmpty())
        headers.append({"Prefer", prefer});
    return sendRequest(method, info.restUrl(pathAndQuery), body, headers);
}

// The account's invites as the desk reads them.
inline QJsonArray invitesOf(const BackendInfo &info, const QString &token,
                            const QString &filter = {}) {
    const HttpReply reply =
        rest(info, token, "GET",
             QStringLiteral("invites?select=id,token,visitor_name,visitor_email,answers,visit_date,"
                            "visit_time,note,created_at,used_at&order=created_at.desc") +
                 filter);
    return reply.json().array();
}

// Saves the sign-in form and place name as the desk's form settings do.
inline HttpReply saveForm(const BackendInfo &info, const TestAccount &account,
                          const QJsonArray &fields, const QString &placeName) {
    QJsonObject row{{QStringLiteral("owner_id"), uuidText(account.userId)},
                    {QStringLiteral("fields"), fields},
                    {QStringLiteral("employees"), QJsonArray{}}};
    if (!placeName.isEmpty())
        row.insert(QStringLiteral("place_name"), placeName);
    return rest(info, account.accessToken, "POST",
                QStringLiteral("kiosk_settings?on_conflict=owner_id"), compact(row),
                "resolution=merge-duplicates,return=minimal");
}

inline QJsonObject field(int slot, const QString &label, bool employeeList = false) {
    return {{QStringLiteral("slot"), slot},
            {QStringLiteral("label"), label},
            {QStringLiteral("type"), QStringLiteral("Plain Text")},
            {QStringLiteral("required"), slot == 0},
            {QStringLiteral("employee_list"), employeeList}};
}

inline QJsonObject answer(int slot, const QString &value) {
    return {{QStringLiteral("slot"), slot}, {QStringLiteral("value"), value}};
}

// The .eml files in the outbox addressed to `address`, oldest first.
inline QStringList mailsTo(const BackendInfo &info, const QString &address) {
    QStringList mails;
    QDir folder(info.outbox);
    const auto files =
        folder.entryInfoList({QStringLiteral("*.eml")}, QDir::Files, QDir::Time | QDir::Reversed);
    for (const auto &file : files) {
        QFile f(file.absoluteFilePath());
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(f.readAll());
        if (text.contains(QStringLiteral("\r\nTo: ") + address + QStringLiteral("\r\n")))
            mails.append(text);
    }
    return mails;
}

inline QByteArray base64Url(const QByteArray &data) {
    return data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

// An access token for `user` signed with `secret` under `alg`, expiring `lifetime` seconds
// from now ("none" leaves the signature empty).
inline QString forgeToken(const QUuid &user, const QByteArray &secret, qint64 lifetime = 3600,
                          const QString &alg = QStringLiteral("HS256")) {
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QJsonObject header{{QStringLiteral("alg"), alg}, {QStringLiteral("typ"), "JWT"}};
    const QJsonObject claims{{QStringLiteral("aud"), QStringLiteral("authenticated")},
                             {QStringLiteral("role"), QStringLiteral("authenticated")},
                             {QStringLiteral("sub"), uuidText(user)},
                             {QStringLiteral("session_id"), uuidText(QUuid::createUuid())},
                             {QStringLiteral("iat"), now - 7200},
                             {QStringLiteral("exp"), now + lifetime}};
    const QByteArray input = base64Url(compact(header)) + "." + base64Url(compact(claims));
    const QByteArray signature = alg == QStringLiteral("none")
                                     ? QByteArray()
                                     : base64Url(QMessageAuthenticationCode::hash(
                                           input, secret, QCryptographicHash::Sha256));
    return QString::fromLatin1(input + "." + signature);
}

// A GET that reports a redirect instead of following it.
inline HttpReply getWithoutRedirect(const QUrl &url) {
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(30000);
    QNetworkReply *reply = manager.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    HttpReply out;
    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    out.body = reply->readAll();
    for (const auto &[name, value] : reply->rawHeaderPairs())
        out.headers.insert(name.toLower(), value);
    reply->deleteLater();
    return out;
}

// A browser's form post: application/x-www-form-urlencoded, every reserved byte escaped.
inline HttpReply postForm(const QUrl &url, const QList<QPair<QString, QString>> &fields) {
    QByteArray body;
    for (const auto &[key, value] : fields)
        body += (body.isEmpty() ? "" : "&") + QUrl::toPercentEncoding(key) + "=" +
                QUrl::toPercentEncoding(value);
    return sendRequest("POST", url, body, {{"Content-Type", "application/x-www-form-urlencoded"}});
}

} // namespace web
