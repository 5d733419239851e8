#include "DeskHarness.h"
#include "badge/BadgePrinter.h"
#include "model/AppModel.h"
#include "support/TestMain.h"
#include "ui/AnswerField.h"
#include "ui/SignInVisitorSheet.h"
#include "ui/TodayView.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QFormLayout>
#include <QJsonDocument>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

namespace {
QJsonObject field(int slot, const QString &label, const QString &type, bool required,
                  bool employeeList = false) {
    return {{"slot", slot},
            {"label", label},
            {"type", type},
            {"required", required},
            {"employee_list", employeeList}};
}

// Name, a required host chosen from the employees, an optional e-mail.
QJsonObject hostForm() {
    return {{"fields", QJsonArray{field(0, "Name", "Plain Text", true),
                                  field(1, "Host", "Plain Text", true, true),
                                  field(2, "Email", "Email", false)}},
            {"employees", QJsonArray{"Dana Scully", "Fox Mulder"}}};
}

QList<OnSiteRow *> shownRows(DeskView *desk) {
    QList<OnSiteRow *> rows;
    for (OnSiteRow *row : desk->findChildren<OnSiteRow *>())
        if (row->isVisibleTo(desk))
            rows.append(row);
    return rows;
}

QStringList shownNames(DeskView *desk) {
    QStringList names;
    for (OnSiteRow *row : shownRows(desk))
        names << row->row().visitorName;
    names.sort();
    return names;
}

OnSiteRow *rowOf(DeskView *desk, const QString &name) {
    for (OnSiteRow *row : shownRows(desk))
        if (row->row().visitorName == name)
            return row;
    return nullptr;
}

AnswerField *answer(SignInVisitorSheet *sheet, int slot) {
    return sheet->findChild<AnswerField *>(QStringLiteral("answerField%1").arg(slot));
}

QString sheetLabel(SignInVisitorSheet *sheet, int slot) {
    auto *form = sheet->findChild<QFormLayout *>();
    auto *label = qobject_cast<QLabel *>(form->labelForField(answer(sheet, slot)));
    return label ? label->text() : QString();
}

QMessageBox *openBox(QWidget *root, const char *name) {
    for (QMessageBox *box : root->findChildren<QMessageBox *>(name))
        if (box->isVisible())
            return box;
    return nullptr;
}
} // namespace

// Stands in for the web browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

// What a person at the desk does, from the account screen to signing visitors in and
// out, against an in-memory backend.
class DeskFlowTest : public QObject {
    Q_OBJECT

private slots:
    void signInShowsTodayWithoutRestart() {
        DeskHarness h;
        h.backend.addVisitor("Ann Lee", QDateTime::currentDateTimeUtc().addSecs(-600), "Dana",
                             "Front Desk");
        h.backend.addVisitor("Bo Chen", QDateTime::currentDateTimeUtc().addSecs(-60));
        h.launch();
        QVERIFY(h.auth());
        QVERIFY(!h.desk());
        QVERIFY(!h.window()->signInVisitorAction()->isEnabled());
        QVERIFY(!h.window()->newInviteAction()->isEnabled());
        QVERIFY(!h.window()->refreshAction()->isEnabled());
        QVERIFY(!h.model()->isPolling());

        typeInto(h.find<QLineEdit>("emailField"), h.backend.email);
        typeInto(h.find<QLineEdit>("passwordField"), h.backend.password);
        QTest::keyClick(h.find<QLineEdit>("passwordField"), Qt::Key_Return);

        QTRY_VERIFY(h.desk());
        QCOMPARE(h.desk()->section(), std::optional(DeskSection::today));
        QVERIFY(qobject_cast<TodayView *>(h.desk()->currentSectionView()));
        QVERIFY(h.model()->isPolling());
        QVERIFY(h.window()->signInVisitorAction()->isEnabled());
        QVERIFY(h.window()->refreshAction()->isEnabled());
        QTRY_COMPARE(shownNames(h.desk()), QStringList({"Ann Lee", "Bo Chen"}));
        QCOMPARE(h.find<StatTile>("onSiteTile")->valueText(), QStringLiteral("2"));
        QVERIFY(h.find<QLabel>("sectionSubtitle")->text().startsWith("Updated "));
        // Newest sign-in first.
        QCOMPARE(h.find<OnSiteRow>("onSiteRow")->row().visitorName, QStringLiteral("Bo Chen"));
        QCOMPARE(h.desk()->findChildren<QFrame *>("rowDivider").size(), 1);
        QVERIFY(rowOf(h.desk(), "Ann Lee")
                    ->findChild<QLabel *>("visitorDetail")
                    ->text()
                    .endsWith(" · Visiting Dana · Front Desk"));
    }

