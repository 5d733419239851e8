// The desk's pure rules: cleaning a saved form, checking a typed sign-in, pre-filling
// from an invite, finding the host and naming the device.

#include "model/AppModel.h"
#include "support/TestMain.h"

#include <QTest>

namespace {

KioskField field(qint64 slot, const QString &label, bool required = false,
                 const QString &type = QStringLiteral("Plain Text"), bool employeeList = false) {
    return KioskField{slot, label, type, required, employeeList};
}

QString describe(const QList<KioskField> &fields) {
    QStringList parts;
    for (const KioskField &f : fields)
        parts
            << QStringLiteral("%1:%2:%3").arg(f.slot).arg(f.label).arg(f.required ? "req" : "opt");
    return parts.join(QLatin1Char(','));
}

VisitorDraft draft(std::initializer_list<std::pair<const qint64, QString>> answers) {
    VisitorDraft d;
    for (const auto &[slot, text] : answers)
        d.answers.insert(slot, text);
    return d;
}

} // namespace

class AppModelFormTests : public QObject {
    Q_OBJECT
private slots:
    void cleanedFields_data() {
        QTest::addColumn<QList<KioskField>>("fields");
        QTest::addColumn<QString>("expected");

        QTest::newRow("slots sorted")
            << QList<KioskField>{field(2, "Phone"), field(0, "Name", true), field(1, "Email")}
            << "0:Name:req,1:Email:opt,2:Phone:opt";
        QTest::newRow("equal slots keep their order")
            << QList<KioskField>{field(1, "B"), field(0, "Name", true), field(1, "A")}
            << "0:Name:req,1:B:opt,1:A:opt";
        QTest::newRow("blank labels named after the slot")
            << QList<KioskField>{field(0, "  \n", false), field(4, " "), field(1, " Company\t")}
            << "0:Name:req,1:Company:opt,4:Field 5:opt";
        QTest::newRow("slot 0 always required")
            << QList<KioskField>{field(0, "Your name", false)} << "0:Your name:req";
        QTest::newRow("missing name field inserted first")
            << QList<KioskField>{field(2, "Company", true), field(1, "Email")}
            << "0:Name:req,1:Email:opt,2:Company:req";
        QTest::newRow("empty form gains a name field") << QList<KioskField>{} << "0:Name:req";
    }
    void cleanedFields() {
        QFETCH(QList<KioskField>, fields);
        QFETCH(QString, expected);
        const KioskSettings cleaned = AppModel::cleanedForm(KioskSettings{fields, {}, {}});
        QCOMPARE(describe(cleaned.fields), expected);
    }

    void cleanedKeepsTypeAndEmployeeFlag() {
        const KioskField host = field(3, " Host ", true, QStringLiteral("Checkbox"), true);
        const KioskSettings cleaned = AppModel::cleanedForm(KioskSettings{{host}, {}, {}});
        QCOMPARE(cleaned.fields.size(), 2);
        QCOMPARE(cleaned.fields[0], KioskSettings::defaults().fields[0]);
        QCOMPARE(cleaned.fields[1], field(3, "Host", true, QStringLiteral("Checkbox"), true));
    }

    void cleanedEmployees_data() {
        QTest::addColumn<QStringList>("employees");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("trim, drop blanks, first form wins")
            << QStringList{" Ann ", "ann", "Bob", "", " \n"} << QStringList{"Ann", "Bob"};
        QTest::newRow("numbers compared as numbers") << QStringList{"Item 10", "Item 2", "Item 1"}
                                                     << QStringList{"Item 1", "Item 2", "Item 10"};
        QTest::newRow("case ignored in order")
            << QStringList{"bob", "Carol", "alice"} << QStringList{"alice", "bob", "Carol"};
        QTest::newRow("duplicates differing only in case")
            << QStringList{"ZOE", "Zoe", "zoe", "Adam"} << QStringList{"Adam", "ZOE"};
        QTest::newRow("accented names stay distinct")
            << QStringList{"José", "Jose"} << QStringList{"Jose", "José"};
    }
    void cleanedEmployees() {
        QFETCH(QStringList, employees);
        QFETCH(QStringList, expected);
        const KioskSettings cleaned =
            AppModel::cleanedForm(KioskSettings{KioskSettings::defaults().fields, employees, {}});
        QCOMPARE(cleaned.employees, expected);
    }

