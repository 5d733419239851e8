#include "FakeDeskBackend.h"

#include "model/Records.h"

#include <QJsonDocument>
#include <algorithm>

namespace {
FakeHttpServer::Reply json(int status, const QJsonValue &value) {
    const QByteArray body = value.isArray()
                                ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    return FakeHttpServer::Reply::json(status, body);
}

QJsonArray toArray(const QList<QJsonObject> &objects) {
    QJsonArray array;
    for (const QJsonObject &object : objects)
        array.append(object);
    return array;
}

QString queryValue(const FakeHttpServer::Request &request, const QString &key) {
    return request.query().queryItemValue(key, QUrl::FullyDecoded);
}

QString idFilter(const FakeHttpServer::Request &request) {
    return queryValue(request, QStringLiteral("id")).mid(3); // after "eq."
}
} // namespace

FakeDeskBackend::FakeDeskBackend(QObject *parent) : QObject(parent) {
    server.setHandler([this](const FakeHttpServer::Request &request) { return handle(request); });
}

CloudClient::Config FakeDeskBackend::config() const {
    return {server.url(), server.url(),
            QStringLiteral("sb_publishable_test-key-0123456789abcdef012")};
}

CloudSession FakeDeskBackend::session() const {
    return {QStringLiteral("access-token"), QStringLiteral("refresh-token"),
            QDateTime::currentDateTimeUtc().addSecs(3600), userID, email};
}

QJsonObject &FakeDeskBackend::addVisitor(const QString &name, const QDateTime &signedInAt,
                                         std::optional<QString> host,
                                         std::optional<QString> device) {
    QJsonObject row{{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
                    {"visitor_name", name},
                    {"host_name", host ? QJsonValue(*host) : QJsonValue()},
                    {"answers", QJsonArray()},
                    {"signed_in_at", formatTimestamp(signedInAt)},
                    {"signed_out_at", QJsonValue()},
                    {"list_name", QJsonValue()},
                    {"device_name", device ? QJsonValue(*device) : QJsonValue()}};
    visitors.append(row);
    return visitors.last();
}

QJsonObject &FakeDeskBackend::addInvite(const QString &name, std::optional<QString> visitDate,
                                        QJsonArray answers) {
    QJsonObject invite{{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
                       {"token", QUuid::createUuid().toString(QUuid::Id128)},
                       {"visitor_name", name},
                       {"visitor_email", name.toLower().remove(' ') + "@example.org"},
                       {"answers", answers},
                       {"visit_date", visitDate ? QJsonValue(*visitDate) : QJsonValue()},
                       {"visit_time", QJsonValue()},
                       {"note", QJsonValue()},
                       {"created_at", formatTimestamp(QDateTime::currentDateTimeUtc())},
                       {"used_at", QJsonValue()}};
    invites.prepend(invite);
    return invites.first();
}

QList<QJsonObject> FakeDeskBackend::onSite() const {
    QList<QJsonObject> rows;
    for (const QJsonObject &row : visitors)
        if (row.value("signed_out_at").isNull())
            rows.append(row);
    std::sort(rows.begin(), rows.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value("signed_in_at").toString() > b.value("signed_in_at").toString();
    });
    return rows;
}

QList<FakeHttpServer::Request> FakeDeskBackend::requestsTo(const QByteArray &method,
                                                           const QString &path) const {
    QList<FakeHttpServer::Request> matching;
    for (const auto &request : server.requestsTo(path))
        if (request.method == method)
            matching.append(request);
    return matching;
}

FakeHttpServer::Reply FakeDeskBackend::tokenReply() const {
    return json(200, QJsonObject{{"access_token", "access-token"},
                                 {"refresh_token", "refresh-token"},
                                 {"expires_in", 3600},
                                 {"user", QJsonObject{{"id", userID.toString(QUuid::WithoutBraces)},
                                                      {"email", email}}}});
}

FakeHttpServer::Reply FakeDeskBackend::visitorsGet(const FakeHttpServer::Request &request) const {
    if (failVisitorReads)
        return json(failVisitorReads, QJsonObject{{"message", failMessage}});
    QList<QJsonObject> rows;
    const QStringList since =
        request.query().allQueryItemValues("signed_in_at", QUrl::FullyDecoded);
    const bool onSiteOnly = queryValue(request, "signed_out_at") == QLatin1String("is.null");
    for (const QJsonObject &row : visitors) {
        if (onSiteOnly && !row.value("signed_out_at").isNull())
            continue;
        bool inRange = true;
        for (const QString &filter : since) {
            const auto bound = parseTimestamp(filter.mid(4));
            const auto at = parseTimestamp(row.value("signed_in_at").toString());
            if (filter.startsWith("gte.") && bound && at && *at < *bound)
                inRange = false;
        }
        if (inRange)
            rows.append(row);
    }
    if (request.header("Prefer") == "count=exact") {
        FakeHttpServer::Reply reply = json(200, QJsonArray());
        reply.headers.append({"Content-Range", "0-0/" + QByteArray::number(rows.size())});
        return reply;
    }
    std::sort(rows.begin(), rows.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value("signed_in_at").toString() > b.value("signed_in_at").toString();
    });
    return json(200, toArray(rows));
}

