// Saving the form, the alert settings and one employee through the desk model, against
// a fake backend: the rows sent, the model afterwards, and failures that change nothing.

#include "FakeDesk.h"
#include "support/TestMain.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>
#include <qcoro/qcorotask.h>

using Route = FakeDesk::Route;
using Reply = FakeHttpServer::Reply;
using Webhooks = QMap<QString, QString>;

namespace {

const QByteArray failureBody = R"({"message":"save refused"})";

KioskSettings withEmployees(const QStringList &employees) {
    KioskSettings settings = KioskSettings::defaults();
    settings.employees = employees;
    return settings;
}

} // namespace

class AppModelSaveTests : public QObject {
    Q_OBJECT
private slots:
    void saveFormSendsTheCleanedForm() {
        FakeDesk desk;
        AppModel &model = *desk.model;
        QSignalSpy savedSpy(&model, &AppModel::hasSavedFormChanged);
        const KioskSettings typed{{KioskField{2, " Company ", "Plain Text", false, false},
                                   KioskField{1, "", "Email", true, false},
                                   KioskField{4, "Host", "Plain Text", false, true}},
                                  {"Item 10", " Ann ", "ann", "Item 2", ""},
                                  QStringLiteral("   ")};
        waitTask(model.saveForm(typed));

        const auto upserts = desk.requests(Route::upsertKiosk);
        QCOMPARE(upserts.size(), 1);
        QCOMPARE(upserts[0].query().queryItemValue("on_conflict"), QStringLiteral("owner_id"));
        const QJsonObject body = desk.lastBody(Route::upsertKiosk);
        QCOMPARE(body.value("owner_id").toString(),
                 desk.userID.toString(QUuid::WithoutBraces).toLower());
        QVERIFY(!body.contains("place_name"));
        QCOMPARE(body.value("employees").toArray(), (QJsonArray{"Ann", "Item 2", "Item 10"}));
        QStringList labels;
        for (const QJsonValue &f : body.value("fields").toArray())
            labels << QStringLiteral("%1 %2 %3")
                          .arg(f["slot"].toInt())
                          .arg(f["label"].toString())
                          .arg(f["required"].toBool() ? "true" : "false");
        QCOMPARE(labels,
                 (QStringList{"0 Name true", "1 Field 2 true", "2 Company false", "4 Host false"}));

        QCOMPARE(model.settings(), AppModel::cleanedForm(typed));
        QCOMPARE(model.settings(), KioskSettings::fromJson(*desk.kioskRow));
        QVERIFY(model.hasSavedForm());
        QCOMPARE(savedSpy.count(), 1);
    }

    void failedSavesChangeNothing() {
        FakeDesk desk;
        AppModel &model = *desk.model;
        desk.overrides[Route::upsertKiosk] = Reply::json(500, failureBody);
        desk.overrides[Route::upsertNotify] = Reply::json(500, failureBody);
        QSignalSpy settingsSpy(&model, &AppModel::settingsChanged);
        QSignalSpy notificationsSpy(&model, &AppModel::notificationsChanged);
        try {
            waitTask(model.saveForm(withEmployees({"Ann"})));
            QFAIL("the save should have failed");
        } catch (const CloudError &error) {
            QCOMPARE(error, CloudClient::parseErrorBody(500, failureBody));
        }
        QVERIFY_THROWS_EXCEPTION(CloudError, waitTask(model.saveNotifications(NotificationSettings{
                                                 "https://h.example/", false, true, {}})));
        QVERIFY(!model.hasSavedForm());
        QCOMPARE(model.settings(), KioskSettings::defaults());
        QCOMPARE(model.notifications(), NotificationSettings::defaults());
        QCOMPARE(settingsSpy.count(), 0);
        QCOMPARE(notificationsSpy.count(), 0);
        QVERIFY(!model.error());
    }

    void saveNotificationsSendsTheRecordUnchanged() {
        FakeDesk desk;
        const NotificationSettings alerts{QStringLiteral(" https://hooks.example.com/a "), false,
                                          true, Webhooks{{"Ann", "not checked here"}}};
        waitTask(desk.model->saveNotifications(alerts));
        QJsonObject body = desk.lastBody(Route::upsertNotify);
        QCOMPARE(body.take("owner_id").toString(),
                 desk.userID.toString(QUuid::WithoutBraces).toLower());
        QCOMPARE(body, alerts.toJson());
        QCOMPARE(desk.model->notifications(), alerts);
    }

