#include "DeskHarness.h"
#include "model/AppModel.h"
#include "support/TestMain.h"
#include "ui/Icons.h"
#include "ui/ProblemAlert.h"
#include "ui/SignInVisitorSheet.h"
#include "ui/SingleInstance.h"
#include "ui/Style.h"
#include "ui/TodayView.h"

#include <BuildConfig.h>

#include <QFormLayout>
#include <QLabel>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QStyleFactory>

namespace {
// Where Tab goes from `start`, by object name, until it comes back or `steps` run out.
QStringList tabChain(QWidget *start, int steps) {
    start->setFocus(Qt::TabFocusReason);
    QStringList names{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < steps; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget *now = QApplication::focusWidget();
        if (!now || now == start)
            break;
        names << now->objectName();
    }
    return names;
}

// The vertical gap between the form's last visible row and the button row.
int gapAboveButtons(AuthView *view) {
    auto *submit = view->findChild<QPushButton *>("submitButton");
    int formBottom = 0;
    for (QLineEdit *field : view->findChildren<QLineEdit *>())
        if (field->isVisible())
            formBottom = std::max(formBottom, field->mapTo(view, QPoint(0, field->height())).y());
    for (QLabel *label : view->findChildren<QLabel *>())
        if (label->isVisible() && label->objectName() == "passwordHint")
            formBottom = std::max(formBottom, label->mapTo(view, QPoint(0, label->height())).y());
    return submit->mapTo(view, QPoint(0, 0)).y() - formBottom;
}

QPalette darkPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x24, 0x24, 0x24));
    p.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    p.setColor(QPalette::Base, QColor(0x1b, 0x1b, 0x1b));
    p.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    p.setColor(QPalette::Button, QColor(0x33, 0x33, 0x33));
    p.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    return p;
}
} // namespace

// How the window behaves for a person meeting it: what stays in view, where the
// cursor goes, what the window says about itself, and that one desk runs at a time.
class WindowMannersTest : public QObject {
    Q_OBJECT

private slots:
    // A very long name is cut short; every row keeps its buttons inside the list.
    void longNamesLeaveTheButtonsInView() {
        DeskHarness h;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        h.backend.addVisitor(QString(120, QLatin1Char('W')), now.addSecs(-60), "Dana Scully",
                             "Front Desk");
        h.backend.addVisitor(QStringLiteral("Ann Lee"), now.addSecs(-30));
        h.launch();
        h.window()->resize(860, h.window()->minimumSizeHint().height());
        QTRY_COMPARE(h.desk()->findChildren<OnSiteRow *>().size(), 2);
        auto *list = h.find<QScrollArea>("onSiteList");
        QTRY_VERIFY(list->isVisible());
        QApplication::processEvents();
        const QRect viewport = list->viewport()->rect();
        for (OnSiteRow *row : h.desk()->findChildren<OnSiteRow *>()) {
            for (const char *name : {"signOutButton", "printBadgeButton"}) {
                auto *button = row->findChild<QWidget *>(name);
                const QRect shown(button->mapTo(list->viewport(), QPoint(0, 0)), button->size());
                QVERIFY2(viewport.contains(shown),
                         qPrintable(row->row().visitorName.left(10) + " " + name));
            }
        }
        // At the smallest size the content itself still gets its 860 × 560.
        QCOMPARE(h.window()->contentView()->minimumSize(), QSize(860, 560));
        QVERIFY(h.window()->minimumSizeHint().height() > 560);
    }

