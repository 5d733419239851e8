#include "SettingsTestKit.h"
#include "support/Tasks.h"
#include "support/TestMain.h"
#include "ui/AnswerField.h"
#include "ui/FormSettings.h"
#include "ui/SettingsSection.h"
#include "ui/SignInVisitorSheet.h"
#include "ui/Style.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QPushButton>

namespace {
KioskField field(qint64 slot, const QString &label, const QString &type = "Plain Text",
                 bool required = false, bool employeeList = false) {
    return {slot, label, type, required, employeeList};
}
FieldSlot on(int id, const QString &label, FieldType type = FieldType::plainText,
             bool required = false, bool employeeList = false) {
    return {id, true, label, type, required, employeeList};
}
// Rows 0 to 5 with `rows` in place and the rest off.
QList<FieldSlot> rows(QList<FieldSlot> given) {
    QList<FieldSlot> all;
    for (int id = 0; id < FormSettings::slotCount; ++id) {
        all.append(FieldSlot());
        all.last().id = id;
    }
    for (const FieldSlot &slot : given)
        all[slot.id] = slot;
    return all;
}
} // namespace

// How the six question rows come from the stored form and go back into it.
class FormSlotsTest : public QObject {
    Q_OBJECT

private slots:
    void loading_data() {
        QTest::addColumn<QList<KioskField>>("fields");
        QTest::addColumn<QList<FieldSlot>>("expected");
        using T = FieldType;
        QTest::newRow("default form") << KioskSettings::defaults().fields
                                      << rows({on(0, "Name", T::plainText, true),
                                               on(1, "Email", T::email), on(2, "Phone", T::phone)});
        // The name is always asked for and always required.
        QTest::newRow("optional name") << QList{field(0, "Who", "Plain Text", false)}
                                       << rows({on(0, "Who", T::plainText, true)});
        QTest::newRow("no name field") << QList{field(3, "Host", "Plain Text", true, true)}
                                       << rows({on(0, "", T::plainText, true),
                                                on(3, "Host", T::plainText, true, true)});
        QTest::newRow("first of a slot wins, unknown type is plain, slot 6 has no row")
            << QList{field(0, "Name"), field(2, "Badge", "Date"), field(2, "Later", "Email"),
                     field(6, "Seventh", "Email")}
            << rows({on(0, "Name", T::plainText, true), on(2, "Badge")});
        QTest::newRow("type by exact raw value")
            << QList{field(0, "N"), field(1, "Age", "Numeric"), field(5, "Mail", "email")}
            << rows({on(0, "N", T::plainText, true), on(1, "Age", T::numeric), on(5, "Mail")});
    }
    void loading() {
        QFETCH(QList<KioskField>, fields);
        QFETCH(QList<FieldSlot>, expected);
        QCOMPARE(FormSettings::slotsFrom(fields), expected);
    }

    // Rows that are off keep what was typed but are not saved.
    void savingKeepsOnlyRowsThatAreOn() {
        QList<FieldSlot> edited = rows({on(0, "Name", FieldType::plainText, true),
                                       on(4, "Host", FieldType::plainText, false, true),
                                       on(2, "Phone", FieldType::phone, true)});
        edited[3].label = "Turned off";
        edited[3].required = true;
        QCOMPARE(FormSettings::fieldsFrom(edited),
                 QList({field(0, "Name", "Plain Text", true), field(2, "Phone", "Phone", true),
                        field(4, "Host", "Plain Text", false, true)}));
    }
};

