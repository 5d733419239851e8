// The desk's screens while sign-ins wait on this computer: Today marks them, the
// counters include them, the banner counts them and lets a person retry or discard a
// refused one, and signing out of the account asks first.

#include "model/FakeDesk.h"
#include "support/TestMain.h"

#include "ui/AccountSettings.h"
#include "ui/DeskView.h"
#include "ui/OfflineBanner.h"
#include "ui/RollCall.h"
#include "ui/TodayView.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>

using Reply = FakeHttpServer::Reply;

namespace {

struct OfflineScreen {
    QTemporaryDir dir;
    FakeDesk desk;
    QSettings preferences{dir.filePath("preferences.ini"), QSettings::IniFormat};
    std::unique_ptr<DeskView> view;

    OfflineScreen() {
        desk.model->setQueueDirectory(dir.filePath("queue"));
        desk.addVisitor("Sam Synced");
        runTask(desk.model->refresh()).get();
        desk.overrides["POST visitors"] = Reply::json(503, "");
        KioskSettings form = KioskSettings::defaults();
        form.fields.append(KioskField{3, "Host", "Plain Text", false, true});
        form.employees = {"Dana Host"};
        desk.kioskRow = form.toJson();
        runTask(desk.model->loadSettings()).get();
        runTask(
            desk.model->signIn(VisitorDraft{{{0, "Ann Offline"}, {3, "dana host"}}}, std::nullopt))
            .get();
        runTask(desk.model->signIn(VisitorDraft{{{0, "Bob Offline"}}}, std::nullopt)).get();
        view = std::make_unique<DeskView>(desk.model.get(), &preferences);
        view->resize(1280, 800);
        view->show();
        QCoreApplication::processEvents();
    }
    OfflineBanner *banner() const { return view->findChild<OfflineBanner *>("offlineBanner"); }
    QMap<QString, OnSiteRow *> rows() const {
        QMap<QString, OnSiteRow *> byName;
        for (OnSiteRow *row : view->findChildren<OnSiteRow *>("onSiteRow"))
            byName.insert(row->row().visitorName, row);
        return byName;
    }
    static bool marked(OnSiteRow *row) {
        return !row->findChild<QLabel *>("unsyncedMarker")->isHidden();
    }
    // Offscreen pictures to look at, when GW_SCREENSHOTS names a folder.
    void shoot(const QString &name) {
        const QString folder = qEnvironmentVariable("GW_SCREENSHOTS");
        if (folder.isEmpty())
            return;
        for (const QSize size : {QSize(860, 560), QSize(1280, 800)}) {
            view->resize(size);
            QCoreApplication::processEvents();
            view->grab().save(QStringLiteral("%1/%2-%3.png").arg(folder, name).arg(size.width()));
        }
    }
};

// The dialog once it is open; null when it never does (the caller's use then fails).
QMessageBox *openBox(QWidget *parent, const QString &name) {
    QMessageBox *box = nullptr;
    QTest::qWaitFor([&] {
        box = parent->findChild<QMessageBox *>(name);
        return box != nullptr;
    });
    return box;
}

} // namespace

class OfflineScreenTests : public QObject {
    Q_OBJECT
private slots:
    void todayShowsWhatWaits() {
        OfflineScreen screen;
        // A refresh while the backend is still away: the list stays, the error shows too.
        runTask(screen.desk.model->refresh()).get();
        QCOMPARE(screen.desk.model->errorText(), QStringLiteral("The server answered 503."));
        screen.shoot("today-offline");
        const auto rows = screen.rows();
        QCOMPARE(rows.keys(), QStringList({"Ann Offline", "Bob Offline", "Sam Synced"}));
        QVERIFY(OfflineScreen::marked(rows["Ann Offline"]));
        QVERIFY(OfflineScreen::marked(rows["Bob Offline"]));
        QVERIFY(!OfflineScreen::marked(rows["Sam Synced"]));
        QVERIFY(rows["Ann Offline"]
                    ->findChild<QLabel *>("visitorDetail")
                    ->text()
                    .contains("Visiting Dana Host"));
        // The backend's 3 today, 2 on site, 11 this week, plus the two waiting here.
        QCOMPARE(screen.view->findChild<StatTile *>("visitorsTodayTile")->valueText(), "5");
        QCOMPARE(screen.view->findChild<StatTile *>("onSiteTile")->valueText(), "4");
        QCOMPARE(screen.view->findChild<StatTile *>("thisWeekTile")->valueText(), "13");
        QVERIFY(screen.banner()->isVisible());
        QCOMPARE(screen.banner()->waitingText(),
                 QStringLiteral("Offline — 2 sign-ins waiting to sync"));
        QCOMPARE(screen.banner()->heldText(), QString());

        // Signed out here: gone from the list, its sign-out waiting behind its sign-in.
        QTest::mouseClick(rows["Ann Offline"]->findChild<QPushButton *>("signOutButton"),
                          Qt::LeftButton);
        QTRY_COMPARE(screen.rows().keys(), QStringList({"Bob Offline", "Sam Synced"}));
        QCOMPARE(screen.view->findChild<StatTile *>("onSiteTile")->valueText(), "3");
        QCOMPARE(screen.banner()->waitingText(),
                 QStringLiteral("Offline — 2 sign-ins waiting to sync"));

        // Back: everything is sent, the marks and the banner go.
        screen.desk.overrides.remove("POST visitors");
        runTask(screen.desk.model->refresh()).get();
        QTRY_VERIFY(!screen.banner()->isVisible());
        QCOMPARE(screen.rows().keys(), QStringList({"Bob Offline", "Sam Synced"}));
        for (OnSiteRow *row : screen.rows())
            QVERIFY(!OfflineScreen::marked(row));
    }