    // Tab reaches the mode switch and then each field shown, in order; a new account
    // starts in Name. The gap above the buttons stays 20 whatever was switched before.
    void accountScreenKeyboard() {
        DeskHarness h;
        h.launch(false);
        AuthView *view = h.auth();
        QVERIFY(QTest::qWaitForWindowActive(h.window()));
        auto *signInMode = view->findChild<QPushButton *>("signInModeButton");
        QCOMPARE(gapAboveButtons(view), 20);
        QCOMPARE(tabChain(signInMode, 8),
                 (QStringList{"signInModeButton", "createModeButton", "emailField", "passwordField",
                              "forgotPasswordButton"}));

        click(view->findChild<QPushButton *>("createModeButton"));
        QCOMPARE(QApplication::focusWidget(), view->findChild<QLineEdit *>("nameField"));
        QCOMPARE(tabChain(signInMode, 8),
                 (QStringList{"signInModeButton", "createModeButton", "nameField", "emailField",
                              "passwordField"}));
        click(signInMode);
        QCOMPARE(gapAboveButtons(view), 20);

        // A reset asked for without an address points at the address.
        typeInto(view->findChild<QLineEdit *>("passwordField"), "secret");
        click(view->findChild<QPushButton *>("forgotPasswordButton"));
        QCOMPARE(QApplication::focusWidget(), view->findChild<QLineEdit *>("emailField"));
        // Labels carry access keys to their fields.
        auto *form = view->findChild<QFormLayout *>();
        auto *emailLabel =
            qobject_cast<QLabel *>(form->labelForField(view->findChild<QLineEdit *>("emailField")));
        QCOMPARE(emailLabel->text(), QStringLiteral("&Email"));
        QCOMPARE(emailLabel->buddy(), view->findChild<QLineEdit *>("emailField"));
    }

    // The title names the section; the View menu collapses the sidebar like the
    // toolbar button; About names the version and the backend in use.
    void windowSaysWhereYouAre() {
        DeskHarness h;
        h.launch(false);
        QCOMPARE(h.window()->windowTitle(), QStringLiteral("Greetwell"));
        QVERIFY(!h.window()->toggleSidebarAction()->isEnabled());
        h.quit();
        h.launch();
        QCOMPARE(h.window()->windowTitle(), QStringLiteral("Today — Greetwell"));
        h.desk()->setSection(DeskSection::employees);
        QCOMPARE(h.window()->windowTitle(), QStringLiteral("Employees — Greetwell"));

        QAction *toggle = h.window()->toggleSidebarAction();
        QVERIFY(toggle->isEnabled());
        QCOMPARE(toggle->text(), QStringLiteral("&Collapse Sidebar"));
        toggle->trigger();
        QVERIFY(h.desk()->isSidebarCollapsed());
        QCOMPARE(toggle->text(), QStringLiteral("&Expand Sidebar"));

        const QString about = h.window()->aboutText();
        QVERIFY2(about.contains(QLatin1String(BuildConfig::version)), qPrintable(about));
        QVERIFY2(about.contains(h.backend.server.url().toString()), qPrintable(about));
    }

    // Secondary text stays readable (4.5:1) on the window, lists and tiles, in a light
    // and in a dark palette.
    void secondaryTextContrast_data() {
        QTest::addColumn<QPalette>("palette");
        QTest::newRow("light") << QStyleFactory::create("Fusion")->standardPalette();
        QTest::newRow("dark") << darkPalette();
    }
    void secondaryTextContrast() {
        QFETCH(QPalette, palette);
        const QColor secondary = Style::secondaryColor(palette);
        for (const QColor &ground : {palette.color(QPalette::Window), palette.color(QPalette::Base),
                                     Style::tileBackground(palette)})
            QVERIFY2(Style::contrastRatio(secondary, ground) >= 4.5,
                     qPrintable(QString::number(Style::contrastRatio(secondary, ground))));
        // Still visibly quieter than the main text.
        QVERIFY(secondary != palette.color(QPalette::WindowText));
    }

