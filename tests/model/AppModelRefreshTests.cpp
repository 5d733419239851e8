// The desk model's lifecycle against a fake backend: one poller however often it is
// started, the poll timing, activation refreshes, the banner error, and resets.
//
// Activation is simulated by emitting QGuiApplication::applicationStateChanged on the
// application object, the signal the model subscribes to.

#include "FakeDesk.h"
#include "support/TestMain.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QTest>
#include <qcoro/qcorotask.h>

using Route = FakeDesk::Route;
using Reply = FakeHttpServer::Reply;
Q_DECLARE_METATYPE(Route)

namespace {

void activate(Qt::ApplicationState state = Qt::ApplicationActive) {
    emit qGuiApp->applicationStateChanged(state);
}

QString serverErrorText(int status, const QByteArray &body) {
    return CloudClient::parseErrorBody(status, body).description();
}

const QJsonObject savedForm{{"fields", QJsonArray{QJsonObject{{"slot", 0},
                                                              {"label", "Full name"},
                                                              {"type", "Plain Text"},
                                                              {"required", true},
                                                              {"employee_list", false}},
                                                  QJsonObject{{"slot", 1},
                                                              {"label", "Host"},
                                                              {"type", "Plain Text"},
                                                              {"required", false},
                                                              {"employee_list", true}}}},
                            {"employees", QJsonArray{"Ann", "Bob"}},
                            {"place_name", "HQ"}};
const QJsonObject savedAlerts{{"office_webhook", "https://hooks.example.com/x"},
                              {"notify_sign_in", false},
                              {"notify_sign_out", true},
                              {"employee_webhooks", QJsonObject{{"Ann", "https://a.example/"}}}};

} // namespace

class AppModelRefreshTests : public QObject {
    Q_OBJECT
private slots:
    void startTwiceGivesOnePollerAndOneSubscription() {
        FakeDesk desk;
        desk.model->setPollInterval(std::chrono::hours(1));
        desk.model->start();
        desk.model->start();
        QVERIFY(desk.model->isPolling());
        QTRY_VERIFY(desk.model->lastRefresh().has_value());
        QTest::qWait(150);
        QCOMPARE(desk.count(Route::kiosk), 1);
        QCOMPARE(desk.count(Route::notify), 1);
        QCOMPARE(desk.count(Route::onSite), 1);
        QCOMPARE(desk.count(Route::count), 3);

        // Each activation is one refresh, whatever the poll's timing; other states none.
        activate();
        QTRY_COMPARE(desk.count(Route::onSite), 2);
        activate(Qt::ApplicationInactive);
        activate(Qt::ApplicationHidden);
        activate();
        activate();
        QTRY_COMPARE(desk.count(Route::onSite), 4);
        QTest::qWait(150);
        QCOMPARE(desk.count(Route::onSite), 4);
        QCOMPARE(desk.count(Route::kiosk), 1);

        desk.model->reset();
        QVERIFY(!desk.model->isPolling());
        activate();
        QTest::qWait(150);
        QCOMPARE(desk.count(Route::onSite), 4);

        // A new run after the reset loads the settings again.
        desk.model->start();
        QTRY_COMPARE(desk.count(Route::kiosk), 2);
        QTRY_COMPARE(desk.count(Route::onSite), 5);
    }

    void pollIsTimedFromTheEndOfEachRefresh() {
        FakeDesk desk;
        desk.delays[Route::onSite] = 250;
        desk.model->setPollInterval(std::chrono::milliseconds(300));
        QElapsedTimer clock;
        QList<qint64> onSiteAt;
        QObject::connect(&desk.server, &FakeHttpServer::requestReceived, [&] {
            if (FakeDesk::routeOf(desk.server.requests.last()) == Route::onSite)
                onSiteAt.append(clock.elapsed());
        });
        clock.start();
        desk.model->start();
        QTRY_VERIFY_WITH_TIMEOUT(onSiteAt.size() >= 3, 5000);
        desk.model->reset();
        for (int i = 1; i < 3; ++i) {
            const qint64 gap = onSiteAt[i] - onSiteAt[i - 1];
            // 250 ms answer plus the 300 ms pause; a timer counted from the start of
            // each refresh would fire after 300 ms.
            QVERIFY2(gap >= 530 && gap < 1500, qPrintable(QString::number(gap)));
        }
    }

