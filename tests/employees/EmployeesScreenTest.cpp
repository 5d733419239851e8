// The Employees screen and its sheet as a person at the desk uses them, against the real
// local backend: what is saved is read back from the database.

#include "support/BackendFixture.h"
#include "support/Tasks.h"
#include "support/TestMain.h"
#include "support/desk/BackendDesk.h"
#include "support/desk/Gestures.h"

#include "ui/EmployeeSheet.h"
#include "ui/EmployeesView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <memory>

namespace {

const char *nameOnlyForm =
    R"([{"slot": 0, "label": "Name", "type": "Plain Text", "required": true, "employee_list": false}])";
const char *hostForm =
    R"([{"slot": 0, "label": "Name", "type": "Plain Text", "required": true, "employee_list": false},
        {"slot": 1, "label": "Host", "type": "Plain Text", "required": true, "employee_list": true}])";

QString sqlText(const QString &text) {
    return QStringLiteral("'") + QString(text).replace('\'', QStringLiteral("''")) +
           QStringLiteral("'");
}

// The desk on a fresh account whose employees the test seeds and reads back.
struct EmployeesDesk : BackendDesk {
    using BackendDesk::BackendDesk;

    QString owner() const { return sqlText(account.userId.toString(QUuid::WithoutBraces)); }

    // The account's saved rows, written before the desk starts (it loads them once).
    void seed(const char *fields, const QJsonArray &employees, const QJsonObject &webhooks = {}) {
        runSql(info, QStringLiteral("insert into public.kiosk_settings (owner_id, fields, "
                                    "employees) values (%1, %2, %3)")
                         .arg(owner(), sqlText(fields),
                              sqlText(QJsonDocument(employees).toJson(QJsonDocument::Compact))));
        runSql(info,
               QStringLiteral("insert into public.notification_settings (owner_id, "
                              "employee_webhooks) values (%1, %2)")
                   .arg(owner(), sqlText(QJsonDocument(webhooks).toJson(QJsonDocument::Compact))));
    }
    QJsonValue saved(const QString &table, const QString &column) const {
        const QString text = runSql(info, QStringLiteral("select %1 from public.%2 where "
                                                         "owner_id = %3")
                                              .arg(column, table, owner()));
        return QJsonDocument::fromJson("[" + text.toUtf8() + "]").array().at(0);
    }
    QJsonValue savedEmployees() const { return saved("kiosk_settings", "employees"); }
    QJsonValue savedWebhooks() const { return saved("notification_settings", "employee_webhooks"); }

    // Makes every save of this account's employee list fail with `message` until the
    // returned guard goes (a trigger on its row, so other accounts are untouched).
    std::shared_ptr<void> refuseSaves(const QString &message) {
        const QString name =
            QStringLiteral("refuse_") + account.userId.toString(QUuid::Id128).left(12);
        runSql(info, QStringLiteral("create function public.%1() returns trigger language "
                                    "plpgsql as $$ begin raise exception %2; end $$; "
                                    "create trigger %1 before insert or update on "
                                    "public.kiosk_settings for each row when (new.owner_id = %3) "
                                    "execute function public.%1();")
                         .arg(name, sqlText(message), owner()));
        const BackendInfo backend = info;
        return std::shared_ptr<void>(nullptr, [backend, name](void *) {
            try {
                runSql(backend, QStringLiteral("drop trigger %1 on public.kiosk_settings; "
                                               "drop function public.%1();")
                                    .arg(name));
            } catch (const BackendFixtureError &) {
                // Left behind, it refuses only this test's own account.
            }
        });
    }

    // Starts the desk signed in and waits until it holds the saved list.
    void launch() {
        start();
        QVERIFY(desk());
        // The first refresh follows the load of the form and the alert settings.
        QVERIFY(QTest::qWaitFor([this] { return model()->lastRefresh().has_value(); }));
    }

    // Chooses Employees in the sidebar.
    EmployeesView *openEmployees() {
        auto *sidebar = desk()->findChild<QListWidget *>("sidebar");
        sidebar->setCurrentRow(int(DeskSection::employees));
        auto *view = qobject_cast<EmployeesView *>(desk()->currentSectionView());
        // Shown and laid out on the next turn of the event loop, as on screen.
        if (view && !QTest::qWaitFor([view] { return view->isVisible() && view->width() > 0; }))
            return nullptr;
        return view;
    }
    QListWidget *list() const { return desk()->findChild<QListWidget *>("employeeList"); }
    QToolButton *toolButton(const char *name) const {
        return desk()->findChild<QToolBar *>("deskToolbar")->findChild<QToolButton *>(name);
    }
    EmployeeSheet *sheet() const { return desk()->findChild<EmployeeSheet *>("employeeSheet"); }
};

