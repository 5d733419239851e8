// Rules of the desk model that a slip would break quietly: what a reset clears, what a
// cancelled load may say, the sign-in form's problem check and when the Visitors screen
// is told to reload.

#include "FakeDesk.h"
#include "support/TestMain.h"

#include <QSignalSpy>

using Reply = FakeHttpServer::Reply;

class AppModelRulesTests : public QObject {
    Q_OBJECT
private slots:
    // An account switch leaves nothing of the previous account, its banner included.
    void resetClearsEverything() {
        FakeDesk desk;
        AppModel &model = *desk.model;
        desk.addVisitor("Ada");
        desk.kioskRow = QJsonObject{{"fields", QJsonArray()}, {"employees", QJsonArray{"Bo"}}};
        runTask(model.loadSettings()).get();
        runTask(model.refresh()).get();
        desk.overrides["GET visitors"] = Reply::json(503, R"({"message":"down"})");
        runTask(model.refresh()).get();
        QCOMPARE(model.errorText(), "down");
        QVERIFY(model.hasSavedForm() && !model.onSite().isEmpty() && model.lastRefresh());

        QSignalSpy errorChanged(desk.model.get(), &AppModel::errorChanged);
        model.reset();
        QVERIFY(!model.error());
        QCOMPARE(errorChanged.count(), 1);
        QVERIFY(!model.hasSavedForm());
        QCOMPARE(model.settings(), KioskSettings::defaults());
        QVERIFY(model.onSite().isEmpty());
        QCOMPARE(model.counts(), DeskCounts{});
        QVERIFY(!model.lastRefresh());
    }

    // A settings load cancelled while it waits says nothing, answered or failed, at
    // either of its two requests.
    void cancelledSettingsLoadReportsNothing_data() {
        QTest::addColumn<QString>("waitingAt");
        QTest::addColumn<bool>("fails");
        for (const char *route : {"GET kiosk_settings", "GET notification_settings"})
            for (bool fails : {false, true})
                QTest::addRow("%s, %s", route, fails ? "fails" : "answered")
                    << QString(route) << fails;
    }
    void cancelledSettingsLoadReportsNothing() {
        QFETCH(QString, waitingAt);
        QFETCH(bool, fails);
        FakeDesk desk;
        AppModel &model = *desk.model;
        if (fails) {
            Reply down = Reply::json(503, R"({"message":"down"})");
            down.delayMs = 300;
            desk.overrides[waitingAt] = down;
        } else {
            desk.delays[waitingAt] = 300;
        }
        CancellationSource source;
        auto load = model.loadSettings(source.token());
        QTRY_COMPARE(desk.count(waitingAt), 1);
        source.cancel();
        runTask(std::move(load)).get();
        QTest::qWait(400); // past the late answer
        QVERIFY2(!model.error(), qPrintable(model.errorText()));
        QCOMPARE(model.notifications(), NotificationSettings::defaults());
    }

    // Required answers first, then e-mail answers; the name (slot 0) is always needed,
    // even where the stored form calls it optional.
    void problem_data() {
        QTest::addColumn<QList<KioskField>>("fields");
        QTest::addColumn<VisitorDraft>("draft");
        QTest::addColumn<QString>("expected"); // empty: no problem
        const KioskField optionalName{0, "Name", "Plain Text", false, false};
        const KioskField email{1, "Email", "Email", false, false};
        const KioskField company{2, "Company", "Plain Text", true, false};
        const auto draft = [](QMap<qint64, QString> answers) { return VisitorDraft{answers}; };
        QTest::newRow("optional name left empty")
            << QList{optionalName, email} << draft({}) << "Please fill in Name.";
        QTest::newRow("optional name only spaces")
            << QList{optionalName} << draft({{0, " \n\t"}}) << "Please fill in Name.";
        QTest::newRow("name before a later required field")
            << QList{optionalName, company} << draft({{2, "Acme"}}) << "Please fill in Name.";
        QTest::newRow("required field empty")
            << QList{optionalName, company} << draft({{0, "Ada"}}) << "Please fill in Company.";
        QTest::newRow("required before e-mail")
            << QList{optionalName, email, company} << draft({{0, "Ada"}, {1, "x"}})
            << "Please fill in Company.";
        QTest::newRow("bad e-mail")
            << QList{optionalName, email} << draft({{0, "Ada"}, {1, " ada@example "}})
            << "Please enter a valid email for Email.";
        QTest::newRow("empty optional e-mail")
            << QList{optionalName, email} << draft({{0, "Ada"}}) << "";
        QTest::newRow("all good") << QList{optionalName, email, company}
                                  << draft({{0, "Ada"}, {1, " ada@example.com "}, {2, "Acme"}})
                                  << "";
    }
    void problem() {
        QFETCH(QList<KioskField>, fields);
        QFETCH(VisitorDraft, draft);
        QFETCH(QString, expected);
        QCOMPARE(AppModel::problem(draft, fields).value_or(QString()), expected);
    }

    // The Visitors screen reloads once the sign-in's refresh has landed, so it finds the
    // new visitor; a failed refresh still tells it.
    void visitorRevisionFollowsTheRefresh_data() {
        QTest::addColumn<bool>("refreshFails");
        QTest::newRow("refresh answered") << false;
        QTest::newRow("refresh fails") << true;
    }
    void visitorRevisionFollowsTheRefresh() {
        QFETCH(bool, refreshFails);
        FakeDesk desk;
        AppModel &model = *desk.model;
        desk.delays["GET visitors"] = 100;
        if (refreshFails)
            desk.overrides["COUNT visitors"] = Reply::json(503, R"({"message":"down"})");
        int refreshesSeen = -1;
        qsizetype onSiteSeen = -1;
        connect(&model, &AppModel::visitorRevisionChanged, this, [&] {
            refreshesSeen = desk.count("GET visitors");
            onSiteSeen = model.onSite().size();
        });
        runTask(model.signIn(VisitorDraft{{{0, "Ada"}}}, std::nullopt)).get();
        QCOMPARE(model.visitorRevision(), 1);
        QCOMPARE(refreshesSeen, 1);
        // The list is applied by then, unless the refresh failed.
        QCOMPARE(onSiteSeen, refreshFails ? 0 : 1);
        QCOMPARE(model.errorText(), refreshFails ? "down" : "");
    }
};

GW_TEST(AppModelRulesTests)

#include "AppModelRulesTests.moc"
