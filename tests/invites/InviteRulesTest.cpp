// The new-invite rules without a server: which checks stop an invite and what is sent,
// character cuts, the invite link and its QR code, and the status texts.

#include "cloud/CloudClient.h"
#include "support/TestMain.h"
#include "ui/InviteCodeSheet.h"
#include "ui/InvitesView.h"
#include "ui/NewInviteSheet.h"

#include <QNetworkAccessManager>
#include <QTest>

using Input = NewInviteSheet::Input;
using Outcome = std::variant<NewInvite, QString>;
Q_DECLARE_METATYPE(Input)
Q_DECLARE_METATYPE(Outcome)
Q_DECLARE_METATYPE(QList<KioskField>)

namespace {
KioskField field(qint64 slot, const QString &label, const QString &type = "Plain Text",
                 bool required = false) {
    return {slot, label, type, required, false};
}
const QList<KioskField> nameCompany{field(0, "Name"), field(1, "Company")};
const QList<KioskField> nameEmail{field(0, "Name"), field(1, "Email", "Email")};

Input with(QMap<qint64, QString> answers, QString email = {}) {
    return Input{{std::move(answers)}, std::move(email), {}, {}, {}};
}
NewInvite sent(QList<NewInvite::Answer> answers, QString email) {
    return NewInvite{std::move(answers), std::move(email), {}, {}, {}};
}
const QString noAddress = "Please enter a valid email address to send the invite to.";
} // namespace

class InviteRulesTest : public QObject {
    Q_OBJECT

private slots:
    void makeInvite_data() {
        QTest::addColumn<QList<KioskField>>("fields");
        QTest::addColumn<Input>("input");
        QTest::addColumn<Outcome>("expected");

        const QList<KioskField> required{field(0, "Name"), field(1, "Email", "Email"),
                                         field(2, "Company", "Plain Text", true)};
        QTest::newRow("a required field comes before a bad address")
            << required << with({{0, "Ann"}, {1, "nope"}}) << Outcome(QString("Please fill in Company."));
        QTest::newRow("an e-mail field's own check")
            << required << with({{0, "Ann"}, {1, "ann@nowhere"}, {2, "Acme"}})
            << Outcome(QString("Please enter a valid email for Email."));
        QTest::newRow("an empty optional Email field is no address")
            << nameEmail << with({{0, "Ann"}}, "ann@example.com") << Outcome(noAddress);
        QTest::newRow("the Email answer is the address, trimmed")
            << nameEmail << with({{0, " Ann "}, {1, "\n ann@example.com\t"}}, "other@example.com")
            << Outcome(sent({{0, "Ann"}, {1, "ann@example.com"}}, "ann@example.com"));
        QTest::newRow("the first field labelled Email in slot order counts")
            << QList<KioskField>{field(3, "Email"), field(0, "Name"), field(1, "Email")}
            << with({{0, "Ann"}, {1, "first@example.com"}, {3, "later@example.com"}})
            << Outcome(sent({{0, "Ann"}, {1, "first@example.com"}, {3, "later@example.com"}},
                            "first@example.com"));
        QTest::newRow("a lower-case email label asks separately")
            << QList<KioskField>{field(0, "Name"), field(1, "email")}
            << with({{0, "Ann"}, {1, "ann@example.com"}}) << Outcome(noAddress);
        QTest::newRow("the separate address loses spaces and tabs only")
            << nameCompany << with({{0, "Ann"}, {1, "  "}}, " \tann@example.com \t")
            << Outcome(sent({{0, "Ann"}}, "ann@example.com"));
        QTest::newRow("a line break in the separate address")
            << nameCompany << with({{0, "Ann"}}, "ann@example.com\n") << Outcome(noAddress);
        QTest::newRow("an address without a dot after the at sign")
            << nameCompany << with({{0, "Ann"}}, "ann@example") << Outcome(noAddress);

        Input dated = with({{0, "Ann"}}, "ann@example.com");
        dated.date = QDate(2031, 1, 2);
        dated.time = QTime(7, 5);
        dated.note = "\n  Ask for Dana.  \n";
        QTest::newRow("day, time and note")
            << nameCompany << dated
            << Outcome(NewInvite{{{0, "Ann"}}, "ann@example.com", "2031-01-02", "07:05",
                                 "Ask for Dana."});
        Input timeOnly = with({{0, "Ann"}}, "ann@example.com");
        timeOnly.time = QTime(7, 5);
        timeOnly.note = " \n\t ";
        QTest::newRow("a time without a day, a blank note")
            << nameCompany << timeOnly << Outcome(sent({{0, "Ann"}}, "ann@example.com"));
    }