QStringList rows(QListWidget *list) {
    QStringList names;
    for (int i = 0; i < list->count(); ++i)
        names << list->item(i)->text();
    return names;
}

// Rows carrying the bell, with the tooltip each one shows.
QStringList bellRows(QListWidget *list) {
    QStringList names;
    for (int i = 0; i < list->count(); ++i) {
        const QListWidgetItem *item = list->item(i);
        const bool bell = item->data(Qt::UserRole + 1).toBool();
        const bool tip = item->toolTip() == QLatin1String("Has a personal webhook");
        if (bell != tip || (!tip && !item->toolTip().isEmpty()))
            return {QStringLiteral("bell and tooltip disagree on ") + item->text()};
        if (bell)
            names << item->text();
    }
    return names;
}

void select(QListWidget *list, const QString &name) {
    const QList<QListWidgetItem *> found = list->findItems(name, Qt::MatchExactly);
    QCOMPARE(found.size(), 1);
    list->setFocus();
    list->setCurrentItem(found.first());
}

// Picks `text` from the context menu of `name`'s row once the menu is up.
void chooseFromContextMenu(QListWidget *list, const QString &name, const QString &text) {
    QString seen;
    QTimer::singleShot(0, list, [&seen, text] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction *action : menu->actions()) {
            seen += action->text() + QLatin1Char('|');
            if (action->text() == text)
                menu->setActiveAction(action);
        }
        QTest::keyClick(menu, Qt::Key_Return);
    });
    const QRect row = list->visualItemRect(list->findItems(name, Qt::MatchExactly).first());
    emit list->customContextMenuRequested(row.center());
    QCOMPARE(seen, QStringLiteral("Edit…|Remove|"));
}

QMessageBox *openAlert(QWidget *root) {
    for (QMessageBox *box : root->findChildren<QMessageBox *>("actionErrorAlert"))
        if (box->isVisible())
            return box;
    return nullptr;
}

} // namespace

class EmployeesScreenTest : public QObject {
    Q_OBJECT

    std::optional<BackendInfo> backend;

private slots:
    void initTestCase() {
        backend = BackendInfo::load();
        GW_REQUIRE_BACKEND(backend);
    }