    void refreshFailureKeepsThePreviousState_data() {
        QTest::addColumn<Route>("failing");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("message");
        const QByteArray body = R"({"message":"database unavailable"})";
        QTest::newRow("counts fail")
            << Route::count << Reply::json(503, body) << serverErrorText(503, body);
        QTest::newRow("on-site list fails")
            << Route::onSite << Reply::json(500, body) << serverErrorText(500, body);
        QTest::newRow("unreadable row")
            << Route::onSite << Reply::json(200, R"([{"id":"x"}])") << QString();
    }
    void refreshFailureKeepsThePreviousState() {
        QFETCH(Route, failing);
        QFETCH(Reply, reply);
        QFETCH(QString, message);
        FakeDesk desk;
        AppModel &model = *desk.model;
        desk.addVisitor("First");
        waitTask(model.refresh());
        QCOMPARE(model.onSite().size(), 1);
        QCOMPARE(model.counts(), (DeskCounts{3, 2, 11}));
        QCOMPARE(model.lastRefresh(), std::optional<QDateTime>(FakeDesk::now()));
        QVERIFY(!model.error());

        QSignalSpy onSiteSpy(&model, &AppModel::onSiteChanged);
        QSignalSpy countsSpy(&model, &AppModel::countsChanged);
        QSignalSpy errorSpy(&model, &AppModel::errorChanged);
        QSignalSpy lastRefreshSpy(&model, &AppModel::lastRefreshChanged);
        desk.addVisitor("Second");
        desk.counts = {4, 3, 12};
        desk.overrides[failing] = reply;
        waitTask(model.refresh());
        QCOMPARE(model.onSite().size(), 1);
        QCOMPARE(model.onSite().first().visitorName, QStringLiteral("First"));
        QCOMPARE(model.counts(), (DeskCounts{3, 2, 11}));
        QVERIFY(model.error().has_value());
        if (!message.isEmpty())
            QCOMPARE(*model.error(), message);
        QVERIFY(!model.error()->isEmpty());
        QCOMPARE(errorSpy.count(), 1);

        // The same failure again changes nothing observable.
        waitTask(model.refresh());
        QCOMPARE(errorSpy.count(), 1);
        QCOMPARE(onSiteSpy.count(), 0);
        QCOMPARE(countsSpy.count(), 0);
        QCOMPARE(lastRefreshSpy.count(), 0);

        // The next good refresh applies both results and clears the banner.
        desk.overrides.clear();
        waitTask(model.refresh());
        QCOMPARE(model.onSite().size(), 2);
        QCOMPARE(model.onSite().first().visitorName, QStringLiteral("Second"));
        QCOMPARE(model.counts(), (DeskCounts{4, 3, 12}));
        QVERIFY(!model.error());
        QCOMPARE(errorSpy.count(), 2);
        QCOMPARE(onSiteSpy.count(), 1);
        QCOMPARE(countsSpy.count(), 1);
    }

    void queriesRunConcurrently() {
        FakeDesk desk;
        desk.delays[Route::onSite] = 400;
        desk.delays[Route::count] = 400;
        QElapsedTimer timer;
        timer.start();
        waitTask(desk.model->refresh());
        QVERIFY(desk.model->lastRefresh().has_value());
        QVERIFY2(timer.elapsed() < 750, qPrintable(QString::number(timer.elapsed())));
    }

    void resetDuringAWaitingRefreshShowsNoError_data() {
        QTest::addColumn<Reply>("reply");
        Reply never;
        never.never = true;
        Reply lateFailure = Reply::json(500, R"({"message":"late"})");
        lateFailure.delayMs = 300;
        Reply hangUp;
        hangUp.hangUp = true;
        hangUp.delayMs = 300;
        QTest::newRow("never answered") << never;
        QTest::newRow("fails after the reset") << lateFailure;
        QTest::newRow("connection dropped after the reset") << hangUp;
    }
    void resetDuringAWaitingRefreshShowsNoError() {
        QFETCH(Reply, reply);
        FakeDesk desk;
        desk.overrides[Route::onSite] = reply;
        desk.model->start();
        QTRY_COMPARE(desk.count(Route::onSite), 1);
        // A second refresh of the same run, started by activation, waits too.
        activate();
        QTRY_COMPARE(desk.count(Route::onSite), 2);
        QSignalSpy errorSpy(desk.model.get(), &AppModel::errorChanged);
        desk.model->reset();
        QTest::qWait(600);
        QVERIFY(!desk.model->error());
        QCOMPARE(errorSpy.count(), 0);
        QVERIFY(!desk.model->lastRefresh());
    }

    void refreshFromAnEarlierAccountAppliesNothing_data() {
        QTest::addColumn<bool>("fails");
        QTest::newRow("answers rows") << false;
        QTest::newRow("fails") << true;
    }
    void refreshFromAnEarlierAccountAppliesNothing() {
        // A refresh not owned by the poller (a sign-in's, the menu's) is not cancelled by
        // a reset; what it brings back belongs to the previous account.
        QFETCH(bool, fails);
        FakeDesk desk;
        desk.addVisitor("Previous account's visitor");
        desk.delays[Route::onSite] = 300;
        if (fails)
            desk.overrides[Route::count] = Reply::json(500, R"({"message":"late"})");
        auto refresh = desk.model->refresh();
        QTRY_COMPARE(desk.count(Route::onSite), 1);
        desk.model->reset();
        waitTask(std::move(refresh));
        QVERIFY(desk.model->onSite().isEmpty());
        QCOMPARE(desk.model->counts(), DeskCounts{});
        QVERIFY(!desk.model->lastRefresh());
        QVERIFY(!desk.model->error());
    }

