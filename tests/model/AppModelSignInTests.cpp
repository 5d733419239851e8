// Signing visitors in and out through the desk model, against a fake backend: what is
// inserted, the invite mark, the follow-up refresh and revision, and sign-out of everyone.

#include "FakeDesk.h"
#include "support/TestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <qcoro/qcorotask.h>

#include "badge/BadgePrinter.h"

using Route = FakeDesk::Route;
using Reply = FakeHttpServer::Reply;

namespace {

KioskField field(qint64 slot, const QString &label, bool employeeList = false,
                 const QString &type = QStringLiteral("Plain Text")) {
    return KioskField{slot, label, type, slot == 0, employeeList};
}

// A form given out of slot order, with two host fields.
KioskSettings deskForm() {
    return KioskSettings{{field(4, "Meeting with", true), field(0, "Name"), field(3, "Company"),
                          field(1, "Email", false, "Email"), field(2, "Host", true)},
                         {"Zoë Brandt", " Bob ", "Ann"},
                         {}};
}

VisitorDraft draft(std::initializer_list<std::pair<const qint64, QString>> answers) {
    VisitorDraft d;
    for (const auto &[slot, text] : answers)
        d.answers.insert(slot, text);
    return d;
}

QJsonArray answersJson(std::initializer_list<std::pair<QString, QString>> answers) {
    QJsonArray array;
    for (const auto &[label, value] : answers)
        array.append(QJsonObject{{"label", label}, {"value", value}});
    return array;
}

// Loads a form into the model the way a saved row arrives.
void useForm(FakeDesk &desk, const KioskSettings &form) {
    desk.kioskRow = form.toJson();
    waitTask(desk.model->loadSettings());
    QCOMPARE(desk.model->settings(), form);
}

int indexOf(const FakeDesk &desk, Route route, int nth = 0) {
    int seen = 0;
    for (int i = 0; i < desk.server.requests.size(); ++i)
        if (FakeDesk::routeOf(desk.server.requests[i]) == route && seen++ == nth)
            return i;
    return -1;
}

// Accepts connections and drops them at once: a webhook that cannot be reached.
class DeadWebhook : public QTcpServer {
public:
    int connections = 0;
    DeadWebhook() {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                ++connections;
                socket->abort();
                socket->deleteLater();
            }
        });
        listen(QHostAddress::LocalHost, 0);
    }
    QString url() const { return QStringLiteral("https://127.0.0.1:%1/hook").arg(serverPort()); }
};

} // namespace

class AppModelSignInTests : public QObject {
    Q_OBJECT
private slots:
    void signInStoresTheVisitor_data() {
        QTest::addColumn<VisitorDraft>("draft");
        QTest::addColumn<QJsonValue>("host");
        QTest::addColumn<QJsonArray>("answers");

        QTest::newRow("host by case and accents, empty answers left out")
            << draft({{0, "  Vera Visitor \n"}, {1, " "}, {2, "zoe BRANDT"}, {3, ""}})
            << QJsonValue("Zoë Brandt") << answersJson({{"Host", "zoe BRANDT"}});
        QTest::newRow("first host field by slot decides; entry untrimmed")
            << draft({{0, "Vera Visitor"}, {2, "bob"}, {4, "Ann"}, {3, " Acme "}})
            << QJsonValue(" Bob ")
            << answersJson({{"Host", "bob"}, {"Company", "Acme"}, {"Meeting with", "Ann"}});
        QTest::newRow("unmatched first host field, second one matches")
            << draft({{0, "Vera Visitor"}, {1, "v@x.io"}, {2, "Nobody"}, {4, "ann"}})
            << QJsonValue("Ann")
            << answersJson({{"Email", "v@x.io"}, {"Host", "Nobody"}, {"Meeting with", "ann"}});
        QTest::newRow("no host") << draft({{0, "Vera Visitor"}, {2, "Carol"}})
                                 << QJsonValue(QJsonValue::Null)
                                 << answersJson({{"Host", "Carol"}});
    }
    void signInStoresTheVisitor() {
        QFETCH(VisitorDraft, draft);
        QFETCH(QJsonValue, host);
        QFETCH(QJsonArray, answers);
        FakeDesk desk;
        useForm(desk, deskForm());
        AppModel &model = *desk.model;
        QSignalSpy revisionSpy(&model, &AppModel::visitorRevisionChanged);

        const BadgePrintResult result = waitTask(model.signIn(draft, std::nullopt));
        QCOMPARE(result, BadgePrintResult::skipped);

        QCOMPARE(desk.count(Route::insert), 1);
        const QJsonObject body = desk.lastBody(Route::insert);
        QCOMPARE(body.keys().size(), 7);
        QCOMPARE(QUuid::fromString(body.value("owner_id").toString()), desk.userID);
        QCOMPARE(body.value("visitor_name").toString(), QStringLiteral("Vera Visitor"));
        QVERIFY(body.contains("host_name"));
        QCOMPARE(body.value("host_name"), host);
        QCOMPARE(body.value("answers").toArray(), answers);
        QCOMPARE(body.value("signed_in_at").toString(), QStringLiteral("2026-03-04T10:00:00Z"));
        QCOMPARE(body.value("device_name").toString(), AppModel::deviceName());
        const QString recordID = body.value("device_record_id").toString();
        QVERIFY2(QRegularExpression("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$")
                     .match(recordID)
                     .hasMatch(),
                 qPrintable(recordID));

        // No invite, nothing marked; the refresh follows the insert, then the revision.
        QCOMPARE(desk.count(Route::markInvite), 0);
        QVERIFY(indexOf(desk, Route::onSite) > indexOf(desk, Route::insert));
        QCOMPARE(model.onSite().size(), 1);
        QCOMPARE(model.onSite().first().visitorName, QStringLiteral("Vera Visitor"));
        QCOMPARE(model.visitorRevision(), 1);
        QCOMPARE(revisionSpy.count(), 1);
    }

