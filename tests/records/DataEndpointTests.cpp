// The data endpoints against the recording fake server: the exact query text, headers and
// bodies they send, how they read the answers, paging, concurrency and cancellation.

#include "support/TestMain.h"

#include "QuotedJson.h"
#include "cloud/CloudClient.h"
#include "support/FakeHttpServer.h"
#include "support/Tasks.h"

#include <QNetworkAccessManager>
#include <QTest>

namespace {

const QByteArray columns =
    "id,visitor_name,host_name,answers,signed_in_at,signed_out_at,list_name,device_name";
const QByteArray logPrefix = "select=" + columns + "&order=signed_in_at.desc";
const QTimeZone newYork("America/New_York");

QByteArray visitorsJson(int first, int count, const char *signedIn = "2026-03-01T09:30:05Z") {
    QByteArrayList rows;
    for (int n = first; n < first + count; ++n)
        rows.append(QString::fromUtf8(J("{'id':'00000000-0000-4000-8000-%1','visitor_name':"
                                        "'Visitor %2','signed_in_at':'%3','device_name':'Desk'}"))
                        .arg(n, 12, 10, QLatin1Char('0'))
                        .arg(n)
                        .arg(signedIn)
                        .toUtf8());
    return "[" + rows.join(',') + "]";
}

template <typename T> QCoro::Task<void> discard(QCoro::Task<T> task) {
    co_await std::move(task);
}

} // namespace

class DataEndpointTests : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeHttpServer> server;
    std::unique_ptr<QNetworkAccessManager> network;
    std::shared_ptr<MemorySessionStore> store;
    std::unique_ptr<CloudClient> client;

    void answer(int status, const QByteArray &body) {
        server->setHandler([=](const auto &) { return FakeHttpServer::Reply::json(status, body); });
    }

    // Operation `n` of the table in requestText_data; the reads, which take a token, first.
    QCoro::Task<void> operation(int n, CancellationToken token = {}) {
        const QUuid id("abcdef12-3456-7890-abcd-ef1234567890");
        const QDateTime at(QDate(2026, 3, 1), QTime(17, 0, 9, 500), Qt::UTC);
        const NewVisitor visitor{client->session()->userID, "r", "V", {}, {}, at, "Desk"};
        const std::function<QCoro::Task<void>()> operations[] = {
            [&] { return discard(client->onSiteVisitors(token)); },
            [&] { return discard(client->kioskSettings(token)); },
            [&] { return discard(client->notificationSettings(token)); },
            [&] { return discard(client->fetchInvites(false, 50, token)); },
            [&] { return discard(client->fetchInvites(true, 200, token)); },
            [&] {
                return discard(client->countVisitors({{"signed_in_at", "gte.T+01"}}, token));
            },
            [&] { return discard(client->visitorPage({}, 0, 50, token)); },
            [&] { return discard(client->allVisitors({}, token)); },
            [&] { return discard(client->deskCounts(at, newYork, token)); },
            [&] { return discard(client->insertVisitor(visitor)); },
            [&] { return client->signOutVisitor(id, at); },
            [&] { return client->deleteInvite(id); },
            [&] { return client->markInviteUsed(id, at); },
            // The row is the signed-in account's, whatever owner the record names.
            [&] {
                return client->upsertSettings("kiosk_settings",
                                              {{"owner_id", "x"}, {"employees", 1}});
            },
            [&] {
                return client->createInvite(NewInvite{{{0, "Ada"}}, "a@x", {}, {}, ""});
            },
            [&] { return client->resendInvite(id); }};
        return operations[n]();
    }