    void settingsLoad_data() {
        QTest::addColumn<std::optional<QJsonObject>>("kioskRow");
        QTest::addColumn<std::optional<QJsonObject>>("notifyRow");
        QTest::addColumn<std::optional<Reply>>("kioskFailure");
        QTest::addColumn<std::optional<Reply>>("notifyFailure");
        using Row = std::optional<QJsonObject>;
        using Fail = std::optional<Reply>;
        const Reply down = Reply::json(500, R"({"message":"down"})");
        QTest::newRow("no rows") << Row() << Row() << Fail() << Fail();
        QTest::newRow("form only") << Row(savedForm) << Row() << Fail() << Fail();
        QTest::newRow("both rows") << Row(savedForm) << Row(savedAlerts) << Fail() << Fail();
        QTest::newRow("form fails") << Row(savedForm) << Row(savedAlerts) << Fail(down) << Fail();
        QTest::newRow("alerts fail") << Row(savedForm) << Row(savedAlerts) << Fail() << Fail(down);
    }
    void settingsLoad() {
        QFETCH(std::optional<QJsonObject>, kioskRow);
        QFETCH(std::optional<QJsonObject>, notifyRow);
        QFETCH(std::optional<Reply>, kioskFailure);
        QFETCH(std::optional<Reply>, notifyFailure);
        FakeDesk desk;
        desk.kioskRow = kioskRow;
        desk.notifyRow = notifyRow;
        if (kioskFailure)
            desk.overrides[Route::kiosk] = *kioskFailure;
        if (notifyFailure)
            desk.overrides[Route::notify] = *notifyFailure;
        AppModel &model = *desk.model;
        model.report(QStringLiteral("Earlier trouble"));
        QSignalSpy settingsSpy(&model, &AppModel::settingsChanged);
        waitTask(model.loadSettings());

        const bool formLoaded = kioskRow && !kioskFailure;
        QCOMPARE(model.hasSavedForm(), formLoaded);
        QCOMPARE(model.settings(),
                 formLoaded ? KioskSettings::fromJson(*kioskRow) : KioskSettings::defaults());
        QCOMPARE(settingsSpy.count(), formLoaded ? 1 : 0);
        const bool alertsLoaded = formLoaded && notifyRow && !notifyFailure;
        QCOMPARE(model.notifications(), alertsLoaded ? NotificationSettings::fromJson(*notifyRow)
                                                     : NotificationSettings::defaults());
        // A failed form load does not go on to the alert settings.
        QCOMPARE(desk.count(Route::notify), kioskFailure ? 0 : 1);
        if (kioskFailure || notifyFailure)
            QCOMPARE(model.errorText(), serverErrorText(500, R"({"message":"down"})"));
        else // a good load leaves the banner to the next refresh
            QCOMPARE(model.errorText(), QStringLiteral("Earlier trouble"));
    }

    void withoutSessionNothingIsLoaded() {
        FakeDesk desk;
        desk.cloud->signOut();
        waitTask(desk.model->loadSettings());
        waitTask(desk.model->refresh());
        desk.model->start();
        QTest::qWait(100);
        desk.model->reset();
        QCOMPARE(desk.count(Route::kiosk) + desk.count(Route::onSite) + desk.count(Route::count),
                 0);
        QVERIFY(!desk.model->error());
        QVERIFY(!desk.model->lastRefresh());
    }

    void resetReturnsToTheInitialState() {
        FakeDesk desk;
        AppModel &model = *desk.model;
        model.reset(); // nothing running: harmless
        QVERIFY(!model.isPolling());

        desk.kioskRow = savedForm;
        desk.notifyRow = savedAlerts;
        desk.addVisitor("Vera");
        model.setSigningIn(true);
        model.start();
        QTRY_VERIFY(model.lastRefresh().has_value());
        model.report(QStringLiteral("Something"));
        QVERIFY(model.hasSavedForm());

        QSignalSpy onSiteSpy(&model, &AppModel::onSiteChanged);
        model.reset();
        QCOMPARE(model.settings(), KioskSettings::defaults());
        QCOMPARE(model.notifications(), NotificationSettings::defaults());
        QVERIFY(!model.hasSavedForm());
        QVERIFY(model.onSite().isEmpty());
        QCOMPARE(model.counts(), DeskCounts{});
        QVERIFY(!model.lastRefresh());
        QVERIFY(!model.error());
        QVERIFY(model.isSigningIn());
        QCOMPARE(onSiteSpy.count(), 1);
        model.reset();
        QCOMPARE(onSiteSpy.count(), 1);
    }

    void pollerDoesNotKeepTheModelAlive() {
        FakeDesk desk;
        desk.delays[Route::onSite] = 200;
        desk.model->setPollInterval(std::chrono::milliseconds(50));
        desk.model->start();
        QTRY_COMPARE(desk.count(Route::onSite), 1);
        desk.model.reset(); // destroyed while its refresh is waiting
        QTest::qWait(400);
        QCOMPARE(desk.count(Route::onSite), 1);
    }
};

GW_TEST(AppModelRefreshTests)
#include "AppModelRefreshTests.moc"