    void todayBeforeAndAfterFirstRefresh() {
        DeskHarness h;
        h.storeSession();
        h.launch();
        // Nothing has answered yet.
        QCOMPARE(h.find<QLabel>("emptyDescription")->text(), QStringLiteral("Loading…"));
        QCOMPARE(h.find<QLabel>("sectionSubtitle")->text(), QString());
        QTRY_COMPARE(h.find<QLabel>("emptyDescription")->text(),
                     QStringLiteral("Visitors signed in on any device show up here."));
        QVERIFY(h.find<QLabel>("sectionSubtitle")->text().startsWith("Updated "));
        QVERIFY(h.find<QWidget>("emptyState")->isVisible());
        QVERIFY(!h.find<QWidget>("onSiteList")->isVisible());
        QVERIFY(!h.find<QToolButton>("signOutEveryoneActionButton")->isEnabled());
    }

    void walkInNeedsEveryRequiredAnswer() {
        DeskHarness h;
        h.backend.kioskSettings = hostForm();
        h.storeSession();
        h.launch();
        QTRY_VERIFY(h.model()->lastRefresh());
        QTRY_COMPARE(h.model()->settings().employees.size(), 2);

        QVERIFY(QTest::qWaitForWindowActive(h.window()));
        QTest::keyClick(h.window(), Qt::Key_N, Qt::ControlModifier);
        QTRY_VERIFY(h.find<SignInVisitorSheet>("signInSheet"));
        auto *sheet = h.find<SignInVisitorSheet>("signInSheet");
        QVERIFY(h.model()->isSigningIn());
        QTRY_VERIFY(sheet->isVisible());
        // Asking again while it is open opens nothing more.
        h.window()->signInVisitorAction()->trigger();
        click(h.find<QToolButton>("signInVisitorButton"));
        QCOMPARE(h.window()->findChildren<SignInVisitorSheet *>().size(), 1);

        QCOMPARE(sheetLabel(sheet, 0), QStringLiteral("Name"));
        QCOMPARE(sheetLabel(sheet, 1), QStringLiteral("Host"));
        QCOMPARE(sheetLabel(sheet, 2), QStringLiteral("Email (optional)"));
        QVERIFY(!sheet->findChild<QComboBox *>("expectedPicker")->isVisible());

        typeInto(answer(sheet, 0)->lineEdit(), "Ann Lee");
        click(sheet->findChild<QPushButton *>("signInButton"));
        QCOMPARE(sheet->findChild<QLabel *>("sheetMessage")->text(),
                 QStringLiteral("Please fill in Host."));

        // The employee menu fills the host in.
        QToolButton *employees = answer(sheet, 1)->employeeButton();
        QVERIFY(employees);
        QCOMPARE(employees->toolTip(), QStringLiteral("Choose an employee"));
        employees->menu()->actions().at(1)->trigger();
        QCOMPARE(answer(sheet, 1)->value(), QStringLiteral("Fox Mulder"));
        typeInto(answer(sheet, 2)->lineEdit(), "ann@example");
        QTest::keyClick(answer(sheet, 2)->lineEdit(), Qt::Key_Return);
        QCOMPARE(sheet->findChild<QLabel *>("sheetMessage")->text(),
                 QStringLiteral("Please enter a valid email for Email."));
        QVERIFY(h.backend.requestsTo("POST", "/rest/v1/visitors").isEmpty());
        QVERIFY(sheet->isVisible());

        typeInto(answer(sheet, 2)->lineEdit(), "ann@example.com");
        click(sheet->findChild<QPushButton *>("signInButton"));
        QTRY_VERIFY(!h.find<SignInVisitorSheet>("signInSheet"));
        QVERIFY(!h.model()->isSigningIn());
        const auto inserts = h.backend.requestsTo("POST", "/rest/v1/visitors");
        QCOMPARE(inserts.size(), 1);
        const QJsonObject sent = QJsonDocument::fromJson(inserts[0].body).object();
        QCOMPARE(sent.value("visitor_name").toString(), QStringLiteral("Ann Lee"));
        QCOMPARE(sent.value("host_name").toString(), QStringLiteral("Fox Mulder"));
        QTRY_COMPARE(shownNames(h.desk()), QStringList{"Ann Lee"});

        // Closed, it opens again, empty.
        click(h.find<QToolButton>("signInVisitorButton"));
        QTRY_VERIFY(h.find<SignInVisitorSheet>("signInSheet"));
        QCOMPARE(answer(h.find<SignInVisitorSheet>("signInSheet"), 0)->value(), QString());
        QTest::keyClick(h.find<SignInVisitorSheet>("signInSheet"), Qt::Key_Escape);
        QTRY_VERIFY(!h.model()->isSigningIn());
        QCOMPARE(h.backend.requestsTo("POST", "/rest/v1/visitors").size(), 1);
    }

