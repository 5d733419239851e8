#include "SettingsTestKit.h"
#include "cloud/KeychainSessionStore.h"
#include "cloud/KeychainThread.h"
#include "support/TestMain.h"
#include "ui/AccountSettings.h"
#include "ui/AuthView.h"
#include "ui/ContentView.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <qt6keychain/keychain.h>

namespace {
QMessageBox *openConfirmation(QWidget *root) {
    for (QMessageBox *box : root->findChildren<QMessageBox *>("deleteAccountConfirmation"))
        if (box->isVisible())
            return box;
    return nullptr;
}

// Whether the keychain holds an item for (service, "session"); nullopt when no Secret
// Service answers.
std::optional<bool> keychainHasItem(const QString &service) {
    // On the desk's own keychain thread: QtKeychain jobs from two threads stall each other.
    const KeychainThread::Outcome item = KeychainThread::runAndWait(
        KeychainThread::Operation::read, service, KeychainSessionStore::defaultAccount());
    if (item.error == QKeychain::NoError)
        return true;
    if (item.error == QKeychain::EntryNotFound)
        return false;
    return std::nullopt;
}
// A store whose saved session arrives when the test says, as the keychain's does after
// the window has painted.
struct HeldStore : MemorySessionStore {
    std::function<void()> release;
    void whenLoaded(QObject *, std::function<void()> ready) override { release = std::move(ready); }
};
} // namespace

// The window itself: how it opens and closes, and its tabs.
class SettingsWindowTest : public QObject {
    Q_OBJECT

private slots:
    void opensClosesAndFollowsTheMainWindow() {
        SettingsHarness h;
        h.app = std::make_unique<GreetwellApp>(h.store, &h.preferences, h.config());
        h.app->show();
        QVERIFY(QTest::qWaitForWindowActive(h.app->mainWindow()));
        QTest::keyClick(h.app->mainWindow(), Qt::Key_Comma, Qt::ControlModifier);
        QTRY_VERIFY(h.settings() && h.settings()->isVisible());
        SettingsView *window = h.settings();
        QCOMPARE(window->width(), 560);
        QVERIFY(window->height() >= 400);
        QVERIFY(!window->windowIcon().isNull());
        QStringList titles;
        for (int i = 0; i < window->tabs()->count(); ++i) {
            titles << window->tabs()->tabText(i);
            QVERIFY2(!window->tabs()->tabIcon(i).isNull(), qPrintable(titles.last()));
        }
        QCOMPARE(titles, QStringList({"Account", "Form", "Badges", "Alerts"}));
        // Signed out, the Account tab only points back to the main window.
        QCOMPARE(h.label("signedOutText")->text(), QStringLiteral("Sign in from the main window."));
        QVERIFY(shown(h.label("signedOutText")));
        QVERIFY(!shown(h.button("signOutButton")));

        // Escape and Ctrl+W both close it; asking again opens a fresh one.
        for (const QKeySequence &keys :
             {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
            h.app->showSettings();
            QVERIFY(QTest::qWaitForWindowActive(h.settings()));
            QTest::keySequence(h.settings(), keys);
            QTRY_VERIFY2(!h.settings(), qPrintable(keys.toString()));
        }

        // With the settings open, closing the main window closes them too, so the
        // application ends as it would with the main window alone.
        h.app->showSettings();
        QVERIFY(h.settings()->isVisible());
        h.app->mainWindow()->close();
        QTRY_VERIFY(!h.settings());
        for (const QWidget *widget : QApplication::topLevelWidgets())
            QVERIFY2(!widget->isVisible() || !widget->testAttribute(Qt::WA_QuitOnClose),
                     qPrintable(widget->objectName() + " keeps the application running"));
    }
};

// The Account tab against the real backend: password rules and change, sign-out and
// deleting the account.
class AccountSettingsTest : public QObject {
    Q_OBJECT

private slots:
    void changePasswordThenSignInWithIt() {
        SettingsHarness h;
        GW_REQUIRE_BACKEND(h.backend);
        h.createAccount();
        h.launch();
        QCOMPARE(h.label("accountEmail")->text(), h.account.email);
        QVERIFY(
            h.label("dashboardLink")->text().contains(h.backend->url.toString() + "/dashboard"));
        QLineEdit *password = h.field("newPasswordField");
        QCOMPARE(password->echoMode(), QLineEdit::Password);
        typeInto(password, "1234567");
        QVERIFY(!h.button("changePasswordButton")->isEnabled());
        typeInto(password, "12345678");
        QVERIFY(h.button("changePasswordButton")->isEnabled());

        const QString newPassword = "a new desk password";
        typeInto(password, newPassword);
        click(h.button("changePasswordButton"));
        QVERIFY(!h.button("changePasswordButton")->isEnabled());
        QTRY_COMPARE(h.label("accountMessage")->text(), QStringLiteral("Password changed."));
        QVERIFY(password->text().isEmpty());

        click(h.button("signOutButton"));
        QPointer<AuthView> auth = h.app->mainWindow()->contentView()->authView();
        QTRY_VERIFY(auth);
        QVERIFY(shown(h.label("signedOutText")));
        // The old password no longer works; the new one does.
        const auto signIn = [&](const QString &attempt) {
            typeInto(auth->findChild<QLineEdit *>("emailField"), h.account.email);
            typeInto(auth->findChild<QLineEdit *>("passwordField"), attempt);
            click(auth->findChild<QPushButton *>("submitButton"));
        };
        signIn(h.account.password);
        QTRY_VERIFY(!auth->isWorking());
        QVERIFY(auth->isError());
        QVERIFY(!h.app->cloud()->isSignedIn());
        signIn(newPassword);
        QTRY_VERIFY(h.app->cloud()->isSignedIn());
        QCOMPARE(h.label("accountEmail")->text(), h.account.email);
        QVERIFY(!shown(h.label("signedOutText")));
        QVERIFY(!shown(h.label("accountMessage")));
    }

