#include "DeskHarness.h"
#include "model/AppModel.h"
#include "support/TestMain.h"
#include "ui/AnswerField.h"
#include "ui/SignInVisitorSheet.h"
#include "ui/TodayView.h"

#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

namespace {
// The local backend the ctest fixture started.
std::optional<CloudClient::Config> fixtureConfig() {
    QFile file(qEnvironmentVariable("GREETWELL_TEST_BACKEND_INFO"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonObject info = QJsonDocument::fromJson(file.readAll()).object();
    const QUrl url(info.value("url").toString());
    return CloudClient::Config{url, url, info.value("apikey").toString()};
}

QStringList onSiteNames(DeskView *desk) {
    QStringList names;
    for (OnSiteRow *row : desk->findChildren<OnSiteRow *>())
        if (row->isVisibleTo(desk))
            names << row->row().visitorName;
    names.sort();
    return names;
}
} // namespace

// The desk against the real local backend: a new account from the account screen, then
// a morning at reception.
class DeskBackendTest : public QObject {
    Q_OBJECT
    std::optional<CloudClient::Config> m_config;

    void launch(DeskHarness &h) {
        h.app = std::make_unique<GreetwellApp>(h.store, &h.preferences, *m_config);
        h.app->show();
    }

    static void signInVisitor(DeskHarness &h, const QString &name) {
        click(h.find<QToolButton>("signInVisitorButton"));
        QTRY_VERIFY(h.find<SignInVisitorSheet>("signInSheet"));
        auto *sheet = h.find<SignInVisitorSheet>("signInSheet");
        typeInto(sheet->findChild<AnswerField *>("answerField0")->lineEdit(), name);
        click(sheet->findChild<QPushButton *>("signInButton"));
        QTRY_VERIFY2(!h.find<SignInVisitorSheet>("signInSheet"),
                     qPrintable(sheet->message().value_or("still open")));
    }

private slots:
    void initTestCase() {
        m_config = fixtureConfig();
        QVERIFY2(m_config, "the local backend fixture is not running");
    }

    void aMorningAtReception() {
        DeskHarness h;
        launch(h);
        const QString email = QStringLiteral("desk-%1@example.com")
                                  .arg(QUuid::createUuid().toString(QUuid::Id128).left(12));
        click(h.find<QPushButton>("createModeButton"));
        typeInto(h.find<QLineEdit>("nameField"), "Front Desk");
        typeInto(h.find<QLineEdit>("emailField"), email);
        typeInto(h.find<QLineEdit>("passwordField"), "short");
        QVERIFY(!h.find<QPushButton>("submitButton")->isEnabled());
        typeInto(h.find<QLineEdit>("passwordField"), "long enough");
        click(h.find<QPushButton>("submitButton"));

        // The new account is signed in at once and lands on Today.
        QTRY_VERIFY(h.desk());
        QTRY_COMPARE(h.find<QLabel>("emptyDescription")->text(),
                     QStringLiteral("Visitors signed in on any device show up here."));
        QVERIFY(!h.find<QWidget>("errorBanner")->isVisible());

        // A walk-in without a name is turned back; nothing is saved.
        click(h.find<QToolButton>("signInVisitorButton"));
        QTRY_VERIFY(h.find<SignInVisitorSheet>("signInSheet"));
        auto *sheet = h.find<SignInVisitorSheet>("signInSheet");
        typeInto(sheet->findChild<AnswerField *>("answerField1")->lineEdit(), "ann@example.com");
        click(sheet->findChild<QPushButton *>("signInButton"));
        QCOMPARE(sheet->message(), std::optional<QString>("Please fill in Name."));
        click(sheet->findChild<QPushButton *>("cancelButton"));
        QTRY_VERIFY(!h.find<SignInVisitorSheet>("signInSheet"));
        QVERIFY(h.model()->onSite().isEmpty());

        signInVisitor(h, "Ann Lee");
        signInVisitor(h, "Bo Chen");
        signInVisitor(h, "Cy Diaz");
        QTRY_COMPARE(onSiteNames(h.desk()), QStringList({"Ann Lee", "Bo Chen", "Cy Diaz"}));
        QCOMPARE(h.find<StatTile>("visitorsTodayTile")->valueText(), QStringLiteral("3"));
        QCOMPARE(h.find<StatTile>("onSiteTile")->valueText(), QStringLiteral("3"));

        OnSiteRow *bo = nullptr;
        for (OnSiteRow *row : h.desk()->findChildren<OnSiteRow *>())
            if (row->row().visitorName == "Bo Chen")
                bo = row;
        click(bo->findChild<QPushButton *>("signOutButton"));
        QTRY_COMPARE(onSiteNames(h.desk()), QStringList({"Ann Lee", "Cy Diaz"}));

        click(h.find<QToolButton>("signOutEveryoneActionButton"));
        QMessageBox *confirm = h.window()->findChild<QMessageBox *>("signOutEveryoneConfirmation");
        QVERIFY(confirm);
        QCOMPARE(confirm->text(), QStringLiteral("Sign out all 2 visitors on site?"));
        click(confirm->findChild<QPushButton *>("confirmSignOutEveryoneButton"));
        QTRY_VERIFY(onSiteNames(h.desk()).isEmpty());
        QTRY_COMPARE(h.find<StatTile>("onSiteTile")->valueText(), QStringLiteral("0"));
        QCOMPARE(h.find<StatTile>("visitorsTodayTile")->valueText(), QStringLiteral("3"));

        // Signed out elsewhere, then back in from the account screen.
        h.app->cloud()->signOut();
        QTRY_VERIFY(h.auth());
        typeInto(h.find<QLineEdit>("emailField"), email);
        typeInto(h.find<QLineEdit>("passwordField"), "wrong password");
        click(h.find<QPushButton>("submitButton"));
        QTRY_VERIFY(h.auth()->message());
        QCOMPARE(*h.auth()->message(),
                 QStringLiteral("That email and password combination did not work."));
        typeInto(h.find<QLineEdit>("passwordField"), "long enough");
        QTest::keyClick(h.find<QLineEdit>("passwordField"), Qt::Key_Return);
        QTRY_VERIFY(h.desk());
        QTRY_COMPARE(h.find<StatTile>("thisWeekTile")->valueText(), QStringLiteral("3"));
    }
};

GW_BACKEND_TEST(DeskBackendTest)
#include "DeskBackendTests.moc"