    void signInFromAnInvite() {
        DeskHarness h;
        h.backend.kioskSettings = hostForm();
        const QString yesterday = QDate::currentDate().addDays(-1).toString(Qt::ISODate);
        h.backend.addInvite("Used Already", std::nullopt)["used_at"] =
            formatTimestamp(QDateTime::currentDateTimeUtc());
        h.backend.addInvite("Wes Waiting", std::nullopt);
        const Invite late = Invite::fromJson(h.backend.addInvite(
            "Lara Late", yesterday,
            QJsonArray{QJsonObject{{"slot", 1}, {"value", "Dana Scully"}},
                       QJsonObject{{"slot", 2}, {"value", "lara@example.org"}}}));
        h.storeSession();
        h.launch();
        QTRY_VERIFY(h.model()->lastRefresh());

        h.desk()->signInInvite(late);
        QTRY_VERIFY(h.find<SignInVisitorSheet>("inviteSignInSheet"));
        auto *sheet = h.find<SignInVisitorSheet>("inviteSignInSheet");
        auto *picker = sheet->findChild<QComboBox *>("expectedPicker");
        QTRY_VERIFY(picker->isVisible());
        // The expired invite is not waiting, but it is the one being signed in: first.
        QCOMPARE(picker->count(), 3);
        QCOMPARE(picker->itemText(0), QStringLiteral("Walk-in"));
        QCOMPARE(picker->itemText(1), QStringLiteral("Lara Late"));
        QCOMPARE(picker->itemText(2), QStringLiteral("Wes Waiting"));
        QCOMPARE(picker->currentIndex(), 1);
        QCOMPARE(answer(sheet, 0)->value(), QStringLiteral("Lara Late"));
        QCOMPARE(answer(sheet, 1)->value(), QStringLiteral("Dana Scully"));

        // Choosing another entry starts over; anything typed is gone.
        typeInto(answer(sheet, 2)->lineEdit(), "typed@example.org");
        picker->activated(0);
        for (int slot : {0, 1, 2})
            QCOMPARE(answer(sheet, slot)->value(), QString());
        QCOMPARE(sheet->invite(), std::nullopt);
        picker->setCurrentIndex(1);
        picker->activated(1);
        QCOMPARE(answer(sheet, 2)->value(), QStringLiteral("lara@example.org"));

        click(sheet->findChild<QPushButton *>("signInButton"));
        QTRY_VERIFY(!h.find<SignInVisitorSheet>("inviteSignInSheet"));
        QCOMPARE(h.desk()->signingInInvite(), std::nullopt);
        const auto marks = h.backend.requestsTo("PATCH", "/rest/v1/invites");
        QCOMPARE(marks.size(), 1);
        QCOMPARE(marks[0].query().queryItemValue("id"),
                 "eq." + late.id.toString(QUuid::WithoutBraces));
        QTRY_COMPARE(shownNames(h.desk()), QStringList{"Lara Late"});

        // The same invite can be chosen again once its sheet has closed.
        h.desk()->signInInvite(late);
        QTRY_VERIFY(h.find<SignInVisitorSheet>("inviteSignInSheet"));
    }