    void addRenameAndRemove() {
        EmployeesDesk d(*backend);
        d.seed(hostForm, {});
        d.launch();
        EmployeesView *view = d.openEmployees();
        QVERIFY(view);
        QVERIFY(d.desk()->findChild<QWidget *>("emptyState")->isVisible());
        QVERIFY(!d.list()->isVisible());
        QVERIFY(!d.toolButton("editEmployeeActionButton")->isEnabled());
        QVERIFY(!d.toolButton("removeEmployeeActionButton")->isEnabled());

        click(d.desk()->findChild<QPushButton *>("emptyAddEmployeeButton"));
        QTRY_VERIFY(d.sheet());
        QCOMPARE(d.sheet()->findChild<QLabel *>("sheetTitle")->text(),
                 QStringLiteral("Add Employee"));
        QCOMPARE(d.sheet()->width(), 420);
        typeInto(d.sheet()->findChild<QLineEdit *>("employeeNameField"), "  Ann Lee ");
        typeInto(d.sheet()->findChild<QLineEdit *>("employeeWebhookField"),
                 " https://hooks.example.com/ann ");
        QTest::keyClick(d.sheet()->findChild<QLineEdit *>("employeeWebhookField"), Qt::Key_Return);
        QTRY_VERIFY(!d.sheet());
        QCOMPARE(rows(d.list()), QStringList{"Ann Lee"});
        QCOMPARE(bellRows(d.list()), QStringList{"Ann Lee"});
        QCOMPARE(d.savedEmployees(), QJsonValue(QJsonArray{"Ann Lee"}));
        QCOMPARE(d.savedWebhooks(),
                 QJsonValue(QJsonObject{{"Ann Lee", "https://hooks.example.com/ann"}}));

        // Return on the selected row opens it, filled in.
        select(d.list(), "Ann Lee");
        QCOMPARE(view->selection(), std::optional<QString>("Ann Lee"));
        QVERIFY(d.toolButton("editEmployeeActionButton")->isEnabled());
        QTest::keyClick(d.list(), Qt::Key_Return);
        QTRY_VERIFY(d.sheet());
        QCOMPARE(d.sheet()->findChild<QLabel *>("sheetTitle")->text(),
                 QStringLiteral("Edit Employee"));
        QCOMPARE(d.sheet()->name(), QStringLiteral("Ann Lee"));
        QCOMPARE(d.sheet()->webhook(), QStringLiteral("https://hooks.example.com/ann"));
        typeInto(d.sheet()->findChild<QLineEdit *>("employeeNameField"), "Ann Park");
        click(d.sheet()->findChild<QPushButton *>("saveButton"));
        QTRY_VERIFY(!d.sheet());
        QCOMPARE(rows(d.list()), QStringList{"Ann Park"});
        QCOMPARE(bellRows(d.list()), QStringList{"Ann Park"});
        QCOMPARE(d.savedWebhooks(),
                 QJsonValue(QJsonObject{{"Ann Park", "https://hooks.example.com/ann"}}));
        // The old name is gone, so nothing is selected for Edit or Remove to act on.
        QCOMPARE(view->selection(), std::nullopt);
        QVERIFY(!d.toolButton("removeEmployeeActionButton")->isEnabled());

        // A second employee without a webhook, removed from its context menu.
        click(d.toolButton("addEmployeeActionButton"));
        QTRY_VERIFY(d.sheet());
        typeInto(d.sheet()->findChild<QLineEdit *>("employeeNameField"), "Bo Chen");
        click(d.sheet()->findChild<QPushButton *>("saveButton"));
        QTRY_VERIFY(!d.sheet());
        QCOMPARE(rows(d.list()), (QStringList{"Ann Park", "Bo Chen"}));
        QCOMPARE(bellRows(d.list()), QStringList{"Ann Park"});
        chooseFromContextMenu(d.list(), "Bo Chen", "Remove");
        QTRY_COMPARE(rows(d.list()), QStringList{"Ann Park"});

        select(d.list(), "Ann Park");
        click(d.toolButton("removeEmployeeActionButton"));
        QTRY_VERIFY(d.desk()->findChild<QWidget *>("emptyState")->isVisible());
        QCOMPARE(view->selection(), std::nullopt);
        QVERIFY(!d.toolButton("editEmployeeActionButton")->isEnabled());
        QVERIFY(!d.toolButton("removeEmployeeActionButton")->isEnabled());
        QCOMPARE(d.savedEmployees(), QJsonValue(QJsonArray()));
        QCOMPARE(d.savedWebhooks(), QJsonValue(QJsonObject()));

        // The screen's actions leave the toolbar with the screen.
        auto *toolbar = d.desk()->findChild<QToolBar *>("deskToolbar");
        const auto shown = [toolbar] {
            QStringList names;
            for (QAction *action : toolbar->actions())
                if (!action->objectName().isEmpty() && action->isVisible())
                    names << action->objectName();
            return names;
        };
        QCOMPARE(shown(),
                 (QStringList{"collapseSidebarAction", "addEmployeeAction", "editEmployeeAction",
                              "removeEmployeeAction", "signInVisitorAction"}));
        d.desk()->setSection(DeskSection::today);
        QCOMPARE(shown(), (QStringList{"collapseSidebarAction", "printRollCallAction",
                                       "signOutEveryoneAction", "signInVisitorAction"}));
        d.openEmployees();
        QVERIFY(d.toolButton("addEmployeeActionButton")->isVisible());
    }

    void bellOnlyForANonEmptyWebhookUnderTheExactName() {
        EmployeesDesk d(*backend);
        d.seed(hostForm, {"Ann Lee", "Bo Chen", "Cy Diaz", "Di Eno"},
               {{"ann lee", "https://hooks.example.com/a"},
                {"Bo Chen", ""},
                {"Cy Diaz", "https://hooks.example.com/c"},
                {"Di Eno ", "https://hooks.example.com/d"}});
        d.launch();
        d.openEmployees();
        QCOMPARE(rows(d.list()), (QStringList{"Ann Lee", "Bo Chen", "Cy Diaz", "Di Eno"}));
        QCOMPARE(bellRows(d.list()), QStringList{"Cy Diaz"});
    }

