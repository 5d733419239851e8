// The Invites screens against the local backend and its website API: what a person at
// the desk does with invites, and what arrives at the server.

#include "InviteDesk.h"

#include "badge/BadgePrinter.h"
#include "support/BackendKit.h"
#include "support/TestMain.h"
#include "ui/AnswerField.h"
#include "ui/InviteCodeSheet.h"
#include "ui/SignInVisitorSheet.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDateEdit>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimeEdit>

namespace {

const QList<FormField> nameOnly{{0, "Name", "Plain Text", true}};

QString freshAddress(const QString &who) {
    return who + QStringLiteral("-%1@example.com")
                     .arg(QUuid::createUuid().toString(QUuid::Id128).left(12));
}

QMessageBox *shownBox(QWidget *root, const char *name) {
    for (QMessageBox *box : root->findChildren<QMessageBox *>(name))
        if (box->isVisible())
            return box;
    return nullptr;
}

QJsonObject storedByName(const InviteDesk &d, const QString &name) {
    for (const QJsonValue &row : d.storedInvites())
        if (row.toObject().value("visitor_name").toString() == name)
            return row.toObject();
    return {};
}

QString answerValue(const QJsonObject &invite, int slot) {
    for (const QJsonValue &answer : invite.value("answers").toArray())
        if (answer.toObject().value("slot").toInt() == slot)
            return answer.toObject().value("value").toString();
    return {};
}

void clearAndEnter(QLineEdit *edit, const QString &text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    enterText(edit, text);
}

Clock newYorkClock() {
    return Clock{[] { return QDateTime::currentDateTime(); }, QTimeZone("America/New_York"),
                 QLocale(QLocale::English, QLocale::UnitedStates)};
}

} // namespace

class InvitesScreenTest : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();