    void noExpectedPickerWithoutWaitingInvites_data() {
        QTest::addColumn<bool>("fetchFails");
        QTest::newRow("none waiting") << false;
        QTest::newRow("fetch fails") << true;
    }

    void noExpectedPickerWithoutWaitingInvites() {
        QFETCH(bool, fetchFails);
        DeskHarness h;
        h.backend.addInvite("Past Pat", QDate::currentDate().addDays(-3).toString(Qt::ISODate));
        h.backend.failInviteReads = fetchFails;
        h.storeSession();
        h.launch();
        QTRY_VERIFY(h.model()->lastRefresh());
        h.model()->setSigningIn(true);
        QTRY_VERIFY(h.find<SignInVisitorSheet>("signInSheet"));
        auto *sheet = h.find<SignInVisitorSheet>("signInSheet");
        QSignalSpy loaded(sheet, &SignInVisitorSheet::expectedLoaded);
        QVERIFY(loaded.wait());
        QVERIFY(!sheet->findChild<QComboBox *>("expectedPicker")->isVisible());
        QVERIFY(sheet->message() == std::nullopt);
        QCOMPARE(answer(sheet, 0)->value(), QString());
    }

    void badgeThatCannotPrintClearsTheForm() {
        DeskHarness h;
        h.storeSession();
        h.launch();
        h.app->printer()->setAutoPrint(true);
        h.app->printer()->setPrinterName("Greetwell Test No Such Printer");
        QTRY_VERIFY(h.model()->lastRefresh());
        h.model()->setSigningIn(true);
        QTRY_VERIFY(h.find<SignInVisitorSheet>("signInSheet"));
        auto *sheet = h.find<SignInVisitorSheet>("signInSheet");
        QVERIFY(sheet->findChild<QWidget *>("badgeNote")->isVisible());

        typeInto(answer(sheet, 0)->lineEdit(), "  Ann Lee  ");
        typeInto(answer(sheet, 1)->lineEdit(), "ann@example.com");
        click(sheet->findChild<QPushButton *>("signInButton"));
        QTRY_VERIFY(sheet->message());
        QCOMPARE(*sheet->message(), QStringLiteral("Ann Lee is signed in, but: No printer is "
                                                   "available. Choose one in Settings > Badges."));
        QVERIFY(sheet->isVisible());
        QVERIFY(sheet->findChild<QPushButton *>("signInButton")->isEnabled());
        QCOMPARE(answer(sheet, 0)->value(), QString());
        QCOMPARE(answer(sheet, 1)->value(), QString());
        QCOMPARE(sheet->draft(), VisitorDraft{});
        QTRY_COMPARE(shownNames(h.desk()), QStringList{"Ann Lee"});
    }

