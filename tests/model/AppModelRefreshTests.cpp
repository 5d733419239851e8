// The desk model's lifecycle against a fake backend: one poller however often it is
// started, activation refreshes, the banner error, resets and settings loads.

#include "FakeDesk.h"
#include "support/TestMain.h"

#include <QGuiApplication>
#include <QSignalSpy>

using Reply = FakeHttpServer::Reply;

namespace {
void activate(Qt::ApplicationState state = Qt::ApplicationActive) {
    emit qGuiApp->applicationStateChanged(state);
}
const QByteArray downBody = R"({"message":"down"})";
} // namespace

class AppModelRefreshTests : public QObject {
    Q_OBJECT
private slots:
    void startTwiceGivesOnePollerAndActivationRefreshes() {
        FakeDesk desk;
        desk.model->setPollInterval(std::chrono::hours(1));
        desk.model->start();
        desk.model->start();
        QTRY_VERIFY(desk.model->lastRefresh().has_value());
        QTest::qWait(150);
        QCOMPARE(desk.count("GET kiosk_settings"), 1);
        QCOMPARE(desk.count("GET visitors"), 1);

        // Each activation is one refresh (one subscription); other states none.
        activate();
        activate(Qt::ApplicationInactive);
        activate();
        QTRY_COMPARE(desk.count("GET visitors"), 3);
        QTest::qWait(150);
        QCOMPARE(desk.count("GET visitors"), 3);

        desk.model->reset();
        activate();
        QTest::qWait(150);
        QCOMPARE(desk.count("GET visitors"), 3);
    }

    void failedRefreshKeepsTheOldStateUntilAGoodOne_data() {
        QTest::addColumn<QString>("failing");
        QTest::newRow("counts fail") << "COUNT visitors";
        QTest::newRow("on-site list fails") << "GET visitors";
    }
    void failedRefreshKeepsTheOldStateUntilAGoodOne() {
        QFETCH(QString, failing);
        FakeDesk desk;
        AppModel &model = *desk.model;
        desk.addVisitor("First");
        runTask(model.refresh()).get();

        desk.addVisitor("Second");
        desk.counts = {4, 3, 12};
        desk.overrides[failing] = Reply::json(503, downBody);
        runTask(model.refresh()).get();
        // Both results are applied together or not at all.
        QCOMPARE(model.onSite().size(), 1);
        QCOMPARE(model.counts(), (DeskCounts{3, 2, 11}));
        QCOMPARE(model.errorText(), CloudClient::parseErrorBody(503, downBody).description());
        QVERIFY(!model.errorText().isEmpty());

        desk.overrides.clear();
        runTask(model.refresh()).get();
        QCOMPARE(model.onSite().size(), 2);
        QCOMPARE(model.counts(), (DeskCounts{4, 3, 12}));
        QVERIFY(!model.error());
    }

    void resetDuringAWaitingRefreshShowsNothing_data() {
        QTest::addColumn<bool>("polled"); // the poller's and an activation's, or a sign-in's
        QTest::addColumn<bool>("fails");
        QTest::newRow("poller's, answered late") << true << false;
        QTest::newRow("poller's, fails late") << true << true;
        QTest::newRow("sign-in's, answered late") << false << false;
        QTest::newRow("sign-in's, fails late") << false << true;
    }
    void resetDuringAWaitingRefreshShowsNothing() {
        // A refresh not owned by the poller outlives a reset; what it brings back belongs
        // to the previous account.
        QFETCH(bool, polled);
        QFETCH(bool, fails);
        FakeDesk desk;
        desk.addVisitor("Previous account's visitor");
        desk.delays["GET visitors"] = 300;
        if (fails)
            desk.overrides["COUNT visitors"] = Reply::json(500, downBody);
        std::optional<QCoro::Task<>> own;
        if (polled) {
            desk.model->start();
            QTRY_COMPARE(desk.count("GET visitors"), 1);
            activate();
            QTRY_COMPARE(desk.count("GET visitors"), 2);
        } else {
            own.emplace(desk.model->refresh());
            QTRY_COMPARE(desk.count("GET visitors"), 1);
        }
        QSignalSpy errorSpy(desk.model.get(), &AppModel::errorChanged);
        desk.model->reset();
        QTest::qWait(600);
        QCOMPARE(errorSpy.count(), 0);
        QVERIFY(desk.model->onSite().isEmpty());
        QCOMPARE(desk.model->counts(), DeskCounts{});
        QVERIFY(!desk.model->lastRefresh());
    }

    void settingsLoadWithAndWithoutRows() {
        FakeDesk desk;
        runTask(desk.model->loadSettings()).get();
        QVERIFY(!desk.model->hasSavedForm());
        QCOMPARE(desk.model->settings(), KioskSettings::defaults());

        const KioskSettings form{KioskSettings::defaults().fields, {"Ann"}, "HQ"};
        const NotificationSettings alerts{
            "https://h.example/x", false, true, {{"Ann", "https://a/"}}};
        desk.kioskRow = form.toJson();
        desk.notifyRow = alerts.toJson();
        runTask(desk.model->loadSettings()).get();
        QVERIFY(desk.model->hasSavedForm());
        QCOMPARE(desk.model->settings(), form);
        QCOMPARE(desk.model->notifications(), alerts);
        QVERIFY(!desk.model->error());

        desk.overrides["GET kiosk_settings"] = Reply::json(500, downBody);
        runTask(desk.model->loadSettings()).get();
        QVERIFY(desk.model->error());
        QCOMPARE(desk.model->settings(), form); // a failed load keeps what was there
    }
};

GW_TEST(AppModelRefreshTests)
#include "AppModelRefreshTests.moc"