    // A question the account wrote with "&" shows it, and takes no access key from it.
    void formLabelsAreTextNotShortcuts() {
        DeskHarness h;
        h.backend.kioskSettings = QJsonDocument::fromJson(R"({"employees": [], "fields": [
            {"slot": 0, "label": "Name", "type": "Plain Text", "required": true, "employee_list": false},
            {"slot": 1, "label": "R&D contact", "type": "Plain Text", "required": true, "employee_list": false}
        ]})")
                                      .object();
        h.launch();
        QTRY_COMPARE(h.model()->settings().fields.size(), 2);
        h.model()->setSigningIn(true);
        QTRY_VERIFY(h.find<SignInVisitorSheet>("signInSheet"));
        auto *sheet = h.find<SignInVisitorSheet>("signInSheet");
        auto *form = sheet->findChild<QFormLayout *>();
        auto *label = qobject_cast<QLabel *>(
            form->labelForField(sheet->findChild<QWidget *>("answerField1")));
        QVERIFY(label);
        QVERIFY2(QKeySequence::mnemonic(label->text()).isEmpty(), qPrintable(label->text()));
        QCOMPARE(label->text().replace(QLatin1String("&&"), QLatin1String("&")),
                 QStringLiteral("R&D contact"));
    }

    // Symbol icons take the text colour of the palette in use, so they do not vanish on
    // a dark one.
    void symbolIconsFollowThePalette() {
        const QPalette before = QGuiApplication::palette();
        QGuiApplication::setPalette(darkPalette());
        const QImage icon =
            Icons::symbol(QStringLiteral("printer")).pixmap(QSize(24, 24)).toImage();
        QGuiApplication::setPalette(before);
        int inked = 0;
        for (int y = 0; y < icon.height(); ++y)
            for (int x = 0; x < icon.width(); ++x) {
                const QColor pixel = icon.pixelColor(x, y);
                if (pixel.alpha() < 128)
                    continue;
                ++inked;
                // Within rounding of the premultiplied edge pixels.
                const QColor text = darkPalette().color(QPalette::WindowText);
                QVERIFY(qAbs(pixel.red() - text.red()) <= 3 &&
                        qAbs(pixel.blue() - text.blue()) <= 3);
            }
        QVERIFY(inked > 10);
    }

    // The error alert is wide enough for its bold title and a long message; the
    // sign-out-everyone question warns, marks its button red and defaults to Cancel.
    void alertsSayWhatTheyMean() {
        QWidget parent;
        parent.show();
        const QString message =
            QStringLiteral("The badge didn't print. Check the printer and try again.");
        QMessageBox *alert = makeErrorAlert(&parent, message);
        alert->open();
        auto *title = alert->findChild<QLabel *>("qt_msgbox_label");
        QVERIFY(title->font().bold() || title->font().weight() >= QFont::DemiBold);
        auto *text = alert->findChild<QLabel *>("qt_msgbox_informativelabel");
        QCOMPARE(text->text(), message);
        QVERIFY2(text->width() >= 300, qPrintable(QString::number(text->width())));
        alert->close();

        DeskHarness h;
        h.backend.addVisitor("Ann Lee", QDateTime::currentDateTimeUtc());
        h.launch();
        QTRY_COMPARE(h.model()->onSite().size(), 1);
        auto *today = qobject_cast<TodayView *>(h.desk()->currentSectionView());
        today->findChild<QAction *>("signOutEveryoneAction")->trigger();
        auto *confirm = h.window()->findChild<QMessageBox *>("signOutEveryoneConfirmation");
        QVERIFY(confirm);
        QCOMPARE(confirm->icon(), QMessageBox::Warning);
        QCOMPARE(confirm->defaultButton(), confirm->button(QMessageBox::Cancel));
        auto *destroy = confirm->findChild<QPushButton *>("confirmSignOutEveryoneButton");
        QCOMPARE(destroy->palette().color(QPalette::ButtonText),
                 Style::errorColor(destroy->palette()));
        confirm->reject();
    }

    // A second launch finds the first and asks it to come forward; nothing else is
    // taken for that request. With nobody listening it stands alone.
    void secondLaunchRaisesTheFirst() {
        QTemporaryDir dir;
        const QString name = dir.filePath("desk");
        SingleInstance alone(name);
        QVERIFY(!alone.forwardToRunning(200));

        SingleInstance first(name);
        QVERIFY(first.listen());
        QSignalSpy raised(&first, &SingleInstance::raiseRequested);
        SingleInstance second(name);
        QVERIFY(second.forwardToRunning());
        QVERIFY(raised.wait(2000));
        QCOMPARE(raised.size(), 1);

        QLocalSocket stranger;
        stranger.connectToServer(name);
        QVERIFY(stranger.waitForConnected(1000));
        stranger.write("open /etc/passwd\n");
        stranger.waitForBytesWritten(1000);
        QTest::qWait(200);
        QCOMPARE(raised.size(), 1);

        // Raising brings a minimised window back.
        DeskHarness h;
        h.launch(false);
        h.window()->showMinimized();
        h.app->raiseMainWindow();
        QVERIFY(!(h.window()->windowState() & Qt::WindowMinimized));
    }
};

GW_TEST(WindowMannersTest)
#include "WindowMannersTests.moc"