    // Until the saved sign-in is read the window says so, and so does the Account tab;
    // then the desk, or the account screen when there was none.
    void opensTheSavedSignInOnceItIsRead() {
        for (const bool saved : {true, false}) {
            SettingsHarness h;
            auto held = std::make_shared<HeldStore>();
            h.store = held;
            h.fakeSession();
            if (!saved)
                held->stored.reset();
            h.launch();
            ContentView *content = h.app->mainWindow()->contentView();
            QVERIFY(h.app->cloud()->isRestoring());
            QVERIFY(!content->authView() && !content->deskView());
            const QString opening = QStringLiteral("Opening your saved sign-in\u2026");
            auto *openingView = content->findChild<QLabel *>("openingView");
            QVERIFY(openingView && openingView->isVisible());
            QCOMPARE(openingView->text(), opening);
            QCOMPARE(h.label("signedOutText")->text(), opening);
            QVERIFY(held->release);

            held->release();
            QVERIFY(!h.app->cloud()->isRestoring());
            QCOMPARE(h.app->cloud()->isSignedIn(), saved);
            QTRY_VERIFY(!content->findChild<QLabel *>("openingView"));
            if (saved) {
                QVERIFY(content->deskView());
                QCOMPARE(h.label("accountEmail")->text(), QStringLiteral("desk@example.com"));
            } else {
                QVERIFY(content->authView());
                QCOMPARE(h.label("signedOutText")->text(),
                         QStringLiteral("Sign in from the main window."));
            }
        }
    }

    void deleteAccountEndsTheSessionAndTheKeychainItem() {
        SettingsHarness h;
        GW_REQUIRE_BACKEND(h.backend);
        const QString service =
            "app.greetwell.desk.session.settings-" + QUuid::createUuid().toString(QUuid::Id128);
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") || !keychainHasItem(service))
            QSKIP("No Secret Service answered: run the tests through scripts/test");
        h.store = std::make_shared<KeychainSessionStore>(service);
        h.createAccount();
        QCOMPARE(keychainHasItem(service), std::optional(true));
        h.launch();
        QVERIFY(h.app->cloud()->isSignedIn());

        // Cancelling keeps everything.
        click(h.button("deleteAccountButton"));
        QMessageBox *box = openConfirmation(h.settings());
        QVERIFY(box);
        QCOMPARE(box->text(),
                 "Delete this account and all of its online data? This can't be undone.");
        click(box->button(QMessageBox::Cancel));
        QTRY_VERIFY(!openConfirmation(h.settings()));
        QVERIFY(h.app->cloud()->isSignedIn());

        click(h.button("deleteAccountButton"));
        click(openConfirmation(h.settings())->findChild<QPushButton *>("confirmDeleteButton"));
        QTRY_VERIFY(h.app->mainWindow()->contentView()->authView());
        QVERIFY(shown(h.label("signedOutText")));
        QCOMPARE(keychainHasItem(service), std::optional(false));
        // The account is gone on the server too.
        const HttpReply signIn = sendRequest(
            "POST", h.backend->authUrl("token?grant_type=password"),
            QJsonDocument(QJsonObject{{"email", h.account.email}, {"password", h.account.password}})
                .toJson(),
            {{"apikey", h.backend->apikey.toUtf8()}, {"Content-Type", "application/json"}});
        QCOMPARE(signIn.status, 400);
    }
};

GW_TEST(SettingsWindowTest)
GW_BACKEND_TEST(AccountSettingsTest)
#include "SettingsWindowTests.moc"
