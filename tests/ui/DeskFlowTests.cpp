#include "DeskHarness.h"
#include "badge/BadgePrinter.h"
#include "model/AppModel.h"
#include "support/TestMain.h"
#include "ui/AnswerField.h"
#include "ui/SignInVisitorSheet.h"
#include "ui/TodayView.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>

namespace {
// Name, a required host chosen from the employees, an optional e-mail.
QJsonObject hostForm() {
    return QJsonDocument::fromJson(R"({"employees": ["Dana Scully", "Fox Mulder"], "fields": [
        {"slot": 0, "label": "Name", "type": "Plain Text", "required": true, "employee_list": false},
        {"slot": 1, "label": "Host", "type": "Plain Text", "required": true, "employee_list": true},
        {"slot": 2, "label": "Email", "type": "Email", "required": false, "employee_list": false}
    ]})")
        .object();
}

QStringList shownNames(DeskView *desk) {
    QStringList names;
    for (OnSiteRow *row : desk->findChildren<OnSiteRow *>())
        if (row->isVisibleTo(desk))
            names << row->row().visitorName;
    names.sort();
    return names;
}

OnSiteRow *rowOf(DeskView *desk, const QString &name) {
    for (OnSiteRow *row : desk->findChildren<OnSiteRow *>())
        if (row->isVisibleTo(desk) && row->row().visitorName == name)
            return row;
    return nullptr;
}

AnswerField *answer(SignInVisitorSheet *sheet, int slot) {
    return sheet->findChild<AnswerField *>(QStringLiteral("answerField%1").arg(slot));
}

QMessageBox *openBox(QWidget *root, const char *name) {
    for (QMessageBox *box : root->findChildren<QMessageBox *>(name))
        if (box->isVisible())
            return box;
    return nullptr;
}

// Opens the walk-in sheet through the model, as the menu and toolbar do.
SignInVisitorSheet *openWalkInSheet(DeskHarness &h) {
    h.model()->setSigningIn(true);
    (void)QTest::qWaitFor([&] { return h.find<SignInVisitorSheet>("signInSheet") != nullptr; });
    return h.find<SignInVisitorSheet>("signInSheet");
}
} // namespace

// What a person at the desk does, from the account screen to signing visitors in and
// out, against an in-memory backend.
class DeskFlowTest : public QObject {
    Q_OBJECT

private slots:
    void signInShowsTodayWithoutRestart() {
        DeskHarness h;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        h.backend.addVisitor("Ann Lee", now.addSecs(-600), "Dana", "Front Desk");
        h.backend.addVisitor("Bo Chen", now.addSecs(-60));
        h.launch(false);
        QVERIFY(h.auth());
        QVERIFY(!h.window()->signInVisitorAction()->isEnabled());
        QVERIFY(!h.window()->newInviteAction()->isEnabled());

        typeInto(h.find<QLineEdit>("emailField"), h.backend.email);
        typeInto(h.find<QLineEdit>("passwordField"), h.backend.password);
        QTest::keyClick(h.find<QLineEdit>("passwordField"), Qt::Key_Return);
        QTRY_VERIFY(h.desk());
        QCOMPARE(h.desk()->section(), std::optional(DeskSection::today));
        QVERIFY(h.window()->refreshAction()->isEnabled());
        QTRY_COMPARE(shownNames(h.desk()), QStringList({"Ann Lee", "Bo Chen"}));
        QCOMPARE(h.find<StatTile>("onSiteTile")->valueText(), QStringLiteral("2"));
        QVERIFY(h.find<QLabel>("sectionSubtitle")->text().startsWith("Updated "));
        // Newest sign-in first; the detail line names host and device.
        QCOMPARE(h.find<OnSiteRow>("onSiteRow")->row().visitorName, QStringLiteral("Bo Chen"));
        const QString detail =
            rowOf(h.desk(), "Ann Lee")->findChild<QLabel *>("visitorDetail")->text();
        QVERIFY2(detail.endsWith(" · Visiting Dana · Front Desk"), qPrintable(detail));
    }

    void todayBeforeAndAfterFirstRefresh() {
        DeskHarness h;
        h.launch();
        QCOMPARE(h.find<QLabel>("emptyDescription")->text(), QStringLiteral("Loading…"));
        QTRY_COMPARE(h.find<QLabel>("emptyDescription")->text(),
                     QStringLiteral("Visitors signed in on any device show up here."));
    }

