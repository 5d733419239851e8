// The data endpoints against the recording fake server: the exact query text, headers and
// bodies they send, how they read the answers, paging, concurrency and cancellation.

#include "support/TestMain.h"

#include "TaskHelpers.h"
#include "TestJson.h"
#include "cloud/CloudClient.h"
#include "support/FakeHttpServer.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QTest>
#include <algorithm>

namespace {

const QString columns = QStringLiteral(
    "id,visitor_name,host_name,answers,signed_in_at,signed_out_at,list_name,device_name");
const QByteArray logPrefix = "select=" + columns.toUtf8() + "&order=signed_in_at.desc";
const QUuid userID = QUuid::fromString(QStringLiteral("0B6C1A3E-5F2D-4C8E-9A71-3D2E4F5A6B7C"));
const QTimeZone newYork("America/New_York");

QByteArray visitorJson(int n) {
    const QString id =
        QStringLiteral("00000000-0000-4000-8000-%1").arg(n, 12, 10, QLatin1Char('0'));
    return QString::fromUtf8(
               J("{'id':'%1','visitor_name':'Visitor %2','host_name':null,'answers':[],"
                 "'signed_in_at':'2026-03-01T09:30:05.123456+00:00',"
                 "'signed_out_at':null,'list_name':null,'device_name':'Desk'}"))
        .arg(id)
        .arg(n)
        .toUtf8();
}

QByteArray visitorsJson(int first, int count) {
    QByteArrayList rows;
    for (int i = first; i < first + count; ++i)
        rows.append(visitorJson(i));
    return "[" + rows.join(',') + "]";
}

QJsonObject bodyObject(const FakeHttpServer::Request &request) {
    return QJsonDocument::fromJson(request.body).object();
}

} // namespace

class DataEndpointTests : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeHttpServer> server;
    std::unique_ptr<QNetworkAccessManager> network;
    std::shared_ptr<MemorySessionStore> store;
    std::unique_ptr<CloudClient> client;

    const FakeHttpServer::Request &onlyRequest() {
        if (server->requests.size() != 1)
            qWarning("expected one request, got %d", int(server->requests.size()));
        return server->requests.last();
    }