    void cleanedPlaceName_data() {
        QTest::addColumn<std::optional<QString>>("place");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("none") << std::optional<QString>() << std::optional<QString>();
        QTest::newRow("spaces") << std::optional<QString>("  \n ") << std::optional<QString>();
        QTest::newRow("trimmed") << std::optional<QString>(" Front desk ")
                                 << std::optional<QString>("Front desk");
    }
    void cleanedPlaceName() {
        QFETCH(std::optional<QString>, place);
        QFETCH(std::optional<QString>, expected);
        const KioskSettings cleaned =
            AppModel::cleanedForm(KioskSettings{KioskSettings::defaults().fields, {}, place});
        QCOMPARE(cleaned.placeName, expected);
        QCOMPARE(cleaned.toJson().contains("place_name"), expected.has_value());
    }

    void problem_data() {
        const QList<KioskField> form{field(0, "Name", true), field(1, "Email", false, "Email"),
                                     field(2, "Company", true),
                                     field(3, "Work email", true, "Email")};
        QTest::addColumn<QList<KioskField>>("fields");
        QTest::addColumn<VisitorDraft>("draft");
        QTest::addColumn<QString>("expected");

        const VisitorDraft complete = draft({{0, "Ann"}, {2, "Acme"}, {3, "ann@acme.example"}});
        QTest::newRow("complete") << form << complete << QString();
        QTest::newRow("name of spaces beats everything")
            << form << draft({{0, "   "}, {1, "bad"}, {3, "also bad"}}) << "Please fill in Name.";
        QTest::newRow("missing slot counts as empty")
            << form << draft({{0, "Ann"}, {3, "ann@acme.example"}}) << "Please fill in Company.";
        QTest::newRow("required before any email check")
            << form << draft({{0, "Ann"}, {1, "not-an-email"}, {3, "ann@acme.example"}})
            << "Please fill in Company.";
        QTest::newRow("optional email left empty")
            << form << draft({{0, "Ann"}, {1, " "}, {2, "Acme"}, {3, "a@b.c"}}) << QString();
        QTest::newRow("at sign without a dot after it")
            << form << draft({{0, "Ann"}, {1, "ann.x@acme"}, {2, "Acme"}, {3, "a@b.c"}})
            << "Please enter a valid email for Email.";
        QTest::newRow("space inside")
            << form << draft({{0, "Ann"}, {2, "Acme"}, {3, "ann @acme.example"}})
            << "Please enter a valid email for Work email.";
        QTest::newRow("surrounding spaces trimmed")
            << form << draft({{0, "Ann"}, {2, "Acme"}, {3, "  a@b.co \n"}}) << QString();
        QTest::newRow("name field not marked required")
            << QList<KioskField>{field(0, "Full name", false)} << VisitorDraft{}
            << "Please fill in Full name.";
        QTest::newRow("label used as stored")
            << QList<KioskField>{field(0, "Name", true), field(5, " Badge no ", true)}
            << draft({{0, "Ann"}}) << "Please fill in  Badge no .";
        QTest::newRow("type compared exactly")
            << QList<KioskField>{field(0, "Name", true), field(1, "Mail", false, "email")}
            << draft({{0, "Ann"}, {1, "nonsense"}}) << QString();
    }
    void problem() {
        QFETCH(QList<KioskField>, fields);
        QFETCH(VisitorDraft, draft);
        QFETCH(QString, expected);
        QCOMPARE(AppModel::problem(draft, fields).value_or(QString()), expected);
    }

    void draftFromInvite_data() {
        QTest::addColumn<QList<InviteAnswer>>("answers");
        QTest::addColumn<VisitorDraft>("expected");
        QTest::newRow("no slot 0") << QList<InviteAnswer>{{2, QStringLiteral("Co"), "Acme"}}
                                   << draft({{0, "Invited Ivy"}, {2, "Acme"}});
        QTest::newRow("empty slot 0") << QList<InviteAnswer>{{0, {}, ""}, {1, {}, "i@x.io"}}
                                      << draft({{0, "Invited Ivy"}, {1, "i@x.io"}});
        QTest::newRow("blank slot 0")
            << QList<InviteAnswer>{{0, {}, "  "}} << draft({{0, "Invited Ivy"}});
        QTest::newRow("own name kept")
            << QList<InviteAnswer>{{0, {}, "Ivy Smith"}} << draft({{0, "Ivy Smith"}});
        QTest::newRow("first answer for a slot wins")
            << QList<InviteAnswer>{{3, {}, "first"}, {3, {}, "second"}, {0, {}, "Ivy"}}
            << draft({{0, "Ivy"}, {3, "first"}});
    }
    void draftFromInvite() {
        QFETCH(QList<InviteAnswer>, answers);
        QFETCH(VisitorDraft, expected);
        Invite invite;
        invite.visitorName = QStringLiteral("Invited Ivy");
        invite.answers = answers;
        QCOMPARE(AppModel::draftFromInvite(invite), expected);
    }

