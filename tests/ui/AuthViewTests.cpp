#include "DeskHarness.h"
#include "support/TestMain.h"
#include "ui/Style.h"

#include <QLabel>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QTest>

// The account screen: when its buttons let a person go ahead, and what it says back.
class AuthViewTest : public QObject {
    Q_OBJECT

    struct Screen {
        FakeDeskBackend backend;
        QNetworkAccessManager network;
        CloudClient cloud{&network, std::make_shared<MemorySessionStore>(), backend.config()};
        AuthView view{&cloud};

        QLineEdit *field(const char *name) { return view.findChild<QLineEdit *>(name); }
        QPushButton *button(const char *name) { return view.findChild<QPushButton *>(name); }
        QLabel *message() { return view.findChild<QLabel *>("authMessage"); }
        void fill(const QString &name, const QString &email, const QString &password) {
            typeInto(field("nameField"), name);
            typeInto(field("emailField"), email);
            typeInto(field("passwordField"), password);
        }
    };

    static QColor shownColor(QLabel *label) { return label->palette().color(QPalette::WindowText); }

private slots:
    void submitAllowed_data() {
        QTest::addColumn<bool>("create");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("allowed");

        QTest::newRow("plain address") << false << ""
                                       << "ann@example.com"
                                       << "x" << true;
        QTest::newRow("spaces around address") << false << ""
                                               << "  ann@example.com \t"
                                               << "x" << true;
        QTest::newRow("no dot after at") << false << ""
                                         << "ann@example"
                                         << "secret" << false;
        QTest::newRow("dot only before at") << false << ""
                                            << "ann.lee@example"
                                            << "secret" << false;
        QTest::newRow("nothing before at") << false << ""
                                           << "@example.com"
                                           << "secret" << false;
        QTest::newRow("two ats") << false << ""
                                 << "ann@@example.com"
                                 << "secret" << false;
        QTest::newRow("space inside") << false << ""
                                      << "ann lee@example.com"
                                      << "secret" << false;
        QTest::newRow("nothing after dot") << false << ""
                                           << "ann@example."
                                           << "secret" << false;
        QTest::newRow("empty password") << false << ""
                                        << "ann@example.com"
                                        << "" << false;
        QTest::newRow("space is a password") << false << ""
                                             << "ann@example.com"
                                             << " " << true;
        QTest::newRow("create: seven characters") << true << "Ann"
                                                  << "ann@example.com"
                                                  << "1234567" << false;
        QTest::newRow("create: eight characters") << true << "Ann"
                                                  << "ann@example.com"
                                                  << "12345678" << true;
        QTest::newRow("create: no name") << true << ""
                                         << "ann@example.com"
                                         << "12345678" << false;
        QTest::newRow("create: bad address") << true << "Ann"
                                             << "ann@example"
                                             << "12345678" << false;
    }

    void submitAllowed() {
        QFETCH(bool, create);
        QFETCH(QString, name);
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(bool, allowed);
        Screen screen;
        screen.view.show();
        if (create)
            click(screen.button("createModeButton"));
        screen.fill(name, email, password);
        QCOMPARE(screen.button("submitButton")->isEnabled(), allowed);

        // Return in the password field does what the button would, and nothing otherwise.
        QTest::keyClick(screen.field("passwordField"), Qt::Key_Return);
        QTest::qWait(100);
        QTRY_COMPARE(screen.backend.server.requests.size(), allowed ? 1 : 0);
    }

