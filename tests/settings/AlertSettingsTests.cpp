#include "HttpsFront.h"
#include "SettingsTestKit.h"
#include "support/Tasks.h"
#include "support/TestMain.h"
#include "ui/AlertSettings.h"
#include "ui/Style.h"

#include <QDesktopServices>
#include <QJsonArray>

namespace {
// What the tab shows under the webhook field: the service's name or the red caption.
struct WebhookRows {
    QString service; // empty: no Service row
    bool problem = false;
};
WebhookRows webhookRows(const SettingsHarness &h) {
    return {shown(h.label("webhookService")) ? h.label("webhookService")->text() : QString(),
            shown(h.label("webhookProblem"))};
}
} // namespace

// Stands in for the browser: keeps the addresses it is asked to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};

// The Alerts tab against the real backend: saving, and replacing an unsaved edit when the settings change elsewhere.
class AlertSettingsTest : public QObject {
    Q_OBJECT

private slots:
    // An http address blocks saving; cleared, the empty address saves.
    void saveTrimsAndClearingSavesEmpty() {
        SettingsHarness h;
        GW_REQUIRE_BACKEND(h.backend);
        h.createAccount();
        h.launch("Alerts");
        typeInto(h.field("officeWebhookField"), " https://hooks.slack.com/services/T0/B0/x ");
        click(h.button("notifySignOutSwitch"));
        click(h.button("saveAlertsButton"));
        QTRY_COMPARE(h.label("alertsMessage")->text(), QStringLiteral("Saved."));
        QJsonObject stored = h.storedRow("notification_settings");
        QCOMPARE(stored.value("office_webhook").toString(),
                 "https://hooks.slack.com/services/T0/B0/x");
        QCOMPARE(stored.value("notify_sign_out").toBool(), true);
        QCOMPARE(h.field("officeWebhookField")->text(),
                 QStringLiteral("https://hooks.slack.com/services/T0/B0/x"));
        QVERIFY(!h.button("saveAlertsButton")->isEnabled());

        typeInto(h.field("officeWebhookField"), "http://hooks.slack.com/services/T0/B0/x");
        QVERIFY(!h.button("saveAlertsButton")->isEnabled());
        QVERIFY(!h.button("sendTestMessageButton")->isEnabled());
        typeInto(h.field("officeWebhookField"), "");
        QCOMPARE(webhookRows(h).service, QString());
        QVERIFY(!webhookRows(h).problem);
        click(h.button("saveAlertsButton"));
        QTRY_COMPARE(h.model()->notifications().officeWebhook, QString());
        stored = h.storedRow("notification_settings");
        QCOMPARE(stored.value("office_webhook").toString(), QString());
        QCOMPARE(h.label("alertsMessage")->text(), QStringLiteral("Saved."));
    }

    // A save from elsewhere (the Employees screen) replaces what was being typed.
    void modelChangeReplacesTheDraft() {
        SettingsHarness h;
        GW_REQUIRE_BACKEND(h.backend);
        h.createAccount();
        h.launch("Alerts");
        typeInto(h.field("officeWebhookField"), "https://hooks.slack.com/services/unsaved");
        QVERIFY(runTask(h.model()->saveEmployee(std::nullopt, QString("Dana"),
                                                "https://discord.com/api/webhooks/1/dana"))
                    .ok());
        QCOMPARE(h.field("officeWebhookField")->text(), QString());
        QCOMPARE(h.find<AlertSettings>("alertSettings")->draft(), h.model()->notifications());
        QCOMPARE(h.model()->notifications().employeeWebhooks.value("Dana"),
                 "https://discord.com/api/webhooks/1/dana");
        QVERIFY(!h.button("saveAlertsButton")->isEnabled());
    }
};