    void signInWithAnInviteMarksIt_data() {
        QTest::addColumn<std::optional<Reply>>("markReply");
        QTest::newRow("marked") << std::optional<Reply>();
        QTest::newRow("mark fails, sign-in stands")
            << std::optional<Reply>(Reply::json(500, R"({"message":"no"})"));
        Reply dropped;
        dropped.hangUp = true;
        QTest::newRow("mark connection dropped") << std::optional<Reply>(dropped);
    }
    void signInWithAnInviteMarksIt() {
        QFETCH(std::optional<Reply>, markReply);
        FakeDesk desk;
        if (markReply)
            desk.overrides[Route::markInvite] = *markReply;
        Invite invite;
        invite.id = QUuid::createUuid();
        invite.visitorName = QStringLiteral("Ivy Invited");
        invite.answers = {{1, QStringLiteral("Email"), QStringLiteral("ivy@x.io")}};
        const VisitorDraft prefilled = AppModel::draftFromInvite(invite);

        const BadgePrintResult result = waitTask(desk.model->signIn(prefilled, invite));
        QCOMPARE(result, BadgePrintResult::skipped);
        QCOMPARE(desk.lastBody(Route::insert).value("visitor_name").toString(),
                 QStringLiteral("Ivy Invited"));
        // The network layer may resend a request whose connection dropped; one is ours.
        const auto marks = desk.requests(Route::markInvite);
        QCOMPARE(marks.size(), markReply && markReply->hangUp ? marks.size() : 1);
        QVERIFY(!marks.isEmpty());
        QCOMPARE(marks[0].query().queryItemValue("id"),
                 "eq." + invite.id.toString(QUuid::WithoutBraces).toLower());
        QCOMPARE(QJsonDocument::fromJson(marks[0].body).object(),
                 (QJsonObject{{"used_at", "2026-03-04T10:00:00Z"}}));
        QVERIFY(indexOf(desk, Route::markInvite) > indexOf(desk, Route::insert));
        QCOMPARE(desk.model->visitorRevision(), 1);
        QCOMPARE(desk.model->onSite().size(), 1);
        QVERIFY(!desk.model->error());
    }

    void failedInsertChangesNothing() {
        FakeDesk desk;
        const QByteArray body = R"({"message":"insert refused"})";
        desk.overrides[Route::insert] = Reply::json(500, body);
        Invite invite;
        invite.id = QUuid::createUuid();
        try {
            waitTask(desk.model->signIn(draft({{0, "Vera"}}), invite));
            QFAIL("the sign-in should have failed");
        } catch (const CloudError &error) {
            QCOMPARE(error, CloudClient::parseErrorBody(500, body));
        }
        QCOMPARE(desk.count(Route::markInvite), 0);
        QCOMPARE(desk.count(Route::onSite), 0);
        QCOMPARE(desk.model->visitorRevision(), 0);
    }

    void signInWithoutSessionFailsSignedOut() {
        FakeDesk desk;
        desk.cloud->signOut();
        try {
            waitTask(desk.model->signIn(draft({{0, "Vera"}}), std::nullopt));
            QFAIL("the sign-in should have failed");
        } catch (const CloudError &error) {
            QCOMPARE(error.kind(), CloudError::Kind::signedOut);
        }
        QCOMPARE(desk.count(Route::insert), 0);
    }