private slots:
    void init() {
        server = std::make_unique<FakeHttpServer>();
        network = std::make_unique<QNetworkAccessManager>();
        store = std::make_shared<MemorySessionStore>();
        store->stored =
            CloudSession{"access-1", "refresh-1", QDateTime::currentDateTimeUtc().addSecs(3600),
                         userID, "desk@example.com"};
        CloudClient::Config config{server->url(), server->url(),
                                   QStringLiteral("sb_publishable_test")};
        client = std::make_unique<CloudClient>(network.get(), store, config);
    }
    void cleanup() {
        client.reset();
        network.reset();
        server.reset();
    }

    void visitorPageQuery_data() {
        QTest::addColumn<VisitorQuery>("query");
        QTest::addColumn<int>("offset");
        QTest::addColumn<QByteArray>("expected");
        const QDateTime from(QDate(2026, 3, 1), QTime(0, 0), newYork);
        const QDateTime to(QDate(2026, 3, 2), QTime(0, 0), newYork);
        QTest::newRow("no filter") << VisitorQuery{} << 0 << logPrefix + "&limit=50&offset=0";
        QTest::newRow("spaces and newlines only")
            << VisitorQuery{"  \n\t ", {}, {}} << 100 << logPrefix + "&limit=50&offset=100";
        QTest::newRow("both dates, gte first")
            << VisitorQuery{"", from, to} << 50
            << logPrefix + "&signed_in_at=gte.2026-03-01T05:00:00Z"
                           "&signed_in_at=lt.2026-03-02T05:00:00Z&limit=50&offset=50";
        QTest::newRow("from only")
            << VisitorQuery{"", from, {}} << 0
            << logPrefix + "&signed_in_at=gte.2026-03-01T05:00:00Z&limit=50&offset=0";
        QTest::newRow("plus sign")
            << VisitorQuery{" Ann+Lee ", {}, {}} << 0
            << logPrefix + "&search_text=ilike.%25ann%2Blee%25&limit=50&offset=0";
        QTest::newRow("percent") << VisitorQuery{"50%", {}, {}} << 0
                                 << logPrefix +
                                        "&search_text=ilike.%2550%5C%25%25&limit=50&offset=0";
        QTest::newRow("underscore")
            << VisitorQuery{"a_b", {}, {}} << 0
            << logPrefix + "&search_text=ilike.%25a%5C_b%25&limit=50&offset=0";
        QTest::newRow("backslash")
            << VisitorQuery{"C:\\Temp", {}, {}} << 0
            << logPrefix + "&search_text=ilike.%25c:%5C%5Ctemp%25&limit=50&offset=0";
        QTest::newRow("inner space and dates")
            << VisitorQuery{"Grace Hopper", from, to} << 0
            << logPrefix + "&signed_in_at=gte.2026-03-01T05:00:00Z"
                           "&signed_in_at=lt.2026-03-02T05:00:00Z"
                           "&search_text=ilike.%25grace%20hopper%25&limit=50&offset=0";
    }
    void visitorPageQuery() {
        QFETCH(VisitorQuery, query);
        QFETCH(int, offset);
        QFETCH(QByteArray, expected);
        server->setHandler([](const auto &) { return FakeHttpServer::Reply::json(200, "[]"); });
        const auto outcome = runTask(client->visitorPage(query, offset, 50));
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        const auto &request = onlyRequest();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.path(), QStringLiteral("/rest/v1/visitors"));
        QCOMPARE(request.rawQuery(), expected);
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer access-1"));
        QCOMPARE(request.header("apikey"), QByteArray("sb_publishable_test"));
    }

    void searchPattern_data() {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("pattern");
        QTest::newRow("plain") << "  Ada  "
                               << "%ada%";
        QTest::newRow("percent") << "100%"
                                 << "%100\\%%";
        QTest::newRow("underscore") << "first_last"
                                    << "%first\\_last%";
        QTest::newRow("backslash") << "a\\b"
                                   << "%a\\\\b%";
        QTest::newRow("plus kept") << "a+b"
                                   << "%a+b%";
        QTest::newRow("unicode lower case") << "ÉMILE"
                                            << "%émile%";
    }
    void searchPattern() {
        QFETCH(QString, search);
        const VisitorQuery query{search, {}, {}};
        QTEST(query.searchPattern(), "pattern");
    }

    void rowsDecoded() {
        server->setHandler(
            [](const auto &) { return FakeHttpServer::Reply::json(200, visitorsJson(1, 2)); });
        const auto outcome = runTask(client->visitorPage({}, 0, 50));
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        QCOMPARE(outcome.value->size(), 2);
        QCOMPARE(outcome.value->at(1).visitorName, QStringLiteral("Visitor 2"));
        QVERIFY(outcome.value->at(0).isOnSite());
    }

    void badRowFailsThePage() {
        server->setHandler([](const auto &) {
            return FakeHttpServer::Reply::json(
                200, "[" + visitorJson(1) + "," + visitorJson(2).replace("2026-03-01T", "x") + "]");
        });
        const auto outcome = runTask(client->visitorPage({}, 0, 50));
        QVERIFY(outcome.finished && outcome.error);
        QCOMPARE(outcome.errorText(), QStringLiteral("signed_in_at: Bad timestamp"));
    }

    void onSiteQuery() {
        server->setHandler([](const auto &) { return FakeHttpServer::Reply::json(200, "[]"); });
        QVERIFY(runTask(client->onSiteVisitors()).ok());
        QCOMPARE(onlyRequest().rawQuery(), logPrefix + "&signed_out_at=is.null&limit=500");
    }

    void allVisitorsPages_data() {
        QTest::addColumn<int>("total");
        QTest::addColumn<QList<int>>("offsets");
        QTest::newRow("none") << 0 << QList<int>{0};
        QTest::newRow("999 rows, one request") << 999 << QList<int>{0};
        QTest::newRow("exactly 1000, a second empty page") << 1000 << QList<int>{0, 1000};
        QTest::newRow("2500 rows") << 2500 << QList<int>{0, 1000, 2000};
    }
    void allVisitorsPages() {
        QFETCH(int, total);
        QFETCH(QList<int>, offsets);
        server->setHandler([total](const FakeHttpServer::Request &request) {
            const int offset = request.query().queryItemValue("offset").toInt();
            const int limit = request.query().queryItemValue("limit").toInt();
            return FakeHttpServer::Reply::json(
                200, visitorsJson(offset, std::max(0, std::min(limit, total - offset))));
        });
        const QDateTime from(QDate(2026, 3, 1), QTime(0, 0), Qt::UTC);
        const auto outcome = runTask(client->allVisitors(VisitorQuery{"x", from, {}}));
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        QCOMPARE(outcome.value->size(), total);
        if (total > 0)
            QCOMPARE(outcome.value->last().visitorName,
                     QStringLiteral("Visitor %1").arg(total - 1));
        QCOMPARE(server->requests.size(), offsets.size());
        for (int i = 0; i < offsets.size(); ++i)
            QCOMPARE(server->requests[i].rawQuery(),
                     logPrefix +
                         "&signed_in_at=gte.2026-03-01T00:00:00Z"
                         "&search_text=ilike.%25x%25&limit=1000&offset=" +
                         QByteArray::number(offsets[i]));
    }

    void allVisitorsDropsEverythingOnFailure() {
        server->setHandler([](const FakeHttpServer::Request &request) {
            const int offset = request.query().queryItemValue("offset").toInt();
            if (offset >= 2000)
                return FakeHttpServer::Reply::json(500, J("{'message':'disk full'}"));
            return FakeHttpServer::Reply::json(200, visitorsJson(offset, 1000));
        });
        const auto outcome = runTask(client->allVisitors({}));
        QVERIFY(outcome.finished);
        QVERIFY(!outcome.value);
        QCOMPARE(outcome.errorAs<CloudError>(), CloudError::server(500, "disk full"));
        QCOMPARE(server->requests.size(), 3);
    }

    void contentRange_data() {
        QTest::addColumn<QByteArray>("header"); // empty: no header at all
        QTest::addColumn<qint64>("count");
        QTest::newRow("one row of 57") << QByteArray("0-0/57") << qint64(57);
        QTest::newRow("no rows") << QByteArray("*/0") << qint64(0);
        QTest::newRow("unknown total") << QByteArray("0-0/*") << qint64(0);
        QTest::newRow("asterisk alone") << QByteArray("*") << qint64(0);
        QTest::newRow("absent") << QByteArray() << qint64(0);
        QTest::newRow("garbage") << QByteArray("lots") << qint64(0);
        QTest::newRow("large") << QByteArray("0-0/12345678901") << qint64(12345678901);
        QTest::newRow("trailing slash") << QByteArray("0-0/57/") << qint64(57);
        QTest::newRow("bare total") << QByteArray("57") << qint64(57);
    }
    void contentRange() {
        QFETCH(QByteArray, header);
        QFETCH(qint64, count);
        QCOMPARE(CloudClient::parseContentRange(header), count);
        server->setHandler([header](const auto &) {
            FakeHttpServer::Reply reply = FakeHttpServer::Reply::json(200, "[]");
            if (!header.isEmpty())
                reply.headers.append({QByteArray("content-range"), header}); // any letter case
            return reply;
        });
        const QueryItems filters{{"signed_in_at", "gte.2026-03-01T00:00:00+01:00"}};
        const auto outcome = runTask(client->countVisitors(filters));
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        QCOMPARE(*outcome.value, count);
        const auto &request = onlyRequest();
        QCOMPARE(request.rawQuery(),
                 QByteArray("select=id&limit=1&signed_in_at=gte.2026-03-01T00:00:00%2B01:00"));
        QCOMPARE(request.header("Prefer"), QByteArray("count=exact"));
    }

    void deskCountsFilters_data() {
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QByteArray>("today");
        QTest::addColumn<QByteArray>("week");
        QTest::newRow("Wednesday")
            << QDateTime(QDate(2026, 3, 4), QTime(10, 0), newYork)
            << QByteArray("gte.2026-03-04T05:00:00Z") << QByteArray("gte.2026-03-01T05:00:00Z");
        // 04:30 UTC on Thursday is still Wednesday evening at the desk.
        QTest::newRow("before midnight at the desk, after it in UTC")
            << QDateTime(QDate(2026, 3, 5), QTime(4, 30), Qt::UTC)
            << QByteArray("gte.2026-03-04T05:00:00Z") << QByteArray("gte.2026-03-01T05:00:00Z");
        QTest::newRow("just after midnight")
            << QDateTime(QDate(2026, 3, 5), QTime(0, 0, 1), newYork)
            << QByteArray("gte.2026-03-05T05:00:00Z") << QByteArray("gte.2026-03-01T05:00:00Z");
        QTest::newRow("Sunday: today and week agree")
            << QDateTime(QDate(2026, 3, 8), QTime(23, 30), newYork)
            << QByteArray("gte.2026-03-08T05:00:00Z") << QByteArray("gte.2026-03-08T05:00:00Z");
        QTest::newRow("Saturday, week began before the clocks changed")
            << QDateTime(QDate(2026, 3, 14), QTime(12, 0), newYork)
            << QByteArray("gte.2026-03-14T04:00:00Z") << QByteArray("gte.2026-03-08T05:00:00Z");
        QTest::newRow("week across the new year")
            << QDateTime(QDate(2027, 1, 1), QTime(9, 0), newYork)
            << QByteArray("gte.2027-01-01T05:00:00Z") << QByteArray("gte.2026-12-27T05:00:00Z");
    }
    void deskCountsFilters() {
        QFETCH(QDateTime, now);
        QFETCH(QByteArray, today);
        QFETCH(QByteArray, week);
        // The desk's locale starts weeks on Monday; the counts still start on Sunday.
        const QLocale previous;
        QLocale::setDefault(QLocale(QStringLiteral("de_DE")));
        server->setHandler([](const FakeHttpServer::Request &request) {
            FakeHttpServer::Reply reply = FakeHttpServer::Reply::json(200, "[]");
            const QString filter = request.query().queryItemValue("signed_in_at");
            const QByteArray total = filter.isEmpty() ? "3" : filter.contains("03-01") ? "40" : "7";
            reply.headers.append({QByteArray("Content-Range"), "0-0/" + total});
            return reply;
        });
        const auto outcome = runTask(client->deskCounts(now, newYork));
        QLocale::setDefault(previous);
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        QCOMPARE(server->requests.size(), 3);
        QByteArrayList queries;
        for (const auto &request : server->requests) {
            QCOMPARE(request.header("Prefer"), QByteArray("count=exact"));
            queries.append(request.rawQuery());
        }
        std::sort(queries.begin(), queries.end());
        QByteArrayList expected{"select=id&limit=1&signed_in_at=" + today,
                                "select=id&limit=1&signed_out_at=is.null",
                                "select=id&limit=1&signed_in_at=" + week};
        std::sort(expected.begin(), expected.end());
        QCOMPARE(queries, expected);
        QCOMPARE(outcome.value->onSite, 3);
        if (week.contains("03-01"))
            QCOMPARE(*outcome.value, (DeskCounts{7, 3, 40}));
    }

    void deskCountsRunConcurrently() {
        QElapsedTimer clock;
        clock.start();
        QList<qint64> arrivals;
        server->setHandler([&](const FakeHttpServer::Request &) {
            arrivals.append(clock.elapsed());
            FakeHttpServer::Reply reply = FakeHttpServer::Reply::json(200, "[]");
            reply.headers.append({QByteArray("Content-Range"), QByteArray("0-0/1")});
            reply.delayMs = 600;
            return reply;
        });
        const auto outcome = runTask(client->deskCounts(QDateTime::currentDateTime(), newYork));
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        QCOMPARE(arrivals.size(), 3);
        // One after another, each would wait for the previous 600 ms answer.
        QVERIFY2(
            arrivals.last() - arrivals.first() < 500,
            qPrintable(
                QStringLiteral("arrivals %1 ms apart").arg(arrivals.last() - arrivals.first())));
    }

    void deskCountsFailWithTheFirstFailure() {
        server->setHandler([](const FakeHttpServer::Request &request) {
            const QString since = request.query().queryItemValue("signed_in_at");
            if (since.isEmpty()) { // on site: never answers
                FakeHttpServer::Reply reply;
                reply.never = true;
                return reply;
            }
            // Today fails late, the week fails at once.
            const bool isToday = since.startsWith("gte.2026-03-04");
            FakeHttpServer::Reply reply = FakeHttpServer::Reply::json(
                isToday ? 500 : 503, isToday ? J("{'message':'late'}") : J("{'message':'first'}"));
            reply.delayMs = isToday ? 400 : 0;
            return reply;
        });
        QElapsedTimer clock;
        clock.start();
        const auto outcome = runTask(
            client->deskCounts(QDateTime(QDate(2026, 3, 4), QTime(10, 0), newYork), newYork));
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.errorAs<CloudError>(), CloudError::server(503, "first"));
        // It does not wait for the count that never answers, nor for the late failure.
        QVERIFY(clock.elapsed() < 5000);
    }

    void cancellationReachesEveryRead_data() {
        QTest::addColumn<int>("operation");
        const char *names[] = {"visitorPage",          "allVisitors", "onSiteVisitors",
                               "countVisitors",        "deskCounts",  "kioskSettings",
                               "notificationSettings", "fetchInvites"};
        for (int i = 0; i < 8; ++i)
            QTest::newRow(names[i]) << i;
    }
    void cancellationReachesEveryRead() {
        QFETCH(int, operation);
        FakeHttpServer::Reply never;
        never.never = true;
        server->setHandler([never](const auto &) { return never; });
        CancellationSource source;
        const CancellationToken token = source.token();
        auto start = [&]() -> QCoro::Task<void> {
            // Not a coroutine lambda: it only builds the task for the chosen operation.
            switch (operation) {
            case 0:
                return discard(client->visitorPage({}, 0, 50, token));
            case 1:
                return discard(client->allVisitors({}, token));
            case 2:
                return discard(client->onSiteVisitors(token));
            case 3:
                return discard(client->countVisitors({}, token));
            case 4:
                return discard(client->deskCounts(QDateTime::currentDateTime(), newYork, token));
            case 5:
                return discard(client->kioskSettings(token));
            case 6:
                return discard(client->notificationSettings(token));
            default:
                return discard(client->fetchInvites(false, 50, token));
            }
        };
        Started<void> task(start());
        const int expectedRequests = operation == 4 ? 3 : 1;
        QVERIFY(spinUntil([&] { return server->requests.size() == expectedRequests; }));
        QVERIFY(!task.outcome().finished);
        source.cancel();
        const auto &outcome = task.wait(5000);
        QVERIFY2(outcome.finished, "the operation did not end when cancelled");
        QVERIFY2(outcome.errorAs<Cancelled>().has_value(), qPrintable(outcome.errorText()));
        QVERIFY(client->isSignedIn());
    }

    void insertVisitor() {
        server->setHandler(
            [](const auto &) { return FakeHttpServer::Reply::json(201, visitorsJson(7, 1)); });
        NewVisitor visitor;
        visitor.ownerID = userID;
        visitor.deviceRecordID = QStringLiteral("rec-7");
        visitor.visitorName = QStringLiteral("Visitor 7");
        visitor.signedInAt = QDateTime(QDate(2026, 3, 1), QTime(9, 30, 5, 123), Qt::UTC);
        visitor.deviceName = QStringLiteral("Desk");
        const auto outcome = runTask(client->insertVisitor(visitor));
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        QCOMPARE(outcome.value->visitorName, QStringLiteral("Visitor 7"));
        const auto &request = onlyRequest();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.rawQuery(), "select=" + columns.toUtf8());
        QCOMPARE(request.header("Prefer"), QByteArray("return=representation"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.body, visitor.toJson());
    }

    void insertAnswers_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("error");
        QTest::newRow("empty array")
            << QByteArray("[]") << "The visitor could not be saved. Please try again.";
        QTest::newRow("unreadable row") << QByteArray(J("[{'id':'x'}]")) << "id: not a UUID";
        QTest::newRow("object instead of array")
            << QByteArray("{}") << "The response is not a JSON array.";
    }
    void insertAnswers() {
        QFETCH(QByteArray, answer);
        QFETCH(QString, error);
        server->setHandler(
            [answer](const auto &) { return FakeHttpServer::Reply::json(201, answer); });
        const auto outcome = runTask(client->insertVisitor(NewVisitor{}));
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.errorText(), error);
        if (answer == "[]")
            QCOMPARE(outcome.errorAs<CloudError>(),
                     CloudError::server(200, "The visitor could not be saved. Please try again."));
    }

    void signOutVisitor() {
        server->setHandler([](const auto &) { return FakeHttpServer::Reply::json(204, ""); });
        const QUuid id = QUuid::fromString(QStringLiteral("ABCDEF12-3456-7890-ABCD-EF1234567890"));
        const QDateTime at(QDate(2026, 3, 1), QTime(17, 0, 9, 500), Qt::UTC);
        QVERIFY(runTask(client->signOutVisitor(id, at)).ok());
        const auto &request = onlyRequest();
        QCOMPARE(request.method, QByteArray("PATCH"));
        QCOMPARE(request.rawQuery(),
                 QByteArray("id=eq.abcdef12-3456-7890-abcd-ef1234567890&signed_out_at=is.null"));
        QCOMPARE(request.header("Prefer"), QByteArray("return=minimal"));
        QCOMPARE(request.body, QByteArray(J("{'signed_out_at':'2026-03-01T17:00:09Z'}")));
    }

    void settingsReads_data() {
        QTest::addColumn<bool>("kiosk");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("hasRow");
        QTest::newRow("kiosk, no row") << true << QByteArray("[]") << false;
        QTest::newRow("kiosk, a row")
            << true << QByteArray(J("[{'fields':[],'employees':['Grace'],'place_name':'Lobby'}]"))
            << true;
        QTest::newRow("notifications, no row") << false << QByteArray("[]") << false;
        QTest::newRow("notifications, a row")
            << false
            << QByteArray(J("[{'office_webhook':'https://hooks.example/o','notify_sign_in':false,"
                            "'notify_sign_out':true,'employee_webhooks':{}}]"))
            << true;
    }
    void settingsReads() {
        QFETCH(bool, kiosk);
        QFETCH(QByteArray, answer);
        QFETCH(bool, hasRow);
        server->setHandler(
            [answer](const auto &) { return FakeHttpServer::Reply::json(200, answer); });
        if (kiosk) {
            const auto outcome = runTask(client->kioskSettings());
            QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
            QCOMPARE(outcome.value->has_value(), hasRow);
            if (hasRow)
                QCOMPARE(outcome.value->value().placeName, std::optional<QString>("Lobby"));
            QCOMPARE(onlyRequest().path(), QStringLiteral("/rest/v1/kiosk_settings"));
            QCOMPARE(onlyRequest().rawQuery(), QByteArray("select=fields,employees,place_name"));
        } else {
            const auto outcome = runTask(client->notificationSettings());
            QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
            QCOMPARE(outcome.value->has_value(), hasRow);
            if (hasRow)
                QVERIFY(outcome.value->value().notifySignOut);
            QCOMPARE(onlyRequest().path(), QStringLiteral("/rest/v1/notification_settings"));
            QCOMPARE(onlyRequest().rawQuery(),
                     QByteArray(
                         "select=office_webhook,notify_sign_in,notify_sign_out,employee_webhooks"));
        }
    }

    void upsertSettings() {
        server->setHandler([](const auto &) { return FakeHttpServer::Reply::json(201, ""); });
        QJsonObject record = KioskSettings::defaults().toJson();
        record.insert("owner_id", "11111111-1111-1111-1111-111111111111"); // replaced
        QVERIFY(runTask(client->upsertSettings("kiosk_settings", record)).ok());
        const auto &request = onlyRequest();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path(), QStringLiteral("/rest/v1/kiosk_settings"));
        QCOMPARE(request.rawQuery(), QByteArray("on_conflict=owner_id"));
        QCOMPARE(request.header("Prefer"),
                 QByteArray("resolution=merge-duplicates,return=minimal"));
        QJsonObject expected = KioskSettings::defaults().toJson();
        expected.insert("owner_id", "0b6c1a3e-5f2d-4c8e-9a71-3d2e4f5a6b7c");
        QCOMPARE(bodyObject(request), expected);
    }

    void upsertWithoutSession() {
        store->stored.reset();
        client = std::make_unique<CloudClient>(
            network.get(), store, CloudClient::Config{server->url(), server->url(), "k"});
        const auto outcome = runTask(client->upsertSettings("kiosk_settings", {}));
        QCOMPARE(outcome.errorAs<CloudError>(), CloudError::signedOut());
        QVERIFY(server->requests.isEmpty());
    }

    void fetchInvitesQuery_data() {
        QTest::addColumn<bool>("pendingOnly");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray prefix = "select=id,token,visitor_name,visitor_email,answers,visit_date,"
                                  "visit_time,note,created_at,used_at&order=created_at.desc";
        QTest::newRow("all") << false << 50 << prefix + "&limit=50";
        QTest::newRow("pending only") << true << 200 << prefix + "&limit=200&used_at=is.null";
    }
    void fetchInvitesQuery() {
        QFETCH(bool, pendingOnly);
        QFETCH(int, limit);
        QFETCH(QByteArray, expected);
        server->setHandler([](const auto &) {
            return FakeHttpServer::Reply::json(
                200,
                J("[{'id':'0b6c1a3e-5f2d-4c8e-9a71-3d2e4f5a6b7c','token':'t','visitor_name':'A',"
                  "'visitor_email':'a@example.com','answers':[],'created_at':'2026-03-01T00:00:00Z'"
                  "}]"));
        });
        const auto outcome = runTask(client->fetchInvites(pendingOnly, limit));
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        QCOMPARE(outcome.value->size(), 1);
        QCOMPARE(onlyRequest().path(), QStringLiteral("/rest/v1/invites"));
        QCOMPARE(onlyRequest().rawQuery(), expected);
    }

    void inviteWrites() {
        server->setHandler([](const auto &) { return FakeHttpServer::Reply::json(204, ""); });
        const QUuid id = QUuid::fromString(QStringLiteral("ABCDEF12-3456-7890-ABCD-EF1234567890"));
        QVERIFY(runTask(client->deleteInvite(id)).ok());
        QVERIFY(runTask(client->markInviteUsed(
                            id, QDateTime(QDate(2026, 3, 1), QTime(9, 0, 0, 999), Qt::UTC)))
                    .ok());
        QCOMPARE(server->requests.size(), 2);
        const auto &deleted = server->requests[0];
        QCOMPARE(deleted.method, QByteArray("DELETE"));
        QCOMPARE(deleted.path(), QStringLiteral("/rest/v1/invites"));
        QCOMPARE(deleted.rawQuery(), QByteArray("id=eq.abcdef12-3456-7890-abcd-ef1234567890"));
        const auto &used = server->requests[1];
        QCOMPARE(used.method, QByteArray("PATCH"));
        QCOMPARE(used.rawQuery(), QByteArray("id=eq.abcdef12-3456-7890-abcd-ef1234567890"));
        QCOMPARE(used.header("Prefer"), QByteArray("return=minimal"));
        QCOMPARE(used.body, QByteArray(J("{'used_at':'2026-03-01T09:00:00Z'}")));
    }

    void websiteCalls() {
        server->setHandler(
            [](const auto &) { return FakeHttpServer::Reply::json(200, J("{'ok':true}")); });
        NewInvite invite;
        invite.email = QStringLiteral("ada@example.com");
        invite.answers = {{0, "Ada"}};
        invite.visitDate = QStringLiteral("2026-03-01");
        QVERIFY(runTask(client->createInvite(invite)).ok());
        const QUuid id = QUuid::fromString(QStringLiteral("ABCDEF12-3456-7890-ABCD-EF1234567890"));
        QVERIFY(runTask(client->resendInvite(id)).ok());
        QCOMPARE(server->requests.size(), 2);
        const auto &created = server->requests[0];
        QCOMPARE(created.method, QByteArray("POST"));
        QCOMPARE(created.path(), QStringLiteral("/api/invites"));
        QCOMPARE(created.header("Authorization"), QByteArray("Bearer access-1"));
        QCOMPARE(created.header("apikey"), QByteArray("sb_publishable_test"));
        QCOMPARE(created.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(created.body, invite.toJson());
        const auto &resent = server->requests[1];
        QCOMPARE(resent.method, QByteArray("POST"));
        QCOMPARE(resent.path(),
                 QStringLiteral("/api/invites/abcdef12-3456-7890-abcd-ef1234567890/resend"));
        QVERIFY(resent.body.isEmpty());
    }

    void websiteFailures_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("signedIn");
        QTest::newRow("422 with error text")
            << 422 << QByteArray(J("{'error':'Pick a date in the future.'}"))
            << "Pick a date in the future." << true;
        QTest::newRow("500 empty") << 500 << QByteArray() << "The server answered 500." << true;
        QTest::newRow("401 keeps the session")
            << 401 << QByteArray(J("{'error':'bad token'}"))
            << "Your session ended. Please sign in again." << true;
    }
    void websiteFailures() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        server->setHandler([=](const auto &) { return FakeHttpServer::Reply::json(status, body); });
        const auto outcome = runTask(client->createInvite(NewInvite{}));
        QTEST(outcome.errorText(), "error");
        QTEST(client->isSignedIn(), "signedIn");
        QVERIFY(store->stored.has_value());
    }

    void backend401EndsTheSession() {
        server->setHandler([](const auto &) {
            return FakeHttpServer::Reply::json(401, J("{'message':'JWT expired'}"));
        });
        const auto outcome = runTask(client->deleteInvite(QUuid::createUuid()));
        QCOMPARE(outcome.errorAs<CloudError>(), CloudError::signedOut());
        QVERIFY(!client->isSignedIn());
        QVERIFY(!store->stored.has_value());
    }

private:
    template <typename T> static QCoro::Task<void> discard(QCoro::Task<T> task) {
        co_await std::move(task);
    }
};

GW_TEST(DataEndpointTests)

#include "DataEndpointTests.moc"