private slots:
    void init() {
        server = std::make_unique<FakeHttpServer>();
        network = std::make_unique<QNetworkAccessManager>();
        store = std::make_shared<MemorySessionStore>();
        store->stored =
            CloudSession{"access-1", "refresh-1", QDateTime::currentDateTimeUtc().addSecs(3600),
                         QUuid("0b6c1a3e-5f2d-4c8e-9a71-3d2e4f5a6b7c"), "d@x"};
        client = std::make_unique<CloudClient>(
            network.get(), store, CloudClient::Config{server->url(), server->url(), "sb_key"});
    }
    void cleanup() {
        client.reset();
        network.reset();
        server.reset();
    }

    void requestText_data() {
        QTest::addColumn<int>("n");
        QTest::addColumn<QByteArrayList>("expected"); // method, path, query, Prefer, body
        const QByteArray id = "abcdef12-3456-7890-abcd-ef1234567890";
        const QByteArray invites = "select=id,token,visitor_name,visitor_email,answers,visit_date,"
                                   "visit_time,note,created_at,used_at&order=created_at.desc";
        const QByteArray visitors = "/rest/v1/visitors", min = "return=minimal";
        const QList<QByteArrayList> rows{
            {"GET", visitors, logPrefix + "&signed_out_at=is.null&limit=500", "", ""},
            {"GET", "/rest/v1/kiosk_settings", "select=fields,employees,place_name", "", ""},
            {"GET", "/rest/v1/notification_settings",
             "select=office_webhook,notify_sign_in,notify_sign_out,employee_webhooks", "", ""},
            {"GET", "/rest/v1/invites", invites + "&limit=50", "", ""},
            {"GET", "/rest/v1/invites", invites + "&limit=200&used_at=is.null", "", ""},
            {"GET", visitors, "select=id&limit=1&signed_in_at=gte.T%2B01", "count=exact", ""},
            {"POST", visitors, "select=" + columns, "return=representation",
             J("{'owner_id':'0b6c1a3e-5f2d-4c8e-9a71-3d2e4f5a6b7c','device_record_id':'r',"
               "'visitor_name':'V','host_name':null,'answers':[],"
               "'signed_in_at':'2026-03-01T17:00:09Z','device_name':'Desk'}")},
            {"PATCH", visitors, "id=eq." + id + "&signed_out_at=is.null", min,
             J("{'signed_out_at':'2026-03-01T17:00:09Z'}")},
            {"DELETE", "/rest/v1/invites", "id=eq." + id, "", ""},
            {"PATCH", "/rest/v1/invites", "id=eq." + id, min,
             J("{'used_at':'2026-03-01T17:00:09Z'}")},
            {"POST", "/rest/v1/kiosk_settings", "on_conflict=owner_id",
             "resolution=merge-duplicates,return=minimal",
             J("{'employees':1,'owner_id':'0b6c1a3e-5f2d-4c8e-9a71-3d2e4f5a6b7c'}")},
            {"POST", "/api/invites", "", "",
             J("{'answers':[{'slot':0,'value':'Ada'}],'email':'a@x','note':''}")},
            {"POST", "/api/invites/" + id + "/resend", "", "", ""}};
        for (int n = 0; n < rows.size(); ++n)
            QTest::addRow("%d %s", n, rows[n][1].constData()) << (n < 6 ? n : n + 3) << rows[n];
    }
    void requestText() {
        QFETCH(int, n);
        answer(200, "[]");
        runTask(operation(n));
        QCOMPARE(server->requests.size(), 1);
        const FakeHttpServer::Request &request = server->requests[0];
        QTEST((QByteArrayList{request.method, request.path().toUtf8(), request.rawQuery(),
                              request.header("Prefer"), request.body}),
              "expected");
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer access-1"));
        QCOMPARE(request.header("apikey"), QByteArray("sb_key"));
        if (!request.body.isEmpty())
            QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    }

    // Every read ends with Cancelled as soon as its token is cancelled, and no later.
    void cancellation_data() {
        QTest::addColumn<int>("n");
        for (int n = 0; n <= 8; ++n)
            QTest::addRow("read %d", n) << n;
    }
    void cancellation() {
        QFETCH(int, n);
        FakeHttpServer::Reply never;
        never.never = true;
        server->setHandler([never](const auto &) { return never; });
        CancellationSource source;
        connect(server.get(), &FakeHttpServer::requestReceived, this, [&] {
            if (server->requests.size() == (n == 8 ? 3 : 1)) // deskCounts sends three
                source.cancel();
        });
        const auto outcome = runTask(operation(n, source.token()), 5000);
        QVERIFY2(outcome.errorAs<Cancelled>(), qPrintable(outcome.errorText()));
        QVERIFY(client->isSignedIn());
    }

    void visitorPageQuery_data() {
        QTest::addColumn<VisitorQuery>("query");
        QTest::addColumn<QByteArray>("expected");
        const QDateTime from(QDate(2026, 3, 1), QTime(0, 0), newYork);
        QTest::newRow("spaces and newlines only")
            << VisitorQuery{"  \n\t ", {}, {}} << QByteArray();
        QTest::newRow("both dates, gte first, then the search")
            << VisitorQuery{"Grace Hopper", from, from.addDays(1)}
            << QByteArray("&signed_in_at=gte.2026-03-01T05:00:00Z&signed_in_at=lt.2026-03-02T05:"
                          "00:00Z&search_text=ilike.%25grace%20hopper%25");
        QTest::newRow("plus sign") << VisitorQuery{" Ann+Lee ", {}, {}}
                                   << QByteArray("&search_text=ilike.%25ann%2Blee%25");
        QTest::newRow("percent, underscore, backslash")
            << VisitorQuery{"5%_C:\\", {}, {}}
            << QByteArray("&search_text=ilike.%255%5C%25%5C_c:%5C%5C%25");
        // A like pattern has no literal "*": such a search goes as a regular expression
        // with every character but letters and digits escaped.
        QTest::newRow("star") << VisitorQuery{" *Star.1 ", {}, {}}
                              << QByteArray("&search_text=imatch.%5C*star%5C.1");
    }
    void visitorPageQuery() {
        QFETCH(VisitorQuery, query);
        QFETCH(QByteArray, expected);
        answer(200, "[]");
        QVERIFY(runTask(client->visitorPage(query, 100, 50)).ok());
        QCOMPARE(server->requests.size(), 1);
        QCOMPARE(server->requests[0].rawQuery(), logPrefix + expected + "&limit=50&offset=100");
    }

    void badRowFailsThePage() {
        answer(200, visitorsJson(1, 1).chopped(1) + "," + visitorsJson(2, 1, "x").mid(1));
        const auto outcome = runTask(client->visitorPage({}, 0, 50));
        QCOMPARE(outcome.errorText(), QStringLiteral("signed_in_at: Bad timestamp"));
    }

    // Pages of 1,000 one after another; a failure drops everything.
    void allVisitorsPages() {
        server->setHandler([](const FakeHttpServer::Request &request) {
            const int offset = request.query().queryItemValue("offset").toInt();
            if (offset == 2000)
                return FakeHttpServer::Reply::json(500, J("{'message':'disk full'}"));
            return FakeHttpServer::Reply::json(200, visitorsJson(offset, 1000));
        });
        const QDateTime from(QDate(2026, 3, 1), QTime(0, 0), Qt::UTC);
        const auto outcome = runTask(client->allVisitors(VisitorQuery{"x", from, {}}));
        QVERIFY(outcome.finished && !outcome.value);
        QCOMPARE(outcome.errorAs<CloudError>(), CloudError::server(500, "disk full"));
        QCOMPARE(server->requests.size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(server->requests[i].rawQuery(),
                     logPrefix +
                         "&signed_in_at=gte.2026-03-01T00:00:00Z"
                         "&search_text=ilike.%25x%25&limit=1000&offset=" +
                         QByteArray::number(i * 1000));
    }

    void contentRange() {
        const QList<QPair<QByteArray, qint64>> forms{
            {"0-0/57", 57}, {"*/0", 0},  {"*", 0},
            {"", 0},        {"lots", 0}, {"0-0/12345678901", 12345678901},
            {"0-0/57/", 57}};
        for (const auto &[header, count] : forms)
            QVERIFY2(CloudClient::parseContentRange(header) == count, header.constData());
    }

    // Week fails first, today later, on site never: the first failure ends the counts, and
    // only requests sent side by side can all arrive before it.
    void deskCountsRunTogetherAndFailWithTheFirstFailure() {
        server->setHandler([](const FakeHttpServer::Request &request) {
            const QString since = request.query().queryItemValue("signed_in_at");
            const bool today = since.startsWith("gte.2026-03-04");
            FakeHttpServer::Reply reply = FakeHttpServer::Reply::json(
                503, J(today ? "{'message':'late'}" : "{'message':'first'}"));
            reply.delayMs = today ? 900 : 300;
            reply.never = since.isEmpty();
            return reply;
        });
        const QDateTime now(QDate(2026, 3, 4), QTime(10, 0), newYork);
        const auto outcome = runTask(client->deskCounts(now, newYork), 5000);
        QCOMPARE(outcome.errorAs<CloudError>(), CloudError::server(503, "first"));
        QCOMPARE(server->requests.size(), 3);
    }

    void failures_data() {
        QTest::addColumn<int>("n"); // an operation of requestText
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("insert answers no row")
            << 9 << 201 << QByteArray("[]") << "The visitor could not be saved. Please try again.";
        QTest::newRow("website 422 with error text")
            << 14 << 422 << J("{'error':'Pick a date in the future.'}")
            << "Pick a date in the future.";
    }
    void failures() {
        QFETCH(int, n);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        answer(status, body);
        QTEST(runTask(operation(n)).errorText(), "error");
    }
};

GW_TEST(DataEndpointTests)

#include "DataEndpointTests.moc"
