#include "DeskHarness.h"
#include "support/TestMain.h"
#include "ui/Style.h"

#include <QLabel>
#include <QNetworkAccessManager>
#include <QPushButton>

// The account screen: when its buttons let a person go ahead, and what it says back.
class AuthViewTest : public QObject {
    Q_OBJECT

    struct Screen {
        FakeDeskBackend backend;
        QNetworkAccessManager network;
        CloudClient cloud{&network, std::make_shared<MemorySessionStore>(), backend.config()};
        AuthView view{&cloud};

        Screen() { view.show(); }
        QLineEdit *field(const char *name) { return view.findChild<QLineEdit *>(name); }
        QPushButton *button(const char *name) { return view.findChild<QPushButton *>(name); }
        QLabel *message() { return view.findChild<QLabel *>("authMessage"); }
        QColor messageColor() { return message()->palette().color(QPalette::WindowText); }
        void fill(const QString &name, const QString &email, const QString &password) {
            typeInto(field("nameField"), name);
            typeInto(field("emailField"), email);
            typeInto(field("passwordField"), password);
        }
    };

private slots:
    void submitAllowed_data() {
        QTest::addColumn<bool>("create");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("allowed");
        const auto row = [](const char *tag, bool create, const char *name, const char *email,
                            const char *password, bool allowed) {
            QTest::newRow(tag) << create << QString(name) << QString(email) << QString(password)
                               << allowed;
        };
        row("spaces around address", false, "", " ann@example.com \t", "x", true);
        row("dot only before at", false, "", "ann.lee@example", "x", false);
        row("nothing before at", false, "", "@example.com", "x", false);
        row("two ats", false, "", "ann@@example.com", "x", false);
        row("space inside", false, "", "ann lee@example.com", "x", false);
        row("nothing after dot", false, "", "ann@example.", "x", false);
        row("empty password", false, "", "ann@example.com", "", false);
        row("space is a password", false, "", "ann@example.com", " ", true);
        row("create: 7 characters", true, "Ann", "a@example.com", "1234567", false);
        row("create: 8 characters", true, "Ann", "a@example.com", "12345678", true);
        row("create: no name", true, "", "a@example.com", "12345678", false);
    }
    void submitAllowed() {
        QFETCH(bool, create);
        QFETCH(QString, name);
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(bool, allowed);
        Screen screen;
        if (create)
            click(screen.button("createModeButton"));
        screen.fill(name, email, password);
        QCOMPARE(screen.button("submitButton")->isEnabled(), allowed);
        // Return in the password field does what the button would, and nothing otherwise.
        QTest::keyClick(screen.field("passwordField"), Qt::Key_Return);
        QTest::qWait(100);
        QTRY_COMPARE(screen.backend.server.requests.size(), allowed ? 1 : 0);
    }

    // A failed sign-in keeps what was typed; switching mode clears the message only.
    // While the request runs the buttons wait but the fields stay editable.
    void failedSignInThenModeSwitch() {
        Screen screen;
        screen.backend.delayMs = 300;
        screen.fill("", "desk@example.com", "wrong password");
        click(screen.button("submitButton"));
        QVERIFY(screen.view.isWorking());
        QVERIFY(!screen.button("submitButton")->isEnabled());
        QVERIFY(screen.field("emailField")->isEnabled());
        QTRY_VERIFY(!screen.view.isWorking());
        QCOMPARE(screen.message()->text(), "That email and password combination did not work.");
        QCOMPARE(screen.messageColor(), Style::errorColor(screen.view.palette()));
        QCOMPARE(screen.field("emailField")->text(), QStringLiteral("desk@example.com"));

        click(screen.button("createModeButton"));
        QVERIFY(!screen.message()->isVisibleTo(&screen.view));
        QCOMPARE(screen.field("passwordField")->text(), QStringLiteral("wrong password"));
        QVERIFY(!screen.button("forgotPasswordButton")->isVisibleTo(&screen.view));
    }

    void forgotPassword_data() {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("isError");
        QTest::newRow("not an address") << "desk@example"
                                        << "Enter your email above first." << true;
        // Known or not, the answer is the same so accounts cannot be probed.
        QTest::newRow("any address")
            << " nobody@example.org "
            << "If that email has an account, a reset link is on its way." << false;
    }
    void forgotPassword() {
        QFETCH(QString, email);
        QFETCH(QString, message);
        QFETCH(bool, isError);
        Screen screen;
        screen.fill("", email, "");
        click(screen.button("forgotPasswordButton"));
        QTRY_VERIFY(!screen.view.isWorking());
        QCOMPARE(screen.message()->text(), message);
        QCOMPARE(screen.messageColor(), isError ? Style::errorColor(screen.view.palette())
                                                : Style::secondaryColor(screen.view.palette()));
        QCOMPARE(screen.backend.server.requestsTo("/auth/v1/recover").size(), isError ? 0 : 1);
    }

    void accountNeedingConfirmationReturnsToSignIn() {
        Screen screen;
        screen.backend.signUpNeedsConfirmation = true;
        click(screen.button("createModeButton"));
        screen.fill("Ann Lee", "ann@example.com", "long enough");
        click(screen.button("submitButton"));
        QTRY_VERIFY(!screen.view.isWorking());
        QCOMPARE(screen.view.mode(), AuthView::Mode::signIn);
        QCOMPARE(screen.message()->text(),
                 "Check your inbox for a link to confirm your email, then sign in.");
        QVERIFY(!screen.view.isError());
        QVERIFY(!screen.cloud.isSignedIn());
    }
};

GW_TEST(AuthViewTest)
#include "AuthViewTests.moc"