    void modeSwitchKeepsTypingAndClearsMessage() {
        Screen screen;
        screen.view.show();
        screen.fill("", "desk@example.com", "wrong password");
        click(screen.button("submitButton"));
        QTRY_VERIFY(!screen.view.isWorking());
        QCOMPARE(screen.message()->text(),
                 QStringLiteral("That email and password combination did not work."));
        QVERIFY(screen.message()->isVisibleTo(&screen.view));
        QCOMPARE(shownColor(screen.message()), Style::errorColor(screen.view.palette()));
        // Typed values stay so the person can correct them.
        QCOMPARE(screen.field("emailField")->text(), QStringLiteral("desk@example.com"));

        click(screen.button("createModeButton"));
        QVERIFY(!screen.message()->isVisibleTo(&screen.view));
        QVERIFY(screen.field("nameField")->isVisibleTo(&screen.view));
        QCOMPARE(screen.field("passwordField")->text(), QStringLiteral("wrong password"));
        QCOMPARE(screen.button("submitButton")->text(), QStringLiteral("Create Account"));
        QVERIFY(!screen.button("forgotPasswordButton")->isVisibleTo(&screen.view));
    }

    void busyWhileRequestRuns() {
        Screen screen;
        screen.backend.server.setHandler([](const FakeHttpServer::Request &) {
            FakeHttpServer::Reply reply = FakeHttpServer::Reply::json(200, "{}");
            reply.delayMs = 400;
            return reply;
        });
        screen.view.show();
        screen.fill("", "desk@example.com", "secret");
        click(screen.button("forgotPasswordButton"));
        QVERIFY(screen.view.isWorking());
        QVERIFY(!screen.button("submitButton")->isEnabled());
        QVERIFY(!screen.button("forgotPasswordButton")->isEnabled());
        QVERIFY(screen.view.findChild<QWidget *>("authBusy")->isVisible());
        // The fields stay editable meanwhile.
        QVERIFY(screen.field("emailField")->isEnabled());
        QTRY_VERIFY(!screen.view.isWorking());
        QVERIFY(screen.button("submitButton")->isEnabled());
        QCOMPARE(screen.backend.server.requests.size(), 1);
    }

    void forgotPassword_data() {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("isError");
        QTest::addColumn<int>("requests");
        QTest::newRow("no address") << ""
                                    << "Enter your email above first." << true << 0;
        QTest::newRow("not an address") << "desk@example"
                                        << "Enter your email above first." << true << 0;
        QTest::newRow("known address")
            << "desk@example.com"
            << "If that email has an account, a reset link is on its way." << false << 1;
        QTest::newRow("unknown address")
            << " nobody@example.org "
            << "If that email has an account, a reset link is on its way." << false << 1;
    }

    void forgotPassword() {
        QFETCH(QString, email);
        QFETCH(QString, message);
        QFETCH(bool, isError);
        QFETCH(int, requests);
        Screen screen;
        screen.view.show();
        screen.fill("", email, "");
        click(screen.button("forgotPasswordButton"));
        QTRY_VERIFY(!screen.view.isWorking());
        QCOMPARE(screen.message()->text(), message);
        QCOMPARE(screen.view.isError(), isError);
        QCOMPARE(shownColor(screen.message()), isError
                                                   ? Style::errorColor(screen.view.palette())
                                                   : Style::secondaryColor(screen.view.palette()));
        QCOMPARE(screen.backend.requestsTo("POST", "/auth/v1/recover").size(), requests);
    }

    void accountNeedingConfirmationReturnsToSignIn() {
        Screen screen;
        screen.backend.signUpNeedsConfirmation = true;
        screen.view.show();
        click(screen.button("createModeButton"));
        screen.fill("Ann Lee", "ann@example.com", "long enough");
        click(screen.button("submitButton"));
        QTRY_VERIFY(!screen.view.isWorking());
        QCOMPARE(screen.view.mode(), AuthView::Mode::signIn);
        QVERIFY(screen.button("signInModeButton")->isChecked());
        QCOMPARE(
            screen.message()->text(),
            QStringLiteral("Check your inbox for a link to confirm your email, then sign in."));
        QVERIFY(!screen.view.isError());
        QVERIFY(!screen.cloud.isSignedIn());
    }
};

GW_TEST(AuthViewTest)
#include "AuthViewTests.moc"