    void noticeOnlyWithEmployeesAndNoListField() {
        EmployeesDesk d(*backend);
        d.seed(nameOnlyForm, {"Ann Lee"});
        d.launch();
        d.openEmployees();
        auto *notice = d.desk()->findChild<QWidget *>("listNotice");
        QVERIFY(notice->isVisible());
        QCOMPARE(d.desk()->findChild<QLabel *>("listNoticeText")->text(),
                 QStringLiteral("No sign-in field shows this list yet. Turn on Employee List for "
                                "a field in Settings > Form."));

        // The form saved elsewhere (the settings window) with a host field: the notice goes.
        KioskSettings form = d.model()->settings();
        form.fields.append({1, "Host", "Plain Text", true, true});
        QVERIFY(runTask(d.model()->saveForm(form)).ok());
        QVERIFY(!notice->isVisible());

        form.fields.removeLast();
        QVERIFY(runTask(d.model()->saveForm(form)).ok());
        QVERIFY(notice->isVisible());

        // With nobody on the list there is nothing to warn about.
        select(d.list(), "Ann Lee");
        click(d.toolButton("removeEmployeeActionButton"));
        QTRY_VERIFY(d.desk()->findChild<QWidget *>("emptyState")->isVisible());
        QVERIFY(!notice->isVisible());
    }

    void webhookMustBeHttpsOrEmpty() {
        EmployeesDesk d(*backend);
        d.seed(hostForm, {"Ann Lee"}, {{"Ann Lee", "https://hooks.example.com/ann"}});
        d.launch();
        d.openEmployees();
        select(d.list(), "Ann Lee");
        click(d.toolButton("editEmployeeActionButton"));
        QTRY_VERIFY(d.sheet());
        auto *name = d.sheet()->findChild<QLineEdit *>("employeeNameField");
        auto *webhook = d.sheet()->findChild<QLineEdit *>("employeeWebhookField");
        auto *caption = d.sheet()->findChild<QLabel *>("webhookProblem");
        auto *save = d.sheet()->findChild<QPushButton *>("saveButton");
        QCOMPARE(caption->text(), QStringLiteral("Webhook addresses start with https://"));

        struct Case {
            const char *name, *webhook;
            bool caption, canSave;
        };
        const Case cases[] = {
            {"Ann Lee", "http://hooks.example.com/ann", true, false},
            {"Ann Lee", "https://", true, false},
            {"Ann Lee", "hooks.example.com/ann", true, false},
            {"Ann Lee", "HTTPS://Hooks.Example.com/ann", false, true},
            {"Ann Lee", "   ", false, true},
            {"   ", "https://hooks.example.com/ann", false, false},
        };
        for (const Case &c : cases) {
            typeInto(name, c.name);
            typeInto(webhook, c.webhook);
            const QString row = QStringLiteral("%1 / %2").arg(c.name, c.webhook);
            QVERIFY2(caption->isVisible() == c.caption, qPrintable(row));
            QVERIFY2(save->isEnabled() == c.canSave, qPrintable(row));
        }
        // Return does not save past a blocked Save.
        typeInto(name, "Ann Lee");
        typeInto(webhook, "http://hooks.example.com/ann");
        QTest::keyClick(webhook, Qt::Key_Return);
        QVERIFY(d.sheet()->isVisible());
        QVERIFY(!d.sheet()->isSaving());

        // Cleared, it saves and the personal webhook is gone.
        typeInto(webhook, "");
        click(save);
        QTRY_VERIFY(!d.sheet());
        QCOMPARE(d.savedWebhooks(), QJsonValue(QJsonObject()));
        QCOMPARE(bellRows(d.list()), QStringList());
        QCOMPARE(d.savedEmployees(), QJsonValue(QJsonArray{"Ann Lee"}));
    }