    void walkInNeedsEveryRequiredAnswer() {
        DeskHarness h;
        h.backend.kioskSettings = hostForm();
        h.launch();
        QTRY_COMPARE(h.model()->settings().employees.size(), 2);
        QVERIFY(QTest::qWaitForWindowActive(h.window()));
        QTest::keyClick(h.window(), Qt::Key_N, Qt::ControlModifier);
        QTRY_VERIFY(h.find<SignInVisitorSheet>("signInSheet"));
        auto *sheet = h.find<SignInVisitorSheet>("signInSheet");
        // Asking again while it is open opens nothing more.
        click(h.find<QToolButton>("signInVisitorButton"));
        QCOMPARE(h.window()->findChildren<SignInVisitorSheet *>().size(), 1);
        auto *form = sheet->findChild<QFormLayout *>();
        QCOMPARE(qobject_cast<QLabel *>(form->labelForField(answer(sheet, 2)))->text(),
                 QStringLiteral("Email (optional)"));
        // The window manager cannot stretch the form apart.
        QCOMPARE(sheet->minimumHeight(), sheet->maximumHeight());

        typeInto(answer(sheet, 0)->lineEdit(), "Ann Lee");
        click(sheet->findChild<QPushButton *>("signInButton"));
        QCOMPARE(sheet->message(), std::optional<QString>("Please fill in Host."));
        // The cursor goes where the answer is missing.
        QTRY_COMPARE(sheet->focusWidget(), answer(sheet, 1)->lineEdit());
        // The employee menu fills the host in.
        answer(sheet, 1)->employeeButton()->menu()->actions().at(1)->trigger();
        QCOMPARE(answer(sheet, 1)->value(), QStringLiteral("Fox Mulder"));
        typeInto(answer(sheet, 2)->lineEdit(), "ann@example");
        QTest::keyClick(answer(sheet, 2)->lineEdit(), Qt::Key_Return);
        QCOMPARE(sheet->message(), std::optional<QString>("Please enter a valid email for Email."));
        QCOMPARE(sheet->focusWidget(), answer(sheet, 2)->lineEdit());
        QVERIFY(h.backend.visitors.isEmpty());

        typeInto(answer(sheet, 2)->lineEdit(), "ann@example.com");
        click(sheet->findChild<QPushButton *>("signInButton"));
        QTRY_VERIFY(!h.find<SignInVisitorSheet>("signInSheet"));
        QVERIFY(!h.model()->isSigningIn());
        QCOMPARE(h.backend.visitors.size(), 1);
        QCOMPARE(h.backend.visitors.first()["host_name"].toString(), QStringLiteral("Fox Mulder"));
        QTRY_COMPARE(shownNames(h.desk()), QStringList{"Ann Lee"});
        // Opened again, it is empty.
        sheet = openWalkInSheet(h);
        QVERIFY(sheet);
        QCOMPARE(answer(sheet, 0)->value(), QString());
    }

    void signInFromAnInvite() {
        DeskHarness h;
        h.backend.kioskSettings = hostForm();
        h.backend.addInvite("Used Already", {})["used_at"] =
            formatTimestamp(QDateTime::currentDateTimeUtc());
        h.backend.addInvite("Wes Waiting", {});
        const QString yesterday = QDate::currentDate().addDays(-1).toString(Qt::ISODate);
        const Invite late = Invite::fromJson(h.backend.addInvite(
            "Lara Late", yesterday,
            QJsonArray{QJsonObject{{"slot", 1}, {"value", "Dana Scully"}},
                       QJsonObject{{"slot", 2}, {"value", "lara@example.org"}}}));
        h.launch();
        QTRY_VERIFY(h.model()->lastRefresh());

        h.desk()->signInInvite(late);
        QTRY_VERIFY(h.find<SignInVisitorSheet>("inviteSignInSheet"));
        auto *sheet = h.find<SignInVisitorSheet>("inviteSignInSheet");
        auto *picker = sheet->findChild<QComboBox *>("expectedPicker");
        QTRY_VERIFY(picker->isVisible());
        // The expired invite is not waiting, but it is the one being signed in: first.
        QCOMPARE(picker->count(), 3);
        QCOMPARE(picker->itemText(1), QStringLiteral("Lara Late"));
        QCOMPARE(picker->itemText(2), QStringLiteral("Wes Waiting"));
        QCOMPARE(picker->currentIndex(), 1);
        QCOMPARE(answer(sheet, 1)->value(), QStringLiteral("Dana Scully"));

        // Choosing the walk-in entry starts over.
        picker->activated(0);
        QCOMPARE(answer(sheet, 0)->value(), QString());
        picker->activated(1);

        click(sheet->findChild<QPushButton *>("signInButton"));
        QTRY_VERIFY(!h.find<SignInVisitorSheet>("inviteSignInSheet"));
        QVERIFY(h.backend.invites.first().contains("used_at")); // Lara's, and only hers
        QVERIFY(!h.backend.invites[1].contains("used_at"));
        QTRY_COMPARE(shownNames(h.desk()), QStringList{"Lara Late"});
        // The same invite can be chosen again once its sheet has closed.
        h.desk()->signInInvite(late);
        QTRY_VERIFY(h.find<SignInVisitorSheet>("inviteSignInSheet"));
    }