    void signOutOneThenEveryone() {
        DeskHarness h;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        h.backend.addVisitor("Ann Lee", now.addSecs(-300));
        h.backend.addVisitor("Bo Chen", now.addSecs(-200));
        h.backend.addVisitor("Cy Diaz", now.addSecs(-100));
        h.storeSession();
        h.launch();
        QTRY_COMPARE(shownRows(h.desk()).size(), 3);

        click(rowOf(h.desk(), "Bo Chen")->findChild<QPushButton *>("signOutButton"));
        QTRY_COMPARE(shownNames(h.desk()), QStringList({"Ann Lee", "Cy Diaz"}));
        QCOMPARE(h.backend.onSite().size(), 2);

        click(h.find<QToolButton>("signOutEveryoneActionButton"));
        QMessageBox *confirm = openBox(h.window(), "signOutEveryoneConfirmation");
        QVERIFY(confirm);
        QCOMPARE(confirm->text(), QStringLiteral("Sign out all 2 visitors on site?"));
        click(confirm->findChild<QPushButton *>("confirmSignOutEveryoneButton"));
        QTRY_VERIFY(shownRows(h.desk()).isEmpty());
        QVERIFY(h.backend.onSite().isEmpty());
        QVERIFY(!openBox(h.window(), "actionErrorAlert"));
        QVERIFY(h.find<QWidget>("emptyState")->isVisible());
        QTRY_VERIFY(!h.find<QToolButton>("signOutEveryoneActionButton")->isEnabled());
    }

    void cancellingSignOutEveryoneKeepsEveryone() {
        DeskHarness h;
        h.backend.addVisitor("Ann Lee", QDateTime::currentDateTimeUtc());
        h.storeSession();
        h.launch();
        QTRY_COMPARE(shownRows(h.desk()).size(), 1);
        QCOMPARE(h.desk()->findChildren<QFrame *>("rowDivider").size(), 0);
        click(h.find<QToolButton>("signOutEveryoneActionButton"));
        QMessageBox *confirm = openBox(h.window(), "signOutEveryoneConfirmation");
        QVERIFY(confirm);
        // One visitor, still "visitors".
        QCOMPARE(confirm->text(), QStringLiteral("Sign out all 1 visitors on site?"));
        click(confirm->button(QMessageBox::Cancel));
        QTest::qWait(100);
        QVERIFY(h.backend.requestsTo("PATCH", "/rest/v1/visitors").isEmpty());
        QCOMPARE(shownRows(h.desk()).size(), 1);
    }

    void failedSignOutsAreReported() {
        DeskHarness h;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        h.backend.addVisitor("Ann Lee", now.addSecs(-300));
        const QString stuck = h.backend.addVisitor("Bo Chen", now.addSecs(-200))["id"].toString();
        h.backend.addVisitor("Cy Diaz", now.addSecs(-100));
        h.backend.failSignOutOf.insert(stuck);
        h.storeSession();
        h.launch();
        QTRY_COMPARE(shownRows(h.desk()).size(), 3);

        click(rowOf(h.desk(), "Bo Chen")->findChild<QPushButton *>("signOutButton"));
        QTRY_VERIFY(openBox(h.window(), "actionErrorAlert"));
        QMessageBox *alert = openBox(h.window(), "actionErrorAlert");
        QCOMPARE(alert->text(), QStringLiteral("Something went wrong"));
        QCOMPARE(alert->informativeText(), QStringLiteral("That sign-out was refused."));
        click(alert->button(QMessageBox::Ok));
        QTRY_VERIFY(!openBox(h.window(), "actionErrorAlert"));
        QCOMPARE(shownRows(h.desk()).size(), 3);

        click(h.find<QToolButton>("signOutEveryoneActionButton"));
        click(openBox(h.window(), "signOutEveryoneConfirmation")
                  ->findChild<QPushButton *>("confirmSignOutEveryoneButton"));
        QTRY_VERIFY(openBox(h.window(), "actionErrorAlert"));
        QCOMPARE(openBox(h.window(), "actionErrorAlert")->informativeText(),
                 QStringLiteral("1 visitors could not be signed out. Please try again."));
        // The others stay signed out.
        QTRY_COMPARE(shownNames(h.desk()), QStringList{"Bo Chen"});
    }