    void aNameOnTheListIsNotAddedTwice() {
        EmployeesDesk d(*backend);
        d.seed(hostForm, {"Ann Lee", "Bo Chen"}, {{"Bo Chen", "https://hooks.example.com/bo"}});
        d.launch();
        d.openEmployees();
        click(d.toolButton("addEmployeeActionButton"));
        QTRY_VERIFY(d.sheet());
        typeInto(d.sheet()->findChild<QLineEdit *>("employeeNameField"), " ann lee");
        click(d.sheet()->findChild<QPushButton *>("saveButton"));
        QCOMPARE(d.sheet()->message(), std::optional<QString>("Ann Lee is already on the list."));
        QVERIFY(!d.sheet()->isSaving());
        d.sheet()->reject();
        QTRY_VERIFY(!d.sheet());

        // Renaming onto another employee is refused; changing one's own letter case is not.
        select(d.list(), "Bo Chen");
        click(d.toolButton("editEmployeeActionButton"));
        QTRY_VERIFY(d.sheet());
        typeInto(d.sheet()->findChild<QLineEdit *>("employeeNameField"), "ANN LEE");
        click(d.sheet()->findChild<QPushButton *>("saveButton"));
        QVERIFY(d.sheet()->message());
        typeInto(d.sheet()->findChild<QLineEdit *>("employeeNameField"), "bo chen");
        click(d.sheet()->findChild<QPushButton *>("saveButton"));
        QTRY_VERIFY(!d.sheet());
        QCOMPARE(d.savedEmployees(), QJsonValue(QJsonArray{"Ann Lee", "bo chen"}));
        QCOMPARE(d.savedWebhooks(),
                 QJsonValue(QJsonObject{{"bo chen", "https://hooks.example.com/bo"}}));
    }

    void failuresKeepWhatWasTypedAndTheList() {
        EmployeesDesk d(*backend);
        d.seed(hostForm, {"Ann Lee"});
        d.launch();
        d.openEmployees();
        const std::shared_ptr<void> refusing = d.refuseSaves("The employee list is resting.");

        click(d.toolButton("addEmployeeActionButton"));
        QTRY_VERIFY(d.sheet());
        typeInto(d.sheet()->findChild<QLineEdit *>("employeeNameField"), "Bo Chen");
        typeInto(d.sheet()->findChild<QLineEdit *>("employeeWebhookField"),
                 "https://hooks.example.com/bo");
        click(d.sheet()->findChild<QPushButton *>("saveButton"));
        QVERIFY(d.sheet()->isSaving());
        QVERIFY(!d.sheet()->findChild<QPushButton *>("saveButton")->isEnabled());
        QTRY_VERIFY(!d.sheet()->isSaving());
        QCOMPARE(d.sheet()->message(), std::optional<QString>("The employee list is resting."));
        QVERIFY(d.sheet()->findChild<QLabel *>("sheetMessage")->isVisible());
        QCOMPARE(d.sheet()->name(), QStringLiteral("Bo Chen"));
        QCOMPARE(d.sheet()->webhook(), QStringLiteral("https://hooks.example.com/bo"));
        QCOMPARE(rows(d.list()), QStringList{"Ann Lee"});
        QCOMPARE(d.savedWebhooks(), QJsonValue(QJsonObject()));

        // A refused removal: the alert, and the name stays listed and selected.
        click(d.sheet()->findChild<QPushButton *>("cancelButton"));
        QTRY_VERIFY(!d.sheet());
        select(d.list(), "Ann Lee");
        click(d.toolButton("removeEmployeeActionButton"));
        // No second change starts from the list until this one is settled.
        QVERIFY(!d.toolButton("addEmployeeActionButton")->isEnabled());
        QVERIFY(!d.toolButton("removeEmployeeActionButton")->isEnabled());
        QTRY_VERIFY(openAlert(d.desk()));
        QCOMPARE(openAlert(d.desk())->text(), QStringLiteral("Something went wrong"));
        QCOMPARE(openAlert(d.desk())->informativeText(),
                 QStringLiteral("The employee list is resting."));
        QCOMPARE(rows(d.list()), QStringList{"Ann Lee"});
        QCOMPARE(d.savedEmployees(), QJsonValue(QJsonArray{"Ann Lee"}));
        openAlert(d.desk())->button(QMessageBox::Ok)->click();
        QTRY_COMPARE(qobject_cast<EmployeesView *>(d.desk()->currentSectionView())->problem(),
                     std::nullopt);
        QVERIFY(d.toolButton("removeEmployeeActionButton")->isEnabled());
    }
};

GW_BACKEND_TEST(EmployeesScreenTest)
#include "EmployeesScreenTest.moc"