// Editing the form in the window and signing a visitor in with it, on the real backend.
class FormSettingsTest : public QObject {
    Q_OBJECT

private slots:
    void editedFormReachesTheSignInSheet() {
        SettingsHarness h;
        GW_REQUIRE_BACKEND(h.backend);
        h.createAccount();
        h.launch("Form");
        QAbstractButton *save = h.button("saveFormButton");
        QCOMPARE(h.label("formCaption")->text(),
                 "Saved to your account. iPads update on their next sync.");
        QVERIFY(!save->isEnabled());
        // The name row can be neither turned off nor made optional.
        QVERIFY(!h.button("slotSwitch0")->isEnabled());
        QVERIFY(!h.button("slotRequired0")->isEnabled());
        QVERIFY(h.button("slotRequired0")->isChecked());
        QCOMPARE(h.field("slotLabel4")->placeholderText(), QStringLiteral("Question 5"));
        QCOMPARE(h.field("placeNameField")->placeholderText(), "Shown in invite emails");

        // A question changed and changed back is no change.
        typeInto(h.field("slotLabel1"), "Work email");
        QVERIFY(save->isEnabled());
        typeInto(h.field("slotLabel1"), "Email");
        QVERIFY(!save->isEnabled());

        // Slot 3 goes on: its options appear, and it becomes a required e-mail question.
        QVERIFY(!h.field("slotLabel3")->isEnabled());
        QVERIFY(!shown(h.button("slotRequired3")));
        click(h.button("slotSwitch3"));
        QVERIFY(shown(h.button("slotRequired3")));
        typeInto(h.field("slotLabel3"), "Manager email");
        auto *type = h.find<QComboBox>("slotType3");
        QCOMPARE(type->count(), 4);
        type->setCurrentIndex(type->findText("Email"));
        click(h.button("slotRequired3"));
        // Slot 5 on and off again: typed, kept in the row, never saved.
        click(h.button("slotSwitch5"));
        typeInto(h.field("slotLabel5"), "Parking spot");
        click(h.button("slotSwitch5"));
        QCOMPARE(h.field("slotLabel5")->text(), QStringLiteral("Parking spot"));
        typeInto(h.field("placeNameField"), "  Main Office ");
        click(save);
        QVERIFY(!save->isEnabled());
        QTRY_VERIFY(h.model()->hasSavedForm());
        QTRY_VERIFY(!h.find<FormSettings>("formSettings")->isSaving());

        const QJsonObject stored = h.storedRow("kiosk_settings");
        QCOMPARE(stored.value("place_name").toString(), QStringLiteral("Main Office"));
        QCOMPARE(stored.value("fields").toArray().size(), 4);
        QCOMPARE(stored.value("fields").toArray().at(3).toObject(),
                 field(3, "Manager email", "Email", true).toJson());
        // The saved form is what the tab now shows; nothing is left to save.
        QCOMPARE(h.field("placeNameField")->text(), QStringLiteral("Main Office"));
        QVERIFY(!save->isEnabled());
        QCOMPARE(h.label("formCaption")->text(),
                 "Saved to your account. iPads update on their next sync.");

        // The sign-in sheet asks the new question and insists on a valid address.
        h.model()->setSigningIn(true);
        QTRY_VERIFY(h.app->mainWindow()->findChild<SignInVisitorSheet *>("signInSheet"));
        auto *sheet = h.app->mainWindow()->findChild<SignInVisitorSheet *>("signInSheet");
        auto *manager = sheet->findChild<AnswerField *>("answerField3");
        QVERIFY(manager);
        QCOMPARE(manager->field().label, QStringLiteral("Manager email"));
        QVERIFY(!sheet->findChild<AnswerField *>("answerField5"));
        typeInto(sheet->findChild<AnswerField *>("answerField0")->lineEdit(), "Ann Lee");
        click(sheet->findChild<QPushButton *>("signInButton"));
        QCOMPARE(sheet->message(), std::optional<QString>("Please fill in Manager email."));
        typeInto(manager->lineEdit(), "boss@example");
        click(sheet->findChild<QPushButton *>("signInButton"));
        QCOMPARE(sheet->message(),
                 std::optional<QString>("Please enter a valid email for Manager email."));
    }

    // A save elsewhere (or a reload) replaces unsaved edits.
    void modelChangesReplaceEdits() {
        SettingsHarness h;
        GW_REQUIRE_BACKEND(h.backend);
        h.createAccount();
        h.launch("Form");
        // A save that only trims gives back the form the model already had: the rows
        // still show what was saved.
        typeInto(h.field("slotLabel1"), " Email ");
        click(h.button("saveFormButton"));
        QTRY_VERIFY(h.model()->hasSavedForm());
        QTRY_COMPARE(h.field("slotLabel1")->text(), QStringLiteral("Email"));
        QVERIFY(!h.button("saveFormButton")->isEnabled());

        typeInto(h.field("slotLabel2"), "Mobile");
        KioskSettings elsewhere = h.model()->settings();
        elsewhere.placeName = "Annex";
        QVERIFY(runTask(h.model()->saveForm(elsewhere)).ok());
        QCOMPARE(h.field("placeNameField")->text(), QStringLiteral("Annex"));
        QCOMPARE(h.field("slotLabel2")->text(), QStringLiteral("Phone"));
        QVERIFY(!h.button("saveFormButton")->isEnabled());
    }
};

// A save the server refuses keeps every edit and says why, in red.
class FormSaveFailureTest : public QObject {
    Q_OBJECT

private slots:
    void failedSaveKeepsWhatWasTyped() {
        SettingsHarness h;
        h.fakeSession();
        h.fake.setHandler([](const FakeHttpServer::Request &r) {
            if (r.method == "GET")
                return FakeHttpServer::Reply::json(200, "[]");
            return FakeHttpServer::Reply::json(500, R"({"message":"The form store is resting."})");
        });
        h.launch("Form");
        click(h.button("slotSwitch4"));
        typeInto(h.field("slotLabel4"), "Visiting from");
        click(h.button("saveFormButton"));
        auto *tab = h.find<FormSettings>("formSettings");
        QTRY_VERIFY(!tab->isSaving());
        QCOMPARE(h.fake.requestsTo("/rest/v1/kiosk_settings").last().method, "POST");
        QVERIFY2(h.label("formCaption")->text().contains("The form store is resting."),
                 qPrintable(h.label("formCaption")->text()));
        QCOMPARE(h.label("formCaption")->palette().color(QPalette::WindowText),
                 Style::errorColor(h.settings()->palette()));
        QCOMPARE(h.field("slotLabel4")->text(), QStringLiteral("Visiting from"));
        QVERIFY(tab->fieldSlots()[4].isOn);
        QVERIFY(h.button("saveFormButton")->isEnabled());
    }
};

GW_TEST(FormSlotsTest)
GW_BACKEND_TEST(FormSettingsTest)
GW_TEST(FormSaveFailureTest)
#include "FormSettingsTests.moc"
