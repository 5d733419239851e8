// The desk's actions through the model, against a fake backend: signing visitors in and
// out, the saved form's cleaning rules, and saving the form and one employee.

#include "FakeDesk.h"
#include "support/TestMain.h"

#include "badge/BadgePrintResult.h"

using Reply = FakeHttpServer::Reply;

struct EmployeeEdit {
    QStringList employees;
    QMap<QString, QString> webhooks;
    std::optional<QString> oldName, newName;
    QString webhook;
    QStringList expectedEmployees;
    QMap<QString, QString> expectedWebhooks;
};

namespace {
VisitorDraft draft(std::initializer_list<std::pair<const qint64, QString>> answers) {
    return VisitorDraft{QMap<qint64, QString>(answers)};
}

KioskField field(qint64 slot, const QString &label, bool required = false, bool hostList = false) {
    return KioskField{slot, label, "Plain Text", required, hostList};
}

// slot:label:req|opt, ... / employees / place name
QString describe(const KioskSettings &form) {
    QStringList fields;
    for (const KioskField &f : form.fields)
        fields << QString("%1:%2:%3").arg(f.slot).arg(f.label, f.required ? "req" : "opt");
    return fields.join(',') + " / " + form.employees.join(',') + " / " +
           form.placeName.value_or("-");
}
} // namespace

class AppModelActionTests : public QObject {
    Q_OBJECT
private slots:
    void signInStoresTheVisitor_data() {
        QTest::addColumn<VisitorDraft>("draft");
        QTest::addColumn<QJsonValue>("host");
        QTest::addColumn<QString>("answers"); // ' stands for "
        QTest::newRow("host by case and accents, empty answers left out")
            << draft({{0, "  Vera Visitor \n"}, {1, " "}, {2, "zoe BRANDT"}, {3, ""}})
            << QJsonValue("Zoë Brandt") << "[{'label':'Host','value':'zoe BRANDT'}]";
        QTest::newRow("lower slot decides; list entry kept untrimmed")
            << draft({{0, "Vera Visitor"}, {2, "bob"}, {4, "Ann"}, {3, " Acme "}})
            << QJsonValue(" Bob ")
            << "[{'label':'Host','value':'bob'},{'label':'Company','value':'Acme'},"
               "{'label':'Meeting with','value':'Ann'}]";
        QTest::newRow("first host field unmatched, second matches")
            << draft({{0, "Vera Visitor"}, {2, "Nobody"}, {4, "ann"}}) << QJsonValue("Ann")
            << "[{'label':'Host','value':'Nobody'},{'label':'Meeting with','value':'ann'}]";
    }
    void signInStoresTheVisitor() {
        QFETCH(VisitorDraft, draft);
        QFETCH(QJsonValue, host);
        QFETCH(QString, answers);
        FakeDesk desk;
        // Given out of slot order, with two host fields.
        desk.kioskRow = KioskSettings{
            {field(4, "Meeting with", false, true), field(0, "Name", true), field(3, "Company"),
             field(1, "Email"), field(2, "Host", false, true)},
            {"Zoë Brandt", " Bob ", "Ann"},
            {}}.toJson();
        runTask(desk.model->loadSettings()).get();

        QCOMPARE(runTask(desk.model->signIn(draft, std::nullopt)).get(), BadgePrintResult::skipped);
        const QJsonObject body = desk.lastBody("POST visitors");
        QCOMPARE(body.value("visitor_name").toString(), QStringLiteral("Vera Visitor"));
        QCOMPARE(body.value("host_name"), host);
        QCOMPARE(body.value("answers").toArray(),
                 QJsonDocument::fromJson(answers.replace('\'', '"').toUtf8()).array());
        QCOMPARE(body.value("signed_in_at").toString(), QStringLiteral("2026-03-04T10:00:00Z"));
        QCOMPARE(body.value("device_name").toString(), AppModel::deviceName());
        QCOMPARE(desk.count("PATCH invites"), 0);
        // The refresh follows the insert, then the revision moves.
        QCOMPARE(desk.model->onSite().size(), 1);
        QCOMPARE(desk.model->visitorRevision(), 1);
    }

    void signInWithAnInviteMarksIt_data() {
        QTest::addColumn<bool>("markFails");
        QTest::newRow("marked") << false;
        QTest::newRow("mark fails, sign-in stands") << true;
    }
    void signInWithAnInviteMarksIt() {
        QFETCH(bool, markFails);
        FakeDesk desk;
        if (markFails)
            desk.overrides["PATCH invites"] = Reply::json(500, R"({"message":"no"})");
        Invite invite;
        invite.id = QUuid::createUuid();
        invite.visitorName = "Ivy Invited";
        invite.answers = {{1, "Email", "ivy@x.io"}};

        runTask(desk.model->signIn(AppModel::draftFromInvite(invite), invite)).get();
        QCOMPARE(desk.lastBody("POST visitors").value("visitor_name").toString(),
                 QStringLiteral("Ivy Invited"));
        const auto marks = desk.requests("PATCH invites");
        QCOMPARE(marks.size(), 1);
        QCOMPARE(marks[0].query().queryItemValue("id"), "eq." + FakeDesk::idOf(invite.id));
        QCOMPARE(QJsonDocument::fromJson(marks[0].body).object(),
                 (QJsonObject{{"used_at", "2026-03-04T10:00:00Z"}}));
        QCOMPARE(desk.model->visitorRevision(), 1);
        QVERIFY(!desk.model->error());
    }

