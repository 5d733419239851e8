#include "cloud/CloudSession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <cmath>

namespace {

// 2001-01-01T00:00:00Z, the reference date of the stored expiry.
constexpr qint64 referenceDateMSecs = 978307200000;

// One JSON value as text, escaped and formatted as QJsonDocument does it.
QByteArray jsonScalar(const QJsonValue &value) {
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

} // namespace

QByteArray CloudSession::toStoredJson() const {
    // QJsonObject would sort the keys; the stored form fixes their order, so write it here.
    const double expiresSeconds =
        double(expiresAt.toMSecsSinceEpoch() - referenceDateMSecs) / 1000.0;
    QByteArray json = "{";
    json += "\"accessToken\":" + jsonScalar(accessToken);
    json += ",\"refreshToken\":" + jsonScalar(refreshToken);
    json += ",\"expiresAt\":" + jsonScalar(expiresSeconds);
    json += ",\"userID\":" + jsonScalar(userID.toString(QUuid::WithoutBraces).toUpper());
    json += ",\"email\":" + jsonScalar(email);
    json += "}";
    return json;
}

std::optional<CloudSession> CloudSession::fromStoredJson(const QByteArray &json) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue accessToken = object.value(QLatin1String("accessToken"));
    const QJsonValue refreshToken = object.value(QLatin1String("refreshToken"));
    const QJsonValue expiresAt = object.value(QLatin1String("expiresAt"));
    const QJsonValue userID = object.value(QLatin1String("userID"));
    const QJsonValue email = object.value(QLatin1String("email"));
    if (!accessToken.isString() || !refreshToken.isString() || !expiresAt.isDouble() ||
        !userID.isString() || !email.isString())
        return std::nullopt;

    const QString idText = userID.toString();
    const QUuid id = QUuid::fromString(idText);
    if (idText.size() != 36 || id.isNull())
        return std::nullopt;
    const double seconds = expiresAt.toDouble();
    if (!std::isfinite(seconds) || std::abs(seconds) > 1e12)
        return std::nullopt;

    CloudSession session;
    session.accessToken = accessToken.toString();
    session.refreshToken = refreshToken.toString();
    session.expiresAt = QDateTime::fromMSecsSinceEpoch(
        referenceDateMSecs + qint64(std::llround(seconds * 1000.0)), QTimeZone::utc());
    session.userID = id;
    session.email = email.toString();
    return session;
}
