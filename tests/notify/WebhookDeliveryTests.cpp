#include "NotifyTestSupport.h"
#include "support/FakeHttpServer.h"
#include "support/TestMain.h"

#include "notify/Notifier.h"
#include "notify/WebhookDelivery.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace std::chrono_literals;
using Reply = FakeHttpServer::Reply;

namespace {
// Sends every request, https included, to the local receiver, keeping the path: only
// https webhooks are accepted, and this lets the tests see where each one went.
class ReroutingNetwork : public QNetworkAccessManager {
public:
    explicit ReroutingNetwork(quint16 port) : m_port(port) {}

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *data) override {
        QNetworkRequest local(request);
        QUrl url = request.url();
        url.setScheme("http");
        url.setHost("127.0.0.1");
        url.setPort(m_port);
        local.setUrl(url);
        return QNetworkAccessManager::createRequest(op, local, data);
    }

private:
    quint16 m_port;
};

DeliveryOptions fast(std::chrono::milliseconds retryDelay = 300ms,
                     std::chrono::milliseconds timeout = 2s) {
    return {.timeout = timeout, .retryDelay = retryDelay, .clock = fixedClock()};
}
} // namespace

class WebhookDeliveryTests : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QSettings> m_prefs;
    std::unique_ptr<FakeHttpServer> m_server;
    QNetworkAccessManager m_network;

    QUrl hook() const { return QUrl(m_server->url().toString() + "/hook"); }
    QSettings stored() const {
        return QSettings(m_dir->filePath("prefs.ini"), QSettings::IniFormat);
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_prefs = std::make_unique<QSettings>(m_dir->filePath("prefs.ini"), QSettings::IniFormat);
        m_server = std::make_unique<FakeHttpServer>();
    }

    void retries_data() {
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<bool>("defaultDelay");
        QTest::addColumn<int>("failure"); // 0: success
        QTest::newRow("500 then 204, real 2 s pause") << QList<int>{500, 204} << true << 0;
        QTest::newRow("500 twice") << QList<int>{500, 500} << false << 500;
        QTest::newRow("4xx retried, second failure kept") << QList<int>{503, 404} << false << 404;
        QTest::newRow("2xx at once") << QList<int>{299} << false << 0;
        QTest::newRow("300 is a failure") << QList<int>{300, 300} << false << 300;
    }
    void retries() {
        QFETCH(QList<int>, statuses);
        QFETCH(bool, defaultDelay);
        QFETCH(int, failure);
        const QDateTime earlier(QDate(2025, 12, 1), QTime(8, 0), QTimeZone::utc());
        m_prefs->setValue("NotifyLastSuccess", earlier);
        m_prefs->setValue("NotifyLastError", "older");
        QElapsedTimer timer;
        QList<qint64> arrivals;
        m_server->setHandler([&, n = 0](const FakeHttpServer::Request &) mutable {
            arrivals.append(timer.elapsed());
            return Reply{statuses.value(n++), "{}"};
        });
        const DeliveryOptions options =
            defaultDelay ? DeliveryOptions{.clock = fixedClock()} : fast();

        timer.start();
        const auto outcome =
            QCoro::waitFor(sendAlert(testAlert(), hook(), &m_network, m_prefs.get(), options));

        QCOMPARE(arrivals.size(), statuses.size());
        if (arrivals.size() == 2) {
            const qint64 gap = arrivals[1] - arrivals[0], wanted = defaultDelay ? 2000 : 300;
            QVERIFY2(gap >= wanted && gap < wanted + 1000, qPrintable(QString::number(gap)));
            QCOMPARE(m_server->requests[1].body, m_server->requests[0].body);
        }
        if (failure == 0) {
            QVERIFY(!outcome);
            QCOMPARE(stored().value("NotifyLastSuccess").toDateTime(), fixedClock().now());
            QVERIFY(!stored().contains("NotifyLastError"));
        } else {
            QCOMPARE(outcome, NotifyError::http(failure));
            QCOMPARE(
                stored().value("NotifyLastError").toString(),
                QString("The service answered with error %1. Check the webhook URL.").arg(failure));
            QCOMPARE(stored().value("NotifyLastSuccess").toDateTime(), earlier);
        }
    }

    void noAnswer() {
        m_server->setHandler([](const FakeHttpServer::Request &) { return Reply{.never = true}; });
        QElapsedTimer timer;
        timer.start();
        const auto outcome = QCoro::waitFor(
            sendAlert(testAlert(), hook(), &m_network, m_prefs.get(), fast(100ms, 400ms)));
        QVERIFY2(timer.elapsed() >= 900 && timer.elapsed() < 4000,
                 qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(m_server->requests.size(), 2);
        QCOMPARE(outcome, NotifyError::network("The request timed out."));
        QCOMPARE(stored().value("NotifyLastError").toString(), "The request timed out.");

        const QUrl gone = hook();
        m_server.reset(); // nobody listening any more: the platform's description
        const auto refused =
            QCoro::waitFor(sendAlert(testAlert(), gone, &m_network, m_prefs.get(), fast(10ms)));
        QVERIFY(refused && refused->kind() == NotifyError::Kind::network);
        QVERIFY(!refused->message().isEmpty() && refused->message() != "No response");
    }

    void requestShape() {
        VisitorAlert alert = testAlert(fixedClock().now());
        alert.answers.append(VisitorAnswer{"Site", "a/b \u00B7 \u00E9"});
        const QUrl url(m_server->url().toString() + "/api/webhooks/1/abc?wait=true");
        QVERIFY(!QCoro::waitFor(sendAlert(alert, url, &m_network, m_prefs.get(), fast())));

        QCOMPARE(m_server->requests.size(), 1);
        const FakeHttpServer::Request &request = m_server->requests[0];
        QCOMPARE(request.method, "POST");
        QCOMPARE(request.target, "/api/webhooks/1/abc?wait=true");
        QCOMPARE(request.header("Content-Type"), "application/json");
        const QSet<QByteArray> platform{"host",       "content-type",    "content-length",
                                        "connection", "accept-encoding", "accept-language",
                                        "user-agent"};
        for (const auto &[name, value] : request.headers)
            QVERIFY2(platform.contains(name.toLower()), name.constData());
        // Not a chat service's host: the generic document, compact, keys sorted.
        QVERIFY(request.body.startsWith("{\"event\":\"sign_in\",\"fields\":[{\"label\":\"Note\""));
        QVERIFY(request.body.contains(QString("\"a\\/b \u00B7 \u00E9\"").toUtf8()));
        QCOMPARE(QJsonDocument::fromJson(request.body).object(),
                 makePayload(alert, WebhookService::json, fixedClock()));
    }

    void target_data() {
        QTest::addColumn<bool>("signOut");
        QTest::addColumn<QString>("host"); // empty: no host
        QTest::addColumn<QString>("office");
        QTest::addColumn<QString>("personal"); // Alice's webhook
        QTest::addColumn<QString>("expected"); // empty: nothing sent
        const QString office = "https://hooks.slack.com/services/office";
        const QString alice = "https://discord.com/api/webhooks/1/alice";
        QTest::newRow("personal replaces office") << false << "Alice" << office << alice << alice;
        QTest::newRow("other host") << false << "Bob" << office << alice << office;
        QTest::newRow("no host") << false << "" << office << alice << office;
        QTest::newRow("sign-out flag off") << true << "Alice" << office << alice << "";
        QTest::newRow("personal not https")
            << false << "Alice" << office << "http://x.example/a" << office;
        QTest::newRow("personal trimmed") << false << "Alice" << office << " " + alice + "\n"
                                          << alice;
        QTest::newRow("host case differs") << false << "alice" << office << alice << office;
        QTest::newRow("no usable office") << false << "Bob"
                                          << "http://hooks.slack.com/x" << alice << "";
    }
    void target() {
        QFETCH(bool, signOut);
        QFETCH(QString, host);
        QFETCH(QString, office);
        QFETCH(QString, personal);
        QFETCH(QString, expected);
        NotificationSettings settings; // sign-in on, sign-out off
        settings.officeWebhook = office;
        settings.employeeWebhooks = {{"Alice", personal}, {"Carol", "https://example.com/carol"}};
        const VisitorRow row = sampleRow(host.isEmpty() ? std::nullopt : std::optional(host));
        const auto event = signOut ? VisitorAlert::Event::signOut : VisitorAlert::Event::signIn;
        const std::optional<QUrl> url = notifyTarget(settings, event, row);
        QCOMPARE(url ? url->toString() : QString(), expected);
        settings.notifySignIn = false;
        QVERIFY(!notifyTarget(settings, VisitorAlert::Event::signIn, row));
    }

    // From a record to exactly one request, without the caller waiting for it.
    void notifyHosts() {
        m_server->setHandler([](const FakeHttpServer::Request &) { return Reply{204, {}}; });
        ReroutingNetwork network(m_server->port());
        NotificationSettings settings;
        settings.notifySignOut = true;
        settings.officeWebhook = "https://hooks.slack.com/services/office";
        settings.employeeWebhooks.insert("H", "https://receiver.example/h");
        VisitorRow row = sampleRow();
        row.signedOutAt = QDateTime(QDate(2026, 1, 15), QTime(18, 5, 9), QTimeZone::utc());

        ::notifyHosts(VisitorAlert::Event::signOut, row, settings, &network, m_prefs.get(), fast());
        QVERIFY(m_server->requests.isEmpty() && !m_prefs->contains("NotifyLastSuccess"));
        QTRY_VERIFY(m_prefs->contains("NotifyLastSuccess"));
        QTest::qWait(200); // time for a second request that must not come
        QCOMPARE(m_server->requests.size(), 1);
        QCOMPARE(m_server->requests[0].path(), "/h");
        const QJsonObject body = QJsonDocument::fromJson(m_server->requests[0].body).object();
        QCOMPARE(body["event"], "sign_out");
        QCOMPARE(body["timestamp"], "2026-01-15T18:05:09Z");
        QCOMPARE(body["host"], "H");

        // Without a target nothing is sent and nothing recorded.
        settings.notifySignIn = false;
        m_prefs->clear();
        ::notifyHosts(VisitorAlert::Event::signIn, row, settings, &network, m_prefs.get(), fast());
        QTest::qWait(200);
        QCOMPARE(m_server->requests.size(), 1);
        QVERIFY(m_prefs->allKeys().isEmpty());
    }
};

GW_TEST(WebhookDeliveryTests)
#include "WebhookDeliveryTests.moc"