    void printingWithoutPrinterIsReported() {
        DeskHarness h;
        h.backend.addVisitor("Ann Lee", QDateTime::currentDateTimeUtc());
        h.storeSession();
        h.launch();
        h.app->printer()->setPrinterName("Greetwell Test No Such Printer");
        QTRY_COMPARE(shownRows(h.desk()).size(), 1);
        auto *print = rowOf(h.desk(), "Ann Lee")->findChild<QToolButton *>("printBadgeButton");
        QCOMPARE(print->toolTip(), QStringLiteral("Print a badge"));
        click(print);
        QMessageBox *alert = openBox(h.window(), "actionErrorAlert");
        QVERIFY(alert);
        QCOMPARE(alert->informativeText(),
                 QStringLiteral("No printer is available. Choose one in Settings > Badges."));
    }

    void bannerShowsModelErrorsUntilARefreshWorks() {
        DeskHarness h;
        h.backend.failVisitorReads = 503;
        h.storeSession();
        h.launch();
        auto *banner = h.find<QWidget>("errorBanner");
        QTRY_VERIFY(banner->isVisible());
        QCOMPARE(h.find<QLabel>("errorBannerText")->text(), h.backend.failMessage);
        QVERIFY(banner->isVisible());

        // It stays at the bottom whichever section shows.
        h.desk()->findChild<QListWidget *>("sidebar")->setCurrentRow(2);
        QCOMPARE(h.desk()->section(), std::optional(DeskSection::invites));
        QVERIFY(banner->isVisible());
        QVERIFY(banner->geometry().bottom() >= h.desk()->height() - 1);

        h.backend.failVisitorReads = 0;
        QVERIFY(QTest::qWaitForWindowActive(h.window()));
        QTest::keyClick(h.window(), Qt::Key_R, Qt::ControlModifier);
        QTRY_VERIFY(!banner->isVisible());
    }

    void collapsedSidebarSurvivesRestart() {
        DeskHarness h;
        h.storeSession();
        h.launch();
        QTRY_VERIFY(h.desk());
        auto *sidebar = h.desk()->findChild<QListWidget *>("sidebar");
        QCOMPARE(sidebar->width(), 190);
        auto *collapse = h.find<QToolButton>("collapseSidebarButton");
        QCOMPARE(collapse->toolTip(), QStringLiteral("Collapse the sidebar to icons"));
        click(collapse);
        QTRY_COMPARE(sidebar->width(), 80);
        QCOMPARE(sidebar->item(1)->toolTip(), QStringLiteral("Visitors"));
        QCOMPARE(collapse->toolTip(), QStringLiteral("Expand the sidebar"));
        QCOMPARE(collapse->text(), QStringLiteral("Expand Sidebar"));

        h.quit();
        h.launch();
        QTRY_VERIFY(h.desk());
        sidebar = h.desk()->findChild<QListWidget *>("sidebar");
        QTRY_COMPARE(sidebar->width(), 80);
        QVERIFY(h.desk()->isSidebarCollapsed());
        click(h.find<QToolButton>("collapseSidebarButton"));
        QTRY_COMPARE(sidebar->width(), 190);
        QCOMPARE(sidebar->item(1)->toolTip(), QString());

        h.quit();
        h.launch();
        QTRY_COMPARE(h.desk()->findChild<QListWidget *>("sidebar")->width(), 190);
    }

    void newTokenKeepsTheDeskRunning() {
        DeskHarness h;
        h.backend.addVisitor("Ann Lee", QDateTime::currentDateTimeUtc());
        h.storeSession();
        h.launch();
        QTRY_COMPARE(h.model()->onSite().size(), 1);
        QCOMPARE(h.backend.requestsTo("GET", "/rest/v1/kiosk_settings").size(), 1);

        // An hour later the token is due for renewal; the next request renews it.
        h.app->cloud()->setNow([] { return QDateTime::currentDateTimeUtc().addSecs(3590); });
        const CloudSession before = *h.app->cloud()->session();
        const QDateTime refreshed = *h.model()->lastRefresh();
        QTest::qWait(5);
        h.window()->refreshAction()->trigger();
        QTRY_VERIFY(h.app->cloud()->session() != before);
        QTRY_VERIFY(h.model()->lastRefresh() > refreshed);
        // Same user: the desk kept its state and was not started over.
        QCOMPARE(h.backend.requestsTo("GET", "/rest/v1/kiosk_settings").size(), 1);
        QCOMPARE(h.model()->onSite().size(), 1);
        QVERIFY(h.model()->isPolling());

        // Another account: reset, then started again.
        h.backend.userID = QUuid::createUuid();
        h.app->cloud()->signIn(h.backend.email, h.backend.password);
        QTRY_COMPARE(h.backend.requestsTo("GET", "/rest/v1/kiosk_settings").size(), 2);
        QVERIFY(h.desk());
    }