    void resolveHost_data() {
        QTest::addColumn<QList<KioskField>>("fields");
        QTest::addColumn<QStringList>("employees");
        QTest::addColumn<VisitorDraft>("draft");
        QTest::addColumn<std::optional<QString>>("host");

        const QList<KioskField> oneHost{field(0, "Name", true),
                                        field(1, "Visiting", false, "Plain Text", true)};
        const QStringList staff{"Zoë Brandt", " José Álvarez ", "Bob"};
        QTest::newRow("case and accents; entry as written")
            << oneHost << staff << draft({{1, "  jose alvarez "}})
            << std::optional<QString>(" José Álvarez ");
        QTest::newRow("accent typed, none in list")
            << oneHost << QStringList{"Zoe Brandt"} << draft({{1, "ZOË BRANDT"}})
            << std::optional<QString>("Zoe Brandt");
        QTest::newRow("composed and decomposed forms")
            << oneHost << QStringList{QStringLiteral("Zoe\u0308")} << draft({{1, "zoë"}})
            << std::optional<QString>(QStringLiteral("Zoe\u0308"));
        QTest::newRow("not in list")
            << oneHost << staff << draft({{1, "Carol"}}) << std::optional<QString>();
        QTest::newRow("non-list field ignored")
            << QList<KioskField>{field(0, "Name", true), field(1, "Company")} << staff
            << draft({{0, "Bob"}, {1, "Bob"}}) << std::optional<QString>();

        // The second host field has the lower slot, so it is asked first.
        const QList<KioskField> twoHosts{field(0, "Name", true),
                                         field(5, "Host", false, "Plain Text", true),
                                         field(2, "Meeting", false, "Plain Text", true)};
        QTest::newRow("lowest slot decides")
            << twoHosts << staff << draft({{2, "bob"}, {5, "Zoe Brandt"}})
            << std::optional<QString>("Bob");
        QTest::newRow("empty first field skipped")
            << twoHosts << staff << draft({{2, "  "}, {5, "zoe brandt"}})
            << std::optional<QString>("Zoë Brandt");
        QTest::newRow("unmatched first field skipped")
            << twoHosts << staff << draft({{2, "Nobody"}, {5, "bob"}})
            << std::optional<QString>("Bob");
    }
    void resolveHost() {
        QFETCH(QList<KioskField>, fields);
        QFETCH(QStringList, employees);
        QFETCH(VisitorDraft, draft);
        QFETCH(std::optional<QString>, host);
        QCOMPARE(AppModel::resolveHost(draft, KioskSettings{fields, employees, {}}), host);
    }

    void deviceName_data() {
        QTest::addColumn<QByteArray>("machineInfo");
        QTest::addColumn<QString>("hostName");
        QTest::addColumn<QString>("expected");
        QTest::newRow("quoted pretty name")
            << QByteArray("CHASSIS=desktop\nPRETTY_HOSTNAME=\"Front Desk \\\"A\\\"\"\n")
            << "frontdesk"
            << "Front Desk \"A\"";
        QTest::newRow("bare value, UTF-8") << QByteArray("PRETTY_HOSTNAME=Réception\n") << "h"
                                           << "Réception";
        QTest::newRow("empty pretty name") << QByteArray("PRETTY_HOSTNAME=\n") << "lobby-pc"
                                           << "lobby-pc";
        QTest::newRow("no file") << QByteArray() << "lobby-pc"
                                 << "lobby-pc";
        QTest::newRow("nothing at all") << QByteArray() << ""
                                        << "Desk";
    }
    void deviceName() {
        QFETCH(QByteArray, machineInfo);
        QFETCH(QString, hostName);
        QFETCH(QString, expected);
        QCOMPARE(AppModel::deviceNameFrom(machineInfo, hostName), expected);
        QVERIFY(!AppModel::deviceName().isEmpty());
    }
};

GW_TEST(AppModelFormTests)
#include "AppModelFormTests.moc"