private slots:
    void init() { GW_REQUIRE_BACKEND(info); }

    // The invite address from the separate field (a lower-case "email" label is just a
    // question) and then from the form's own "Email" field; both are listed as waiting.
    void sendsInvitesInBothAddressModes() {
        InviteDesk d(*info, {{0, "Name", "Plain Text", true}, {1, "email"}, {2, "Company"}});
        d.launch(newYorkClock());
        QTRY_VERIFY(!d.view()->isLoading());
        auto *empty = d.view()->findChild<QWidget *>("emptyState");
        QVERIFY(empty->isVisible());

        click(empty->findChild<QPushButton *>("emptyNewInviteButton"));
        QTRY_VERIFY(d.sheet() && d.sheet()->isVisible());
        NewInviteSheet *sheet = d.sheet();
        QVERIFY(sheet->emailEdit()->isVisible());
        enterText(sheet->answerField(0)->lineEdit(), "Grace Hopper");
        enterText(sheet->answerField(1)->lineEdit(), "grace@form.example");
        click(sheet->sendButton());
        QCOMPARE(sheet->message().value_or(""),
                 "Please enter a valid email address to send the invite to.");
        const QString grace = freshAddress("grace");
        enterText(sheet->emailEdit(), " \t" + grace + "\t ");
        // A time set and then its date switched off sends neither.
        sheet->dateSwitch()->click();
        QVERIFY(sheet->timeSwitch()->isVisible());
        sheet->timeSwitch()->click();
        QVERIFY(sheet->timeEdit()->isVisible());
        sheet->dateSwitch()->click();
        QVERIFY(!sheet->timeSwitch()->isVisible() && !sheet->timeEdit()->isVisible());
        click(sheet->sendButton());
        QTRY_VERIFY(!d.sheet());

        const QJsonObject first = storedByName(d, "Grace Hopper");
        QCOMPARE(first.value("visitor_email").toString(), grace);
        QCOMPARE(answerValue(first, 1), QStringLiteral("grace@form.example"));
        QVERIFY(first.value("visit_date").isNull() && first.value("visit_time").isNull());

        // Now the form has an "Email" field: its answer is the address.
        d.saveForm({{0, "Name", "Plain Text", true}, {1, "Email", "Email"}, {2, "Company"}});
        d.model()->loadSettings();
        QTRY_COMPARE(d.model()->settings().fields.value(1).label, QStringLiteral("Email"));
        d.view()->toolbarActions().first()->trigger();
        QTRY_VERIFY(d.sheet() && d.sheet()->isVisible());
        sheet = d.sheet();
        QVERIFY(!sheet->emailEdit()->isVisible());
        // Where the invite goes is not optional.
        auto *form = sheet->findChild<QFormLayout *>();
        QCOMPARE(qobject_cast<QLabel *>(form->labelForField(sheet->answerField(1)))->text(),
                 QStringLiteral("Email"));
        enterText(sheet->answerField(0)->lineEdit(), "Alan Turing");
        enterText(sheet->answerField(1)->lineEdit(), "alan@nowhere");
        click(sheet->sendButton());
        QCOMPARE(sheet->message().value_or(""), "Please enter a valid email for Email.");
        const QString alan = freshAddress("alan");
        clearAndEnter(sheet->answerField(1)->lineEdit(), alan);
        const QDate day =
            newYorkClock().now().toTimeZone(QTimeZone("America/New_York")).date().addDays(3);
        sheet->dateSwitch()->click();
        sheet->dateEdit()->setDate(day);
        sheet->timeSwitch()->click();
        sheet->timeEdit()->setTime(QTime(9, 5));
        click(sheet->sendButton());
        QTRY_VERIFY(!d.sheet());

        const QJsonObject second = storedByName(d, "Alan Turing");
        QCOMPARE(second.value("visitor_email").toString(), alan);
        QCOMPARE(second.value("visit_date").toString(), day.toString(Qt::ISODate));
        QCOMPARE(second.value("visit_time").toString(), QStringLiteral("09:05"));

        QTRY_COMPARE(d.view()->rows().size(), 2);
        QVERIFY(!empty->isVisible());
        for (const QString &name : {QStringLiteral("Grace Hopper"), QStringLiteral("Alan Turing")})
            QCOMPARE(d.row(name)->findChild<QLabel *>("inviteStatus")->text(),
                     QStringLiteral("Waiting"));
        QCOMPARE(d.row("Grace Hopper")->findChild<QLabel *>("inviteDetail")->text(),
                 grace + " · Any day");
        QCOMPARE(d.row("Alan Turing")->findChild<QLabel *>("inviteDetail")->text(),
                 alan + " · " + QLocale(QLocale::English).toString(day, "dddd, MMMM d") +
                     " at 9:05 AM");
    }

    void resendsAndCancels() {
        InviteDesk d(*info, nameOnly);
        const QString ada = freshAddress("ada"), bob = freshAddress("bob");
        d.createInvite("Ada", ada);
        d.createInvite("Bob", bob);
        d.launch();
        QTRY_COMPARE(d.view()->rows().size(), 2);
        QSignalSpy loads(d.view(), &InvitesView::loaded);

        QVERIFY(triggerMenuItem(d.row("Ada"), "Resend Email"));
        QTRY_VERIFY(d.view()->notice());
        QCOMPARE(*d.view()->notice(), "Sent again to " + ada + ".");
        QCOMPARE(kit::mailsTo(*info, ada).size(), 2);
        QMessageBox *notice = shownBox(d.desk(), "invitesNotice");
        QVERIFY(notice);
        QCOMPARE(notice->windowTitle(), QStringLiteral("Invites"));
        notice->button(QMessageBox::Ok)->click();
        QTRY_VERIFY(!d.view()->notice());

        // "Keep Invite" keeps it, on the desk and on the server.
        QVERIFY(triggerMenuItem(d.row("Ada"), "Cancel Invite…"));
        QMessageBox *confirm = shownBox(d.desk(), "cancelInviteConfirmation");
        QVERIFY(confirm);
        QCOMPARE(confirm->text(), QStringLiteral("Cancel the invite for Ada?"));
        click(confirm->findChild<QPushButton *>("keepInviteButton"));
        QTRY_VERIFY(!shownBox(d.desk(), "cancelInviteConfirmation"));
        QTest::qWait(200);
        QCOMPARE(d.view()->rows().size(), 2);
        QCOMPARE(d.storedInvites().size(), 2);

        QVERIFY(triggerMenuItem(d.row("Ada"), "Cancel Invite…"));
        click(shownBox(d.desk(), "cancelInviteConfirmation")
                  ->findChild<QPushButton *>("confirmCancelInviteButton"));
        QTRY_COMPARE(d.view()->rows().size(), 1);
        QVERIFY(!d.row("Ada"));
        QCOMPARE(d.storedInvites().size(), 1);
        QCOMPARE(loads.size(), 0); // removed on the spot, not by a reload

        QVERIFY(triggerMenuItem(d.row("Bob"), "Cancel Invite…"));
        click(shownBox(d.desk(), "cancelInviteConfirmation")
                  ->findChild<QPushButton *>("confirmCancelInviteButton"));
        QTRY_VERIFY(d.view()->findChild<QWidget *>("emptyState")->isVisible());
        QVERIFY(d.view()->rows().isEmpty());
        QCOMPARE(d.storedInvites().size(), 0);
    }

    // Waiting, expired (dated yesterday) and used invites: their state, buttons and
    // menus; signing the waiting one in marks it used.
    void showsEachStateAndSignsInFromAnInvite() {
        InviteDesk d(*info, nameOnly);
        const QString wes = d.createInvite("Wes Waiting", freshAddress("wes"));
        const QString edAddress = freshAddress("ed");
        const QString ed = d.createInvite("Ed Expired", edAddress);
        const QString uma = d.createInvite("Uma Used", freshAddress("uma"));
        const Clock clock = newYorkClock();
        const QDate yesterday = clock.now().toTimeZone(clock.zone).date().addDays(-1);
        runSql(*info, QStringLiteral("update invites set visit_date = '%1' where id = '%2';"
                                     "update invites set used_at = '2026-03-01T14:30:00Z' "
                                     "where id = '%3'")
                          .arg(yesterday.toString(Qt::ISODate), ed, uma));
        d.launch(clock);
        QTRY_COMPARE(d.view()->rows().size(), 3);

        const QStringList everything{"Show QR Code", "Copy Link", "Resend Email", "---",
                                     "Cancel Invite…"};
        struct Expected {
            QString name, status;
            bool signIn;
            QStringList menu;
        };
        const QList<Expected> rows{
            {"Wes Waiting", "Waiting", true, everything},
            {"Ed Expired", "Expired", false, everything},
            {"Uma Used", "Signed in Mar 1, 2026 at 9:30 AM", false, {"Show QR Code", "Copy Link"}},
        };
        for (const Expected &e : rows) {
            InviteRow *row = d.row(e.name);
            QVERIFY2(row, qPrintable(e.name));
            QCOMPARE(row->findChild<QLabel *>("inviteStatus")->text(), e.status);
            QCOMPARE(row->signInButton() != nullptr, e.signIn);
            QCOMPARE(menuItems(row), e.menu);
        }
        QCOMPARE(d.row("Ed Expired")->findChild<QLabel *>("inviteDetail")->text(),
                 edAddress + " · " + clock.locale.toString(yesterday, "dddd, MMMM d"));

        click(d.row("Wes Waiting")->signInButton());
        QTRY_VERIFY(d.desk()->findChild<SignInVisitorSheet *>("inviteSignInSheet"));
        auto *signIn = d.desk()->findChild<SignInVisitorSheet *>("inviteSignInSheet");
        QCOMPARE(signIn->draft().text(0), QStringLiteral("Wes Waiting"));
        click(signIn->findChild<QPushButton *>("signInButton"));
        QTRY_VERIFY(!d.desk()->findChild<SignInVisitorSheet *>("inviteSignInSheet"));
        QVERIFY(!storedByName(d, "Wes Waiting").value("used_at").isNull());
        QVERIFY(storedByName(d, "Ed Expired").value("used_at").isNull());
        QTRY_VERIFY(d.row("Wes Waiting") && d.row("Wes Waiting")
                                                ->findChild<QLabel *>("inviteStatus")
                                                ->text()
                                                .startsWith("Signed in "));
        QVERIFY(!d.row("Wes Waiting")->signInButton());
        Q_UNUSED(wes);
    }

    // Cut by user-perceived characters: a flag ends the note's first 500 and stays
    // whole, the family after it goes whole; a family ends the answer's first 200.
    void cutsAnswersAndNoteByCharacters() {
        InviteDesk d(*info, {{0, "Name", "Plain Text", true}, {1, "Company"}});
        d.launch();
        d.view()->toolbarActions().first()->trigger();
        QTRY_VERIFY(d.sheet() && d.sheet()->isVisible());
        NewInviteSheet *sheet = d.sheet();
        const QString family = QStringLiteral("\U0001F469\u200D\U0001F469\u200D\U0001F467");
        const QString flag = QStringLiteral("\U0001F1F3\U0001F1F4");
        const QString answer = QString(199, 'a') + family + QString(50, 'b');
        const QString note = "  " + QString(499, 'n') + flag + family + QString(99, 'x') + "\n";
        enterText(sheet->answerField(0)->lineEdit(), "Cy Cutoff");
        enterText(sheet->answerField(1)->lineEdit(), answer);
        QCOMPARE(sheet->input().draft.text(1), answer);
        sheet->noteEdit()->setPlainText(note);
        enterText(sheet->emailEdit(), freshAddress("cy"));
        click(sheet->sendButton());
        QTRY_VERIFY(!d.sheet());

        const QJsonObject stored = storedByName(d, "Cy Cutoff");
        QCOMPARE(answerValue(stored, 1), QString(199, 'a') + family);
        QCOMPARE(stored.value("note").toString(), QString(499, 'n') + flag);
    }

    void showsTheCodeAndCopiesTheLink() {
        InviteDesk d(*info, nameOnly);
        const QString id = d.createInvite("Quinn Code", freshAddress("quinn"));
        d.launch();
        QTRY_COMPARE(d.view()->rows().size(), 1);
        const QString link = info->url.toString() + "/i/" +
                             d.storedInvites()[0].toObject().value("token").toString();

        QVERIFY(triggerMenuItem(d.row("Quinn Code"), "Show QR Code"));
        auto *sheet = d.view()->findChild<InviteCodeSheet *>("inviteCodeSheet");
        QVERIFY(sheet && sheet->isVisible());
        QCOMPARE(sheet->findChild<QLabel *>("inviteCodeName")->text(),
                 QStringLiteral("Quinn Code"));
        auto *image = sheet->findChild<QWidget *>("inviteCodeImage");
        QVERIFY(image);
        QCOMPARE(image->size(), QSize(260, 260));
        QTemporaryDir dir;
        const QString png = dir.filePath("code.png");
        QVERIFY(image->grab().save(png));
        QProcess zbar;
        zbar.start("zbarimg", {"--quiet", "--raw", png});
        QVERIFY2(zbar.waitForFinished(30000), "zbarimg (zbar-tools) did not run");
        QCOMPARE(zbar.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(zbar.readAllStandardOutput()), link + "\n");
        click(sheet->findChild<QPushButton *>("doneButton"));
        QTRY_VERIFY(!d.view()->findChild<InviteCodeSheet *>("inviteCodeSheet"));

        QGuiApplication::clipboard()->setText("something else");
        QVERIFY(triggerMenuItem(d.row("Quinn Code"), "Copy Link"));
        QCOMPARE(QGuiApplication::clipboard()->text(), link);
        Q_UNUSED(id);
    }

    // The website refusing the token ends nothing: the person stays signed in and keeps
    // everything typed.
    void websiteRefusalKeepsTheSession() {
        QNetworkAccessManager network;
        auto store = std::make_shared<MemorySessionStore>();
        store->stored = CloudSession{"not-a-token", "not-a-refresh-token",
                                     QDateTime::currentDateTimeUtc().addSecs(1800),
                                     QUuid::createUuid(), "desk@example.com"};
        QTemporaryDir dir;
        QSettings preferences(dir.filePath("p.ini"), QSettings::IniFormat);
        CloudClient cloud(&network, store, CloudClient::Config{info->url, info->url, info->apikey});
        BadgePrinter printer(&preferences);
        AppModel model(&cloud, &printer, &preferences);
        NewInviteSheet sheet(&model);
        sheet.show();
        // The default form: Name, Email, Phone.
        enterText(sheet.answerField(0)->lineEdit(), "Rita Refused");
        enterText(sheet.answerField(1)->lineEdit(), "rita@example.com");
        click(sheet.sendButton());
        QVERIFY(sheet.isSending() && !sheet.sendButton()->isEnabled());
        // Nothing closes the sheet while the invite is on its way.
        QVERIFY(!sheet.findChild<QPushButton *>("cancelButton")->isEnabled());
        QTest::keyClick(&sheet, Qt::Key_Escape);
        QVERIFY(sheet.isVisible());
        QTRY_VERIFY(!sheet.isSending());
        QCOMPARE(sheet.message().value_or(""), "Your session ended. Please sign in again.");
        QVERIFY(sheet.isVisible());
        QVERIFY(cloud.isSignedIn());
        QCOMPARE(sheet.answerField(0)->value(), QStringLiteral("Rita Refused"));
        QVERIFY(sheet.sendButton()->isEnabled());
    }
};

GW_BACKEND_TEST(InvitesScreenTest)
#include "InvitesScreenTest.moc"