// Which addresses the tab accepts, and the test message: sent to the address as typed,
// one at a time, its outcome shown and recorded like any delivery's.
class AlertAddressTest : public QObject {
    Q_OBJECT

private slots:
    void addressRows_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("service");
        QTest::addColumn<bool>("problem");
        QTest::addColumn<bool>("canTest");
        QTest::newRow("slack, spaces around") << "  https://hooks.slack.com/services/T0/B0/x "
                                              << "Slack" << false << true;
        QTest::newRow("teams workflow")
            << "https://prod-01.westus.logic.azure.com/workflows/a/triggers/manual"
            << "Microsoft Teams" << false << true;
        QTest::newRow("google chat") << "https://chat.googleapis.com/v1/spaces/A/messages"
                                     << "Google Chat" << false << true;
        QTest::newRow("discord") << "https://discord.com/api/webhooks/1/abc"
                                 << "Discord" << false << true;
        QTest::newRow("discord host, other path")
            << "https://discord.com/channels/1/2" << "Webhook (JSON)" << false << true;
        QTest::newRow("plain http") << "http://hooks.slack.com/services/T0/B0/x" << "" << true
                                    << false;
        QTest::newRow("no host") << "https:///hook" << "" << true << false;
        QTest::newRow("spaces only") << "   " << "" << false << false;
    }
    void addressRows() {
        QFETCH(QString, typed);
        QFETCH(QString, service);
        QFETCH(bool, problem);
        QFETCH(bool, canTest);
        SettingsHarness h;
        h.fakeSession();
        h.launch("Alerts");
        QCOMPARE(h.field("officeWebhookField")->placeholderText(),
                 QStringLiteral("https://hooks.slack.com/services/…"));
        QCOMPARE(webhookRows(h).service, QString());
        QVERIFY(!h.button("saveAlertsButton")->isEnabled());
        typeInto(h.field("officeWebhookField"), typed);
        QCOMPARE(webhookRows(h).service, service);
        QCOMPARE(webhookRows(h).problem, problem);
        if (problem)
            QCOMPARE(h.label("webhookProblem")->palette().color(QPalette::WindowText),
                     Style::errorColor(h.settings()->palette()));
        QCOMPARE(h.button("saveAlertsButton")->isEnabled(), !problem);
        QCOMPARE(h.button("sendTestMessageButton")->isEnabled(), canTest);
    }

    void setupGuideOpensTheWebsite() {
        SettingsHarness h;
        h.fakeSession();
        h.launch("Alerts");
        UrlCatcher browser;
        QDesktopServices::setUrlHandler("http", &browser, "open");
        click(h.button("setupGuideButton"));
        QDesktopServices::unsetUrlHandler("http");
        QCOMPARE(browser.urls,
                 QList<QUrl>{QUrl(h.fake.url().toString() + "/guides/host-notifications")});
    }

    void sendsToTheTypedAddress() {
        SettingsHarness h;
        h.fakeSession();
        FakeHttpServer receiver;
        HttpsFront front(&receiver);
        int status = 204;
        receiver.setHandler([&status](const FakeHttpServer::Request &) {
            FakeHttpServer::Reply reply{status, "{}"};
            reply.delayMs = 300;
            return reply;
        });
        h.launch("Alerts");
        typeInto(h.field("officeWebhookField"), front.url("/hooks/desk"));
        QCOMPARE(webhookRows(h).service, QStringLiteral("Webhook (JSON)"));
        click(h.button("sendTestMessageButton"));
        QVERIFY(!h.button("sendTestMessageButton")->isEnabled());
        QTRY_COMPARE(h.label("alertsMessage")->text(), QStringLiteral("Test message sent."));
        QVERIFY(h.button("sendTestMessageButton")->isEnabled());

        QCOMPARE(receiver.requests.size(), 1);
        const FakeHttpServer::Request &sent = receiver.requests.first();
        QCOMPARE(sent.method, "POST");
        QCOMPARE(sent.path(), "/hooks/desk");
        const QJsonObject body = QJsonDocument::fromJson(sent.body).object();
        QCOMPARE(body.value("event").toString(), "sign_in");
        QCOMPARE(body.value("visitor").toString(), "Test Visitor");
        const QJsonObject note{{"label", "Note"}, {"value", "This is a test from Greetwell."}};
        QCOMPARE(body.value("fields").toArray(), QJsonArray({note}));
        QVERIFY(!body.contains("host"));
        QVERIFY(h.preferences.value("NotifyLastSuccess").toDateTime().isValid());
        // Nothing was saved: the test needs no save.
        for (const FakeHttpServer::Request &request : h.fake.requests)
            QCOMPARE(request.method, "GET");

        // A refusal, after its one retry, is shown and recorded.
        status = 404;
        click(h.button("sendTestMessageButton"));
        const QString refused = "The service answered with error 404. Check the webhook URL.";
        QTRY_COMPARE_WITH_TIMEOUT(h.label("alertsMessage")->text(), refused, 10000);
        QCOMPARE(receiver.requests.size(), 3);
        QCOMPARE(h.label("alertsMessage")->palette().color(QPalette::WindowText),
                 Style::errorColor(h.settings()->palette()));
        QCOMPARE(h.preferences.value("NotifyLastError").toString(), refused);
    }
};

GW_BACKEND_TEST(AlertSettingsTest)
GW_TEST(AlertAddressTest)
#include "AlertSettingsTests.moc"
