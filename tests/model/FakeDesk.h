#pragma once

// A desk wired to an in-process fake of the backend's REST tables: a real CloudClient
// with a signed-in session, an AppModel on it, and a FakeHttpServer answering from a
// small in-memory state the test shapes.

#include "cloud/CloudClient.h"
#include "model/AppModel.h"
#include "support/FakeHttpServer.h"
#include "support/Tasks.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QNetworkAccessManager>
#include <QSet>
#include <QTest>
#include <memory>

class FakeDesk {
public:
    using Reply = FakeHttpServer::Reply;

    FakeDesk() {
        auto store = std::make_shared<MemorySessionStore>();
        store->stored =
            CloudSession{"access-token", "refresh-token",
                         QDateTime::currentDateTimeUtc().addSecs(3600), userID, "desk@example.com"};
        server.setHandler([this](const FakeHttpServer::Request &request) {
            const QString route = routeOf(request);
            if (overrides.contains(route))
                return overrides.value(route);
            Reply reply = normalAnswer(route, request);
            reply.delayMs = delays.value(route);
            return reply;
        });
        CloudClient::Config config;
        config.backendBaseURL = config.websiteBaseURL = server.url();
        config.publishableKey = "test-key";
        cloud = std::make_unique<CloudClient>(&network, store, config);
        model = std::make_unique<AppModel>(cloud.get(), nullptr, nullptr);
        // A Wednesday morning in UTC; the week started on Sunday 2026-03-01.
        model->setClock(Clock{[] { return QDateTime(QDate(2026, 3, 4), QTime(10, 0), Qt::UTC); },
                              QTimeZone::utc(), QLocale(QLocale::English)});
    }

    FakeHttpServer server;
    QNetworkAccessManager network;
    std::unique_ptr<CloudClient> cloud;
    std::unique_ptr<AppModel> model; // after the client: goes first, so no task outlives it
    QUuid userID = QUuid::createUuid();

    QList<QJsonObject> visitors; // on site while signed_out_at is null
    DeskCounts counts{3, 2, 11};
    std::optional<QJsonObject> kioskRow, notifyRow;
    QMap<QString, Reply> overrides; // replaces the normal answer
    QMap<QString, int> delays;      // milliseconds before a normal answer
    QSet<QString> failingSignOuts;

    static QString routeOf(const FakeHttpServer::Request &request) {
        const bool count = request.query().queryItemValue("select") == "id";
        return (count ? "COUNT" : QString(request.method)) + ' ' + request.path().section('/', -1);
    }
    QList<FakeHttpServer::Request> requests(QString route) const {
        QList<FakeHttpServer::Request> matching;
        for (const auto &request : server.requests)
            if (routeOf(request) == route)
                matching.append(request);
        return matching;
    }
    int count(QString route) const { return int(requests(route).size()); }
    QJsonObject lastBody(QString route) const {
        const auto all = requests(route);
        return all.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(all.last().body).object();
    }
    static QString idOf(const QUuid &id) { return id.toString(QUuid::WithoutBraces).toLower(); }

    VisitorRow addVisitor(const QString &name) {
        const QString at = QString("2026-03-04T08:%1:00Z").arg(visitors.size(), 2, 10, QChar('0'));
        return VisitorRow::fromJson(keep(QJsonObject{{"visitor_name", name},
                                                     {"host_name", QJsonValue()},
                                                     {"answers", QJsonArray()},
                                                     {"signed_in_at", at},
                                                     {"device_name", "Lobby"}}));
    }

private:
    QJsonObject keep(QJsonObject row) {
        row["id"] = idOf(QUuid::createUuid());
        row["signed_out_at"] = row["list_name"] = QJsonValue();
        visitors.prepend(row);
        return row;
    }
    static Reply rows(const QJsonArray &array, int status = 200) {
        return Reply::json(status, QJsonDocument(array).toJson(QJsonDocument::Compact));
    }
    Reply normalAnswer(const QString &route, const FakeHttpServer::Request &request) {
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        if (route == "GET visitors") {
            QJsonArray onSite;
            for (const QJsonObject &row : visitors)
                if (row["signed_out_at"].isNull())
                    onSite.append(row);
            return rows(onSite);
        }
        if (route == "COUNT visitors") {
            // Today and the week that began on Sunday, as the desk's clock sees them; any
            // other window is a fault.
            const QString from = request.query().queryItemValue("signed_in_at", QUrl::FullyDecoded);
            if (!from.isEmpty() && from != "gte.2026-03-04T00:00:00Z" &&
                from != "gte.2026-03-01T00:00:00Z")
                return Reply::json(400, R"({"message":"unexpected count window"})");
            const qint64 total = from.isEmpty()            ? counts.onSite
                                 : from.contains("03-04T") ? counts.today
                                                           : counts.thisWeek;
            Reply reply = Reply::json(200, "[]");
            reply.headers.append({"Content-Range", "0-0/" + QByteArray::number(total)});
            return reply;
        }
        if (route == "POST visitors")
            return rows({keep(body)}, 201);
        if (route == "PATCH visitors") {
            const QString id = request.query().queryItemValue("id").mid(3);
            const QString record = request.query().queryItemValue("device_record_id").mid(3);
            if (failingSignOuts.contains(id))
                return Reply::json(500, R"({"message":"sign-out refused"})");
            for (QJsonObject &row : visitors)
                if ((!id.isEmpty() && row["id"].toString() == id) ||
                    (!record.isEmpty() && row["device_record_id"].toString() == record))
                    row["signed_out_at"] = body["signed_out_at"];
            return Reply::json(204, "");
        }
        std::optional<QJsonObject> &settings =
            route.endsWith("kiosk_settings") ? kioskRow : notifyRow;
        if (route.startsWith("GET") && route.endsWith("_settings"))
            return rows(settings ? QJsonArray{*settings} : QJsonArray());
        if (route.startsWith("POST") && route.endsWith("_settings")) {
            settings = body;
            return Reply::json(201, "");
        }
        return Reply::json(route == "PATCH invites" ? 204 : 404, "");
    }
};