    void helpMenuOpensTheWebsite() {
        DeskHarness h;
        h.launch();
        UrlCatcher browser;
        QDesktopServices::setUrlHandler("http", &browser, "open");
        QMenu *help = nullptr;
        for (QAction *menu : h.window()->menuBar()->actions())
            if (menu->text() == "&Help")
                help = menu->menu();
        QVERIFY(help);
        QStringList titles;
        for (QAction *item : help->actions()) {
            titles << item->text();
            // Available while signed out too.
            QVERIFY(item->isEnabled());
            item->trigger();
        }
        QDesktopServices::unsetUrlHandler("http");
        QCOMPARE(titles,
                 QStringList({"Greetwell Support", "Host Notifications Guide", "Privacy Policy"}));
        const QString base = h.backend.server.url().toString();
        QCOMPARE(browser.opened,
                 QList<QUrl>({QUrl(base + "/support"), QUrl(base + "/guides/host-notifications"),
                              QUrl(base + "/privacy")}));
    }

    void signingOutReturnsToTheAccountScreen() {
        DeskHarness h;
        h.backend.addVisitor("Ann Lee", QDateTime::currentDateTimeUtc());
        h.storeSession();
        h.launch();
        QTRY_COMPARE(h.model()->onSite().size(), 1);
        h.model()->setSigningIn(true);
        QTRY_VERIFY(h.find<SignInVisitorSheet>("signInSheet"));
        h.app->cloud()->signOut();
        QTRY_VERIFY(h.auth());
        // The sheet went with the desk and does not come back with the next one.
        QTRY_VERIFY(!h.find<SignInVisitorSheet>("signInSheet"));
        QVERIFY(!h.model()->isSigningIn());
        QVERIFY(!h.desk());
        QVERIFY(h.model()->onSite().isEmpty());
        QVERIFY(!h.model()->isPolling());
        QVERIFY(!h.window()->signInVisitorAction()->isEnabled());
        QCOMPARE(h.find<QLineEdit>("emailField")->text(), QString());
    }
};

// The detail line under a visitor's name.
class OnSiteRowTest : public QObject {
    Q_OBJECT
private slots:
    void detailText_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("expected");
        QTest::newRow("host and device") << "Dana"
                                         << "Front Desk"
                                         << "In at 09:30 · Visiting Dana · Front Desk";
        QTest::newRow("neither") << ""
                                 << ""
                                 << "In at 09:30";
        QTest::newRow("device only") << ""
                                     << "Lobby iPad"
                                     << "In at 09:30 · Lobby iPad";
        QTest::newRow("host only") << "Dana"
                                   << ""
                                   << "In at 09:30 · Visiting Dana";
    }
    void detailText() {
        QFETCH(QString, host);
        QFETCH(QString, device);
        QFETCH(QString, expected);
        Clock clock;
        clock.zone = QTimeZone("Europe/Berlin");
        clock.locale = QLocale(QLocale::English, QLocale::UnitedKingdom);
        VisitorRow row;
        row.visitorName = "Ann";
        row.signedInAt = QDateTime(QDate(2026, 3, 1), QTime(8, 30), QTimeZone::utc());
        if (!host.isEmpty())
            row.hostName = host;
        if (!device.isEmpty())
            row.deviceName = device;
        QCOMPARE(OnSiteRow::detailText(row, clock), expected);
    }
};

GW_TEST(DeskFlowTest)
GW_TEST(OnSiteRowTest)
#include "DeskFlowTests.moc"