    void autoPrintResultIsHandedBack() {
        FakeDesk desk;
        BadgePrinter printer(desk.preferences.get());
        printer.setAutoPrint(true);
        printer.setPrinterName(
            QStringLiteral("No Such Printer %1").arg(QUuid::createUuid().toString()));
        AppModel model(desk.cloud.get(), &printer, desk.preferences.get());
        QCOMPARE(waitTask(model.signIn(draft({{0, "Vera"}}), std::nullopt)),
                 BadgePrintResult::noPrinter);
        printer.setAutoPrint(false);
        QCOMPARE(waitTask(model.signIn(draft({{0, "Vera"}}), std::nullopt)),
                 BadgePrintResult::skipped);
        QCOMPARE(model.visitorRevision(), 2);
    }

    void signOutStampsAndRefreshes() {
        FakeDesk desk;
        const VisitorRow vera = desk.addVisitor("Vera");
        waitTask(desk.model->refresh());
        QCOMPARE(desk.model->onSite().size(), 1);

        waitTask(desk.model->signOut(vera));
        const auto patches = desk.requests(Route::signOut);
        QCOMPARE(patches.size(), 1);
        QCOMPARE(patches[0].query().queryItemValue("id"),
                 "eq." + vera.id.toString(QUuid::WithoutBraces).toLower());
        QCOMPARE(QJsonDocument::fromJson(patches[0].body).object(),
                 (QJsonObject{{"signed_out_at", "2026-03-04T10:00:00Z"}}));
        QVERIFY(desk.model->onSite().isEmpty());
        QCOMPARE(desk.model->visitorRevision(), 1);
    }

    void signOutEveryoneCountsFailures() {
        FakeDesk desk;
        const VisitorRow ann = desk.addVisitor("Ann");
        const VisitorRow bob = desk.addVisitor("Bob");
        const VisitorRow cat = desk.addVisitor("Cat");
        desk.failingSignOuts.insert(bob.id.toString(QUuid::WithoutBraces).toLower());
        waitTask(desk.model->refresh());
        QCOMPARE(desk.model->onSite().size(), 3);

        QCOMPARE(waitTask(desk.model->signOutEveryone()), 1);
        // Every visitor was tried once, in the order shown (newest first).
        const auto patches = desk.requests(Route::signOut);
        QCOMPARE(patches.size(), 3);
        QStringList order;
        for (const auto &patch : patches)
            order << patch.query().queryItemValue("id").mid(3);
        QCOMPARE(order, (QStringList{cat.id.toString(QUuid::WithoutBraces).toLower(),
                                     bob.id.toString(QUuid::WithoutBraces).toLower(),
                                     ann.id.toString(QUuid::WithoutBraces).toLower()}));
        QCOMPARE(desk.model->onSite().size(), 1);
        QCOMPARE(desk.model->onSite().first().id, bob.id);
        QCOMPARE(desk.model->visitorRevision(), 2);

        // With nobody on site there is nothing to do.
        desk.failingSignOuts.clear();
        waitTask(desk.model->signOutEveryone());
        QCOMPARE(waitTask(desk.model->signOutEveryone()), 0);
        QCOMPARE(desk.count(Route::signOut), 4);
    }

    void hostsAreToldWithoutWaiting_data() {
        QTest::addColumn<bool>("onSignIn");
        QTest::addColumn<bool>("onSignOut");
        QTest::newRow("sign-in alerts") << true << false;
        QTest::newRow("sign-out alerts") << false << true;
        QTest::newRow("alerts off") << false << false;
    }
    void hostsAreToldWithoutWaiting() {
        QFETCH(bool, onSignIn);
        QFETCH(bool, onSignOut);
        FakeDesk desk;
        DeadWebhook office;
        desk.notifyRow = NotificationSettings{office.url(), onSignIn, onSignOut, {}}.toJson();
        waitTask(desk.model->loadSettings());
        desk.preferences->remove("NotifyLastError");

        waitTask(desk.model->signIn(draft({{0, "Vera"}}), std::nullopt));
        // The sign-in returned before the delivery (which retries after 2 s) ended.
        QVERIFY(!desk.preferences->contains("NotifyLastError"));
        QTest::qWait(200);
        QCOMPARE(office.connections > 0, onSignIn);

        const int before = office.connections;
        waitTask(desk.model->signOut(desk.model->onSite().first()));
        QTest::qWait(200);
        QCOMPARE(office.connections > before, onSignOut);
        if (onSignIn || onSignOut)
            QTRY_VERIFY_WITH_TIMEOUT(desk.preferences->contains("NotifyLastError"), 6000);
    }
};

GW_TEST(AppModelSignInTests)
#include "AppModelSignInTests.moc"