    // Everyone in the building, as far as this desk knows, and said to be offline.
    void rollCallListsVisitorsWaitingHere() {
        OfflineScreen screen;
        const RollCall rollCall = RollCall::fromModel(*screen.desk.model);
        QStringList names;
        for (const VisitorRow &row : rollCall.onSite)
            names << row.visitorName;
        QCOMPARE(names, QStringList({"Ann Offline", "Bob Offline", "Sam Synced"}));
        QVERIFY(rollCall.offline);
        QVERIFY(rollCall.asOfText().startsWith(QStringLiteral("Offline — list as of ")));
    }

    void refusedVisitorIsForAPersonToDecide() {
        OfflineScreen screen;
        screen.desk.overrides["POST visitors"] =
            Reply::json(400, R"({"message":"Visitor name is too long."})");
        runTask(screen.desk.model->refresh()).get();
        screen.shoot("today-held");
        QCOMPARE(screen.banner()->heldText(),
                 QStringLiteral("Couldn't sync Ann Offline's sign-in: Visitor name is too long."));
        QCOMPARE(screen.banner()->waitingText(), QString());

        // Discard asks first; cancelling keeps Ann.
        QTest::mouseClick(screen.banner()->findChild<QPushButton *>("offlineDiscardButton"),
                          Qt::LeftButton);
        QMessageBox *box = openBox(screen.banner(), "discardHeldConfirmation");
        QVERIFY(box);
        QVERIFY(box->text().contains("Ann Offline"));
        box->button(QMessageBox::Cancel)->click();
        QVERIFY(screen.rows().contains("Ann Offline"));

        QTest::mouseClick(screen.banner()->findChild<QPushButton *>("offlineDiscardButton"),
                          Qt::LeftButton);
        box = openBox(screen.banner(), "discardHeldConfirmation");
        QVERIFY(box);
        box->findChild<QPushButton *>("confirmDiscardButton")->click();
        QTRY_VERIFY(!screen.rows().contains("Ann Offline"));
        QCOMPARE(screen.banner()->heldText(),
                 QStringLiteral("Couldn't sync Bob Offline's sign-in: Visitor name is too long."));

        // Retry, now that the backend takes it.
        screen.desk.overrides.remove("POST visitors");
        QTest::mouseClick(screen.banner()->findChild<QPushButton *>("offlineRetryButton"),
                          Qt::LeftButton);
        QTRY_VERIFY(!screen.banner()->isVisible());
        QTRY_VERIFY(screen.rows().contains("Bob Offline"));
        QVERIFY(!OfflineScreen::marked(screen.rows()["Bob Offline"]));
    }

    void signingOutOfTheAccountAsksFirst() {
        OfflineScreen screen;
        AccountSettings account(screen.desk.cloud.get());
        account.setQueueModel(screen.desk.model.get());
        account.show();
        auto *signOut = account.findChild<QPushButton *>("signOutButton");

        signOut->click();
        QMessageBox *box = openBox(&account, "signOutWaitingConfirmation");
        QVERIFY(box);
        QVERIFY(box->text().startsWith("2 sign-ins and sign-outs"));
        box->button(QMessageBox::Cancel)->click();
        QVERIFY(screen.desk.cloud->isSignedIn());

        signOut->click();
        box = openBox(&account, "signOutWaitingConfirmation");
        QVERIFY(box);
        box->findChild<QPushButton *>("confirmSignOutButton")->click();
        QTRY_VERIFY(!screen.desk.cloud->isSignedIn());
        // Kept for this account's next sign-in.
        QCOMPARE(OfflineQueue(screen.dir.filePath("queue"), screen.desk.userID).changes().size(),
                 2);
    }

    void signingOutWithNothingWaitingDoesNotAsk() {
        FakeDesk desk;
        QTemporaryDir dir;
        desk.model->setQueueDirectory(dir.path());
        AccountSettings account(desk.cloud.get());
        account.setQueueModel(desk.model.get());
        account.show();
        account.findChild<QPushButton *>("signOutButton")->click();
        QVERIFY(!desk.cloud->isSignedIn());
        QVERIFY(!account.findChild<QMessageBox *>("signOutWaitingConfirmation"));
    }
};

GW_TEST(OfflineScreenTests)

#include "OfflineScreenTests.moc"