    void saveEmployee_data() {
        QTest::addColumn<QStringList>("employees");
        QTest::addColumn<Webhooks>("webhooks");
        QTest::addColumn<std::optional<QString>>("oldName");
        QTest::addColumn<std::optional<QString>>("newName");
        QTest::addColumn<QString>("webhook");
        QTest::addColumn<QStringList>("expectedEmployees");
        QTest::addColumn<Webhooks>("expectedWebhooks");
        using Name = std::optional<QString>;
        const QString annHook = QStringLiteral("https://hooks.example.com/ann");

        QTest::newRow("add with webhook, both trimmed")
            << QStringList{"Bob"} << Webhooks{} << Name() << Name(" Ann \n")
            << "  " + annHook + "\n"
            << QStringList{"Ann", "Bob"} << Webhooks{{"Ann", annHook}};
        QTest::newRow("add without webhook")
            << QStringList{"Bob"} << Webhooks{} << Name() << Name("Ann") << "  "
            << QStringList{"Ann", "Bob"} << Webhooks{};
        QTest::newRow("rename moves the webhook")
            << QStringList{"Ann", "Bob"} << Webhooks{{"Ann", annHook}, {"Bob", "https://b/"}}
            << Name("Ann") << Name("Anna") << annHook << QStringList{"Anna", "Bob"}
            << Webhooks{{"Anna", annHook}, {"Bob", "https://b/"}};
        QTest::newRow("remove drops the webhook")
            << QStringList{"Anna", "Bob"} << Webhooks{{"Anna", annHook}} << Name("Anna") << Name()
            << "" << QStringList{"Bob"} << Webhooks{};
        QTest::newRow("clearing the webhook removes it")
            << QStringList{"Ann"} << Webhooks{{"Ann", annHook}} << Name("Ann") << Name("Ann") << " "
            << QStringList{"Ann"} << Webhooks{};
        QTest::newRow("remove takes every exact copy only")
            << QStringList{"Ann", "Ann", "ANN x"} << Webhooks{} << Name("Ann") << Name() << ""
            << QStringList{"ANN x"} << Webhooks{};
        QTest::newRow("blank new name adds nothing")
            << QStringList{"Bob"} << Webhooks{} << Name() << Name("   ") << annHook
            << QStringList{"Bob"} << Webhooks{};
        QTest::newRow("rename to a name already listed in other case")
            << QStringList{"Ann", "Bob"} << Webhooks{} << Name("Ann") << Name("bob") << ""
            << QStringList{"Bob"} << Webhooks{};
    }
    void saveEmployee() {
        QFETCH(QStringList, employees);
        QFETCH(Webhooks, webhooks);
        QFETCH(std::optional<QString>, oldName);
        QFETCH(std::optional<QString>, newName);
        QFETCH(QString, webhook);
        QFETCH(QStringList, expectedEmployees);
        QFETCH(Webhooks, expectedWebhooks);
        FakeDesk desk;
        desk.kioskRow = withEmployees(employees).toJson();
        NotificationSettings alerts;
        alerts.employeeWebhooks = webhooks;
        desk.notifyRow = alerts.toJson();
        waitTask(desk.model->loadSettings());

        waitTask(desk.model->saveEmployee(oldName, newName, webhook));
        QCOMPARE(desk.model->settings().employees, expectedEmployees);
        QCOMPARE(KioskSettings::fromJson(*desk.kioskRow).employees, expectedEmployees);
        QCOMPARE(desk.model->notifications().employeeWebhooks, expectedWebhooks);
        // The alert settings are only sent when they changed.
        QCOMPARE(desk.count(Route::upsertNotify), webhooks == expectedWebhooks ? 0 : 1);
        QCOMPARE(NotificationSettings::fromJson(*desk.notifyRow).employeeWebhooks,
                 expectedWebhooks);
        QVERIFY(desk.model->hasSavedForm());
    }

    void saveEmployeeFailures() {
        const QString hook = QStringLiteral("https://hooks.example.com/ann");
        {
            // The list is not saved: the alert settings are not even tried.
            FakeDesk desk;
            desk.overrides[Route::upsertKiosk] = Reply::json(500, failureBody);
            QVERIFY_THROWS_EXCEPTION(
                CloudError, waitTask(desk.model->saveEmployee({}, QStringLiteral("Ann"), hook)));
            QCOMPARE(desk.count(Route::upsertNotify), 0);
            QVERIFY(desk.model->settings().employees.isEmpty());
            QVERIFY(desk.model->notifications().employeeWebhooks.isEmpty());
        }
        {
            // The list is saved, the webhook is not: the model shows exactly that.
            FakeDesk desk;
            desk.overrides[Route::upsertNotify] = Reply::json(500, failureBody);
            QVERIFY_THROWS_EXCEPTION(
                CloudError, waitTask(desk.model->saveEmployee({}, QStringLiteral("Ann"), hook)));
            QCOMPARE(desk.model->settings().employees, QStringList{"Ann"});
            QVERIFY(desk.model->hasSavedForm());
            QVERIFY(desk.model->notifications().employeeWebhooks.isEmpty());
        }
    }
};

GW_TEST(AppModelSaveTests)
#include "AppModelSaveTests.moc"