    void badgeThatCannotPrintClearsTheForm() {
        DeskHarness h;
        h.launch();
        h.app->printer()->setAutoPrint(true);
        h.app->printer()->setPrinterName("Greetwell Test No Such Printer");
        QTRY_VERIFY(h.model()->lastRefresh());
        auto *sheet = openWalkInSheet(h);
        QVERIFY(sheet);
        QVERIFY(sheet->findChild<QWidget *>("badgeNote")->isVisible());
        typeInto(answer(sheet, 0)->lineEdit(), "  Ann Lee  ");
        typeInto(answer(sheet, 1)->lineEdit(), "ann@example.com");
        click(sheet->findChild<QPushButton *>("signInButton"));
        QTRY_VERIFY(sheet->message());
        QCOMPARE(*sheet->message(), QStringLiteral("Ann Lee is signed in, but: No printer is "
                                                   "available. Choose one in Settings > Badges."));
        QVERIFY(sheet->isVisible());
        QCOMPARE(sheet->draft(), VisitorDraft{});
        QCOMPARE(answer(sheet, 1)->value(), QString());
        // Ready for the next visitor, from the first field.
        QCOMPARE(sheet->focusWidget(), answer(sheet, 0)->lineEdit());
        QTRY_COMPARE(shownNames(h.desk()), QStringList{"Ann Lee"});
    }

    void signOutOneThenEveryone() {
        DeskHarness h;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (const char *name : {"Ann Lee", "Bo Chen", "Cy Diaz"})
            h.backend.addVisitor(name, now);
        h.launch();
        QTRY_COMPARE(shownNames(h.desk()).size(), 3);
        click(rowOf(h.desk(), "Bo Chen")->findChild<QPushButton *>("signOutButton"));
        QTRY_COMPARE(shownNames(h.desk()), QStringList({"Ann Lee", "Cy Diaz"}));
        QCOMPARE(h.backend.onSiteCount(), 2);

        // Cancelled, nobody is signed out; confirmed, everyone is.
        click(h.find<QToolButton>("signOutEveryoneActionButton"));
        QMessageBox *confirm = openBox(h.window(), "signOutEveryoneConfirmation");
        QVERIFY(confirm);
        QCOMPARE(confirm->text(), QStringLiteral("Sign out all 2 visitors on site?"));
        click(confirm->button(QMessageBox::Cancel));
        QTest::qWait(100);
        QCOMPARE(h.backend.onSiteCount(), 2);
        click(h.find<QToolButton>("signOutEveryoneActionButton"));
        click(openBox(h.window(), "signOutEveryoneConfirmation")
                  ->findChild<QPushButton *>("confirmSignOutEveryoneButton"));
        QTRY_VERIFY(shownNames(h.desk()).isEmpty());
        QCOMPARE(h.backend.onSiteCount(), 0);
        QVERIFY(!openBox(h.window(), "actionErrorAlert"));
        QTRY_VERIFY(!h.find<QToolButton>("signOutEveryoneActionButton")->isEnabled());
    }

    // Sign-outs the backend refuses, and a badge with no printer, end in an alert.
    void failedActionsAreReported() {
        DeskHarness h;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        h.backend.addVisitor("Ann Lee", now);
        h.backend.failSignOutOf.insert(h.backend.addVisitor("Bo Chen", now)["id"].toString());
        h.backend.addVisitor("Cy Diaz", now);
        h.launch();
        h.app->printer()->setPrinterName("Greetwell Test No Such Printer");
        QTRY_COMPARE(shownNames(h.desk()).size(), 3);
        const auto dismissAlert = [&](const QString &text) {
            QTRY_VERIFY(openBox(h.window(), "actionErrorAlert"));
            QMessageBox *alert = openBox(h.window(), "actionErrorAlert");
            QCOMPARE(alert->text(), QStringLiteral("Something went wrong"));
            QCOMPARE(alert->informativeText(), text);
            click(alert->button(QMessageBox::Ok));
            QTRY_VERIFY(!openBox(h.window(), "actionErrorAlert"));
        };

        click(rowOf(h.desk(), "Ann Lee")->findChild<QToolButton *>("printBadgeButton"));
        dismissAlert("No printer is available. Choose one in Settings > Badges.");
        click(rowOf(h.desk(), "Bo Chen")->findChild<QPushButton *>("signOutButton"));
        dismissAlert("That sign-out was refused.");
        QCOMPARE(shownNames(h.desk()).size(), 3);

        click(h.find<QToolButton>("signOutEveryoneActionButton"));
        click(openBox(h.window(), "signOutEveryoneConfirmation")
                  ->findChild<QPushButton *>("confirmSignOutEveryoneButton"));
        dismissAlert("1 visitors could not be signed out. Please try again.");
        // The others stay signed out.
        QTRY_COMPARE(shownNames(h.desk()), QStringList{"Bo Chen"});
    }

