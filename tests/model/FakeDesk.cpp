#include "FakeDesk.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QUrlQuery>

namespace {

using Reply = FakeHttpServer::Reply;

Reply jsonReply(int status, const QJsonArray &array) {
    return Reply::json(status, QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QString queryValue(const FakeHttpServer::Request &request, const QString &key) {
    return request.query().queryItemValue(key, QUrl::FullyDecoded);
}

} // namespace

FakeDesk::FakeDesk() {
    preferences =
        std::make_unique<QSettings>(preferencesDir.filePath("prefs.ini"), QSettings::IniFormat);
    store->stored = CloudSession{QStringLiteral("access-token"), QStringLiteral("refresh-token"),
                                 QDateTime::currentDateTimeUtc().addSecs(3600), userID,
                                 QStringLiteral("desk@example.com")};
    server.setHandler([this](const FakeHttpServer::Request &request) { return answer(request); });
    CloudClient::Config config;
    config.backendBaseURL = server.url();
    config.websiteBaseURL = server.url();
    config.publishableKey = QStringLiteral("test-key");
    cloud = std::make_unique<CloudClient>(&network, store, config);
    model = std::make_unique<AppModel>(cloud.get(), nullptr, preferences.get());
    Clock clock;
    clock.now = [] { return FakeDesk::now(); };
    clock.zone = QTimeZone::utc();
    clock.locale = QLocale(QLocale::English, QLocale::UnitedStates);
    model->setClock(clock);
}

FakeDesk::~FakeDesk() {
    // The model goes first: its tasks must not outlive the client they call.
    model.reset();
    cloud.reset();
}

FakeDesk::Route FakeDesk::routeOf(const FakeHttpServer::Request &request) {
    const QString path = request.path();
    const QByteArray &method = request.method;
    if (path == QLatin1String("/rest/v1/visitors")) {
        if (method == "POST")
            return Route::insert;
        if (method == "PATCH")
            return Route::signOut;
        if (queryValue(request, "select") == QLatin1String("id"))
            return Route::count;
        return Route::onSite;
    }
    if (path == QLatin1String("/rest/v1/kiosk_settings"))
        return method == "POST" ? Route::upsertKiosk : Route::kiosk;
    if (path == QLatin1String("/rest/v1/notification_settings"))
        return method == "POST" ? Route::upsertNotify : Route::notify;
    if (path == QLatin1String("/rest/v1/invites") && method == "PATCH")
        return Route::markInvite;
    return Route::other;
}

QList<FakeHttpServer::Request> FakeDesk::requests(Route route) const {
    QList<FakeHttpServer::Request> matching;
    for (const auto &request : server.requests)
        if (routeOf(request) == route)
            matching.append(request);
    return matching;
}

QJsonObject FakeDesk::lastBody(Route route) const {
    const auto matching = requests(route);
    if (matching.isEmpty())
        return {};
    return QJsonDocument::fromJson(matching.last().body).object();
}

VisitorRow FakeDesk::addVisitor(const QString &name, const std::optional<QString> &host) {
    QJsonObject row{{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
                    {"visitor_name", name},
                    {"host_name", host ? QJsonValue(*host) : QJsonValue()},
                    {"answers", QJsonArray()},
                    {"signed_in_at", QStringLiteral("2026-03-04T08:%1:00+00:00")
                                         .arg(visitors.size() % 60, 2, 10, QLatin1Char('0'))},
                    {"signed_out_at", QJsonValue()},
                    {"list_name", QJsonValue()},
                    {"device_name", "Lobby"}};
    visitors.prepend(row);
    return VisitorRow::fromJson(row);
}

FakeHttpServer::Reply FakeDesk::answer(const FakeHttpServer::Request &request) {
    const Route route = routeOf(request);
    if (!once.value(route).isEmpty())
        return once[route].takeFirst();
    if (overrides.contains(route))
        return overrides.value(route);
    Reply reply = normalAnswer(route, request);
    reply.delayMs = delays.value(route);
    return reply;
}

FakeHttpServer::Reply FakeDesk::normalAnswer(Route route, const FakeHttpServer::Request &request) {
    switch (route) {
    case Route::onSite: {
        QJsonArray rows;
        for (const QJsonObject &row : visitors)
            if (row.value("signed_out_at").isNull())
                rows.append(row);
        return jsonReply(200, rows);
    }
    case Route::count: {
        qint64 total = counts.onSite;
        const QString from = queryValue(request, "signed_in_at");
        if (from == QLatin1String("gte.2026-03-04T00:00:00Z"))
            total = counts.today;
        else if (from == QLatin1String("gte.2026-03-01T00:00:00Z"))
            total = counts.thisWeek;
        else if (!from.isEmpty())
            return Reply::json(400, R"({"message":"unexpected count filter"})");
        Reply reply = Reply::json(200, "[]");
        reply.headers.append({"Content-Range", "0-0/" + QByteArray::number(total)});
        return reply;
    }
    case Route::insert: {
        QJsonObject row = QJsonDocument::fromJson(request.body).object();
        row.remove("owner_id");
        row.remove("device_record_id");
        row.insert("id", QUuid::createUuid().toString(QUuid::WithoutBraces));
        row.insert("signed_out_at", QJsonValue());
        row.insert("list_name", QJsonValue());
        visitors.prepend(row);
        return jsonReply(201, QJsonArray{row});
    }
    case Route::signOut: {
        const QString id = queryValue(request, "id").mid(3);
        if (failingSignOuts.contains(id))
            return Reply::json(500, R"({"message":"sign-out refused"})");
        const QJsonValue at = QJsonDocument::fromJson(request.body).object().value("signed_out_at");
        for (QJsonObject &row : visitors)
            if (row.value("id").toString().toLower() == id && row.value("signed_out_at").isNull())
                row.insert("signed_out_at", at);
        return Reply::json(204, "");
    }
    case Route::kiosk:
        return jsonReply(200, kioskRow ? QJsonArray{*kioskRow} : QJsonArray());
    case Route::notify:
        return jsonReply(200, notifyRow ? QJsonArray{*notifyRow} : QJsonArray());
    case Route::upsertKiosk:
    case Route::upsertNotify: {
        QJsonObject row = QJsonDocument::fromJson(request.body).object();
        row.remove("owner_id");
        (route == Route::upsertKiosk ? kioskRow : notifyRow) = row;
        return Reply::json(201, "");
    }
    case Route::markInvite:
        return Reply::json(204, "");
    case Route::other:
        break;
    }
    return Reply::json(404, R"({"message":"no such route in the fake"})");
}