    void failedInsertChangesNothing() {
        FakeDesk desk;
        desk.overrides["POST visitors"] = Reply::json(400, R"({"message":"refused"})");
        Invite invite;
        invite.id = QUuid::createUuid();
        QVERIFY_THROWS_EXCEPTION(CloudError,
                                 runTask(desk.model->signIn(draft({{0, "V"}}), invite)).get());
        QCOMPARE(desk.count("PATCH invites"), 0);
        QCOMPARE(desk.model->visitorRevision(), 0);
    }

    void signOutEveryoneCountsFailures() {
        FakeDesk desk;
        desk.addVisitor("Ann");
        desk.failingSignOuts.insert(FakeDesk::idOf(desk.addVisitor("Bob").id));
        desk.addVisitor("Cat");
        runTask(desk.model->refresh()).get();

        QCOMPARE(runTask(desk.model->signOutEveryone()).get(), 1);
        QCOMPARE(desk.count("PATCH visitors"), 3); // the failure did not stop the others
        QCOMPARE(desk.lastBody("PATCH visitors"),
                 (QJsonObject{{"signed_out_at", "2026-03-04T10:00:00Z"}}));
        QCOMPARE(desk.model->onSite().size(), 1);
        QCOMPARE(desk.model->onSite().first().visitorName, QStringLiteral("Bob"));
        QCOMPARE(desk.model->visitorRevision(), 2);
    }

    void cleanedForm_data() {
        QTest::addColumn<KioskSettings>("form");
        QTest::addColumn<QString>("expected");
        const QList<KioskField> name{field(0, "Name", true)};
        QTest::newRow("slot order, equal slots stable, labels trimmed or named")
            << KioskSettings{{field(2, " Phone\t"), field(0, "Name", true), field(1, "B"),
                              field(1, "A"), field(4, " \n")},
                             {},
                             {}}
            << "0:Name:req,1:B:opt,1:A:opt,2:Phone:opt,4:Field 5:opt /  / -";
        QTest::newRow("slot 0 always required, blank label named")
            << KioskSettings{{field(0, " "), field(3, "Host", true)}, {}, " Front desk "}
            << "0:Name:req,3:Host:req /  / Front desk";
        QTest::newRow("missing name field inserted first")
            << KioskSettings{{field(2, "Company", true)}, {}, "  "}
            << "0:Name:req,2:Company:req /  / -";
        QTest::newRow("employees trimmed, blanks dropped, first case kept")
            << KioskSettings{name, {" Ann ", "ann", "ZOE", "Zoe", "", " \n", "José", "Jose"}, {}}
            << "0:Name:req / Ann,Jose,José,ZOE / -";
        QTest::newRow("natural order, case ignored")
            << KioskSettings{name, {"Item 10", "bob", "Item 2", "Carol", "item 1", "alice"}, {}}
            << "0:Name:req / alice,bob,Carol,item 1,Item 2,Item 10 / -";
    }
    void cleanedForm() {
        QFETCH(KioskSettings, form);
        QFETCH(QString, expected);
        QCOMPARE(describe(AppModel::cleanedForm(form)), expected);
    }

    void saveEmployee_data() {
        QTest::addColumn<EmployeeEdit>("edit");
        const QString hook = "https://hooks.example.com/ann";
        QTest::newRow("add, name and webhook trimmed") << EmployeeEdit{
            {"Bob"}, {}, {}, " Ann \n", " " + hook + "\n", {"Ann", "Bob"}, {{"Ann", hook}}};
        QTest::newRow("rename moves the webhook") << EmployeeEdit{
            {"Ann", "Bob"},  {{"Ann", hook}, {"Bob", "https://b/"}}, "Ann", "Anna", hook,
            {"Anna", "Bob"}, {{"Anna", hook}, {"Bob", "https://b/"}}};
        QTest::newRow("remove drops the webhook")
            << EmployeeEdit{{"Ann", "Bob"}, {{"Ann", hook}}, "Ann", {}, "", {"Bob"}, {}};
        QTest::newRow("clearing the webhook removes it")
            << EmployeeEdit{{"Ann"}, {{"Ann", hook}}, "Ann", "Ann", " ", {"Ann"}, {}};
    }
    void saveEmployee() {
        QFETCH(EmployeeEdit, edit);
        FakeDesk desk;
        desk.kioskRow =
            KioskSettings{KioskSettings::defaults().fields, edit.employees, {}}.toJson();
        desk.notifyRow = NotificationSettings{{}, true, false, edit.webhooks}.toJson();
        runTask(desk.model->loadSettings()).get();

        runTask(desk.model->saveEmployee(edit.oldName, edit.newName, edit.webhook)).get();
        QCOMPARE(KioskSettings::fromJson(*desk.kioskRow).employees, edit.expectedEmployees);
        QCOMPARE(NotificationSettings::fromJson(*desk.notifyRow).employeeWebhooks,
                 edit.expectedWebhooks);
        QCOMPARE(desk.model->settings().employees, edit.expectedEmployees);
        QCOMPARE(desk.model->notifications().employeeWebhooks, edit.expectedWebhooks);
    }

    void failedWebhookSaveLeavesTheModelAsSaved() {
        FakeDesk desk;
        desk.overrides["POST notification_settings"] = FakeHttpServer::Reply::json(500, "{}");
        QVERIFY_THROWS_EXCEPTION(
            CloudError,
            runTask(desk.model->saveEmployee({}, QString("Ann"), "https://h.example/a")).get());
        QCOMPARE(desk.model->settings().employees, QStringList{"Ann"}); // the list was saved
        QVERIFY(desk.model->notifications().employeeWebhooks.isEmpty());
    }
};

GW_TEST(AppModelActionTests)
#include "AppModelActionTests.moc"