    void bannerShowsModelErrorsUntilARefreshWorks() {
        DeskHarness h;
        h.backend.failVisitorReads = 503;
        h.launch();
        auto *banner = h.find<QWidget>("errorBanner");
        QTRY_VERIFY(banner->isVisible());
        QCOMPARE(h.find<QLabel>("errorBannerText")->text(), h.backend.failMessage);
        // It stays at the bottom whichever section shows.
        h.desk()->findChild<QListWidget *>("sidebar")->setCurrentRow(2);
        QVERIFY(banner->isVisible());
        QVERIFY(banner->geometry().bottom() >= h.desk()->height() - 1);

        h.backend.failVisitorReads = 0;
        QVERIFY(QTest::qWaitForWindowActive(h.window()));
        QTest::keyClick(h.window(), Qt::Key_R, Qt::ControlModifier);
        QTRY_VERIFY(!banner->isVisible());
    }

    void collapsedSidebarSurvivesRestart() {
        DeskHarness h;
        h.launch();
        const auto sidebar = [&] { return h.desk()->findChild<QListWidget *>("sidebar"); };
        QTRY_COMPARE(sidebar()->width(), 190);
        click(h.find<QToolButton>("collapseSidebarButton"));
        QTRY_COMPARE(sidebar()->width(), 80);
        QCOMPARE(sidebar()->item(1)->toolTip(), QStringLiteral("Visitors"));

        h.quit();
        h.launch();
        QTRY_COMPARE(sidebar()->width(), 80);
        click(h.find<QToolButton>("collapseSidebarButton"));
        QTRY_COMPARE(sidebar()->width(), 190);
        QCOMPARE(sidebar()->item(1)->toolTip(), QString());
    }

    // A renewed token for the same user keeps the desk as it is; another user starts over.
    void newTokenKeepsTheDeskRunning() {
        DeskHarness h;
        h.backend.addVisitor("Ann Lee", QDateTime::currentDateTimeUtc());
        h.launch();
        QTRY_COMPARE(h.model()->onSite().size(), 1);
        const auto settingsReads = [&] {
            return h.backend.server.requestsTo("/rest/v1/kiosk_settings").size();
        };
        QCOMPARE(settingsReads(), 1);

        h.app->cloud()->setNow([] { return QDateTime::currentDateTimeUtc().addSecs(3590); });
        const CloudSession before = *h.app->cloud()->session();
        const QDateTime refreshed = *h.model()->lastRefresh();
        QTest::qWait(5);
        h.window()->refreshAction()->trigger();
        QTRY_VERIFY(h.app->cloud()->session() != before);
        QTRY_VERIFY(h.model()->lastRefresh() > refreshed);
        QCOMPARE(settingsReads(), 1);
        QCOMPARE(h.model()->onSite().size(), 1);
        QVERIFY(h.model()->isPolling());

        h.backend.userID = QUuid::createUuid();
        h.app->cloud()->signIn(h.backend.email, h.backend.password);
        QTRY_COMPARE(settingsReads(), 2);
    }

    // Signing out takes the desk and any open sheet away; the next desk starts clean.
    void signingOutReturnsToTheAccountScreen() {
        DeskHarness h;
        h.backend.addVisitor("Ann Lee", QDateTime::currentDateTimeUtc());
        h.launch();
        QTRY_COMPARE(h.model()->onSite().size(), 1);
        QVERIFY(openWalkInSheet(h));
        h.app->cloud()->signOut();
        QTRY_VERIFY(h.auth());
        QTRY_VERIFY(!h.find<SignInVisitorSheet>("signInSheet"));
        QVERIFY(!h.model()->isSigningIn());
        QVERIFY(h.model()->onSite().isEmpty());
        QVERIFY(!h.model()->isPolling());
        QVERIFY(!h.window()->signInVisitorAction()->isEnabled());
    }
};

GW_TEST(DeskFlowTest)
#include "DeskFlowTests.moc"