    void makeInvite() {
        QFETCH(QList<KioskField>, fields);
        QFETCH(Input, input);
        QFETCH(Outcome, expected);
        std::stable_sort(fields.begin(), fields.end(),
                         [](const KioskField &a, const KioskField &b) { return a.slot < b.slot; });
        const Outcome outcome = NewInviteSheet::makeInvite(input, fields);
        if (const QString *message = std::get_if<QString>(&expected)) {
            QVERIFY(std::holds_alternative<QString>(outcome));
            QCOMPARE(std::get<QString>(outcome), *message);
        } else {
            const QString *stopped = std::get_if<QString>(&outcome);
            QVERIFY2(!stopped, qPrintable(stopped ? *stopped : QString()));
            QCOMPARE(std::get<NewInvite>(outcome).toJson(), std::get<NewInvite>(expected).toJson());
        }
    }

    void firstCharacters_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("expected");
        const QString e = QStringLiteral("e\u0301");
        const QString family = QStringLiteral("\U0001F469\u200D\U0001F469\u200D\U0001F467");
        const QString thumb = QStringLiteral("\U0001F44D\U0001F3FD");
        QTest::newRow("shorter than the cut") << "abc" << 5 << "abc";
        QTest::newRow("empty") << "" << 5 << "";
        QTest::newRow("combining marks count once") << e + e + e << 2 << e + e;
        QTest::newRow("a family is one character") << "ab" + family + "cd" << 3 << "ab" + family;
        QTest::newRow("and goes whole") << "ab" + family + "cd" << 2 << "ab";
        QTest::newRow("a skin tone stays on its hand") << thumb + thumb << 1 << thumb;
        QTest::newRow("Hangul syllable blocks")
            << QStringLiteral("\u1100\u1161\u11A8\u1100") << 1 << QStringLiteral("\u1100\u1161\u11A8");
    }

    void firstCharacters() {
        QFETCH(QString, text);
        QFETCH(int, count);
        QFETCH(QString, expected);
        QCOMPARE(NewInviteSheet::firstCharacters(text, count), expected);
    }

    void inviteLinkAndCode() {
        QNetworkAccessManager network;
        CloudClient cloud(&network, std::make_shared<MemorySessionStore>(),
                          {QUrl("https://db.example.com"), QUrl("https://greet.example.com/app"),
                           "key"});
        Invite invite;
        invite.token = "Ab-_09";
        QCOMPARE(InvitesView::inviteLink(cloud, invite),
                 QStringLiteral("https://greet.example.com/app/i/Ab-_09"));
        // Whatever the server sends, the token stays one path segment of the link.
        invite.token = "x/../y?z#w";
        QCOMPARE(InvitesView::inviteLink(cloud, invite),
                 QStringLiteral("https://greet.example.com/app/i/x%2F..%2Fy%3Fz%23w"));

        const QImage code = InviteCodeSheet::qrImage("https://greet.example.com/app/i/Ab-_09");
        QVERIFY(!code.isNull());
        QCOMPARE(code.width(), code.height());
        QCOMPARE(code.width() % 10, 0);
        // A light quiet zone of four modules around a dark finder pattern.
        QCOMPARE(qGray(code.pixel(39, 39)), 255);
        QCOMPARE(qGray(code.pixel(40, 40)), 0);
        // More than the largest symbol holds: no image, no crash.
        QVERIFY(InviteCodeSheet::qrImage(QByteArray(3000, 'x')).isNull());
        Invite longOne;
        longOne.visitorName = "Lorem";
        InviteCodeSheet sheet(longOne, QString(3000, 'x'));
        QVERIFY(sheet.codeImage().isNull());
        QVERIFY(!sheet.findChild<QWidget *>("inviteCodeImage"));
    }

    void statusText_data() {
        QTest::addColumn<std::optional<QString>>("visitDate");
        QTest::addColumn<std::optional<QString>>("usedAt");
        QTest::addColumn<QString>("expected");
        using Text = std::optional<QString>;
        QTest::newRow("used, readable time")
            << Text("2026-03-02") << Text("2026-03-01T14:30:00.123456+00:00")
            << "Signed in Mar 1, 2026 at 9:30 AM";
        QTest::newRow("used, unreadable time") << Text() << Text("yesterday") << "Signed in";
        QTest::newRow("yesterday") << Text("2026-03-09") << Text() << "Expired";
        QTest::newRow("today") << Text("2026-03-10") << Text() << "Waiting";
        QTest::newRow("any day") << Text() << Text() << "Waiting";
    }

    void statusText() {
        QFETCH(std::optional<QString>, visitDate);
        QFETCH(std::optional<QString>, usedAt);
        QFETCH(QString, expected);
        const QTimeZone zone("America/New_York");
        // Just after midnight in New York, still the 10th in UTC too.
        const Clock clock{[zone] { return QDateTime(QDate(2026, 3, 10), QTime(0, 5), zone); }, zone,
                          QLocale(QLocale::English, QLocale::UnitedStates)};
        Invite invite;
        invite.visitDate = visitDate;
        invite.usedAt = usedAt;
        QCOMPARE(InviteRow::statusText(invite, clock), expected);
    }
};

GW_TEST(InviteRulesTest)
#include "InviteRulesTest.moc"