FakeHttpServer::Reply FakeDeskBackend::handle(const FakeHttpServer::Request &request) {
    const QString path = request.path();
    const QJsonObject body = QJsonDocument::fromJson(request.body).object();

    if (path == "/auth/v1/token") {
        if (queryValue(request, "grant_type") == QLatin1String("refresh_token"))
            return tokenReply();
        if (body.value("email").toString() == email &&
            body.value("password").toString() == password)
            return tokenReply();
        return json(400, QJsonObject{{"error_code", "invalid_credentials"},
                                     {"msg", "Invalid login credentials"}});
    }
    if (path == "/auth/v1/signup") {
        if (signUpNeedsConfirmation)
            return json(200, QJsonObject{{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
                                         {"email", body.value("email")}});
        return tokenReply();
    }
    if (path == "/auth/v1/recover" || path == "/auth/v1/logout")
        return json(200, QJsonObject());

    if (path == "/rest/v1/visitors") {
        if (request.method == "GET")
            return visitorsGet(request);
        if (request.method == "POST") {
            QJsonObject &row = addVisitor(body.value("visitor_name").toString(),
                                          *parseTimestamp(body.value("signed_in_at").toString()));
            row["host_name"] = body.value("host_name");
            row["answers"] = body.value("answers");
            row["device_name"] = body.value("device_name");
            return json(201, QJsonArray{row});
        }
        if (request.method == "PATCH") {
            const QString id = idFilter(request);
            if (failSignOutOf.contains(id))
                return json(500, QJsonObject{{"message", "That sign-out was refused."}});
            for (QJsonObject &row : visitors)
                if (row.value("id").toString() == id && row.value("signed_out_at").isNull())
                    row["signed_out_at"] = body.value("signed_out_at");
            return FakeHttpServer::Reply::json(204, {});
        }
    }
    if (path == "/rest/v1/kiosk_settings")
        return json(200, kioskSettings ? QJsonArray{*kioskSettings} : QJsonArray());
    if (path == "/rest/v1/notification_settings")
        return json(200, QJsonArray());
    if (path == "/rest/v1/invites") {
        if (request.method == "GET") {
            if (failInviteReads)
                return json(500, QJsonObject{{"message", "Invites are unavailable."}});
            const bool pendingOnly = queryValue(request, "used_at") == QLatin1String("is.null");
            QList<QJsonObject> rows;
            for (const QJsonObject &invite : invites)
                if (!pendingOnly || invite.value("used_at").isNull())
                    rows.append(invite);
            return json(200, toArray(rows));
        }
        if (request.method == "PATCH") {
            const QString id = idFilter(request);
            for (QJsonObject &invite : invites)
                if (invite.value("id").toString() == id)
                    invite["used_at"] = body.value("used_at");
            return FakeHttpServer::Reply::json(204, {});
        }
    }
    return json(404, QJsonObject{{"message", "No route for " + path}});
}
