// What an invite shows: its visit day, its status against a fixed clock, and its visit
// text in a pinned locale and time zone.

#include "support/TestMain.h"

#include "model/Records.h"

#include <QTest>

namespace {

const QTimeZone newYork("America/New_York");

Clock clockAt(const QDateTime &now, const QString &locale = QStringLiteral("en_US")) {
    return Clock{[now] { return now; }, newYork, QLocale(locale)};
}

// Null texts stand for absent keys.
Invite inviteFor(const char *date, const char *time = nullptr, const char *usedAt = nullptr) {
    Invite invite;
    if (date)
        invite.visitDate = QString(date);
    if (time)
        invite.visitTime = QString(time);
    if (usedAt)
        invite.usedAt = QString(usedAt);
    return invite;
}

} // namespace

class InviteTests : public QObject {
    Q_OBJECT

private slots:
    void visitDay_data() {
        QTest::addColumn<QString>("date");   // "-": absent
        QTest::addColumn<QDate>("expected"); // invalid: no visit day
        QTest::newRow("iso date") << "2026-03-01" << QDate(2026, 3, 1);
        QTest::newRow("no leading zeros, empty pieces") << "2026--3-1-" << QDate(2026, 3, 1);
        for (const char *bad : {"2026-03", "2026-March-01", "2026-02-30", "-"})
            QTest::newRow(bad) << bad << QDate();
    }
    void visitDay() {
        QFETCH(QString, date);
        QFETCH(QDate, expected);
        const Clock clock = clockAt(QDateTime(QDate(2026, 3, 4), QTime(12, 0), newYork));
        const QByteArray text = date.toUtf8();
        const Invite invite = inviteFor(date == "-" ? nullptr : text.constData(), "14:30");
        if (expected.isValid()) { // midnight in the clock's zone, not in UTC
            QCOMPARE(invite.visitDay(clock), QDateTime(expected, QTime(0, 0), newYork));
        } else {
            QVERIFY(!invite.visitDay(clock));
            QVERIFY(!invite.whenText(clock));
            QCOMPARE(invite.status(clock).kind, Invite::Status::Kind::waiting);
        }
    }

    void status_data() {
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<Invite>("invite");
        QTest::addColumn<Invite::Status>("expected");
        using Kind = Invite::Status::Kind;
        const QDateTime noon(QDate(2026, 3, 10), QTime(12, 0), newYork);
        const Invite::Status waiting{Kind::waiting, std::nullopt};
        QTest::newRow("day before the visit") << noon << inviteFor("2026-03-11") << waiting;
        QTest::newRow("day of the visit, last minute")
            << noon.addSecs(42000) << inviteFor("2026-03-10") << waiting;
        QTest::newRow("day after the visit")
            << noon << inviteFor("2026-03-09") << Invite::Status{Kind::expired, std::nullopt};
        // 02:00 UTC is still the evening of the 10th in New York.
        QTest::newRow("evening at the desk, next day in UTC")
            << QDateTime(QDate(2026, 3, 11), QTime(2, 0), Qt::UTC) << inviteFor("2026-03-10")
            << waiting;
        QTest::newRow("used, whatever its date")
            << noon << inviteFor("2026-03-01", nullptr, "2026-03-01T14:35:00.123456Z")
            << Invite::Status{Kind::signedIn,
                              QDateTime(QDate(2026, 3, 1), QTime(14, 35, 0, 123), Qt::UTC)};
        QTest::newRow("used_at that does not parse")
            << noon << inviteFor("2026-03-01", nullptr, "soon")
            << Invite::Status{Kind::signedIn, std::nullopt};
    }
    void status() {
        QFETCH(QDateTime, now);
        QFETCH(Invite, invite);
        QFETCH(Invite::Status, expected);
        const Invite::Status status = invite.status(clockAt(now));
        QCOMPARE(int(status.kind), int(expected.kind));
        QCOMPARE(status.usedAt, expected.usedAt);
    }

    void whenText_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time"); // empty: absent
        QTest::addColumn<QString>("expected");
        const char *rows[][5] = {
            {"with seconds", "en_US", "2026-03-01", "09:05:59", "Sunday, March 1 at 9:05 AM"},
            {"no time", "en_US", "2026-03-01", "", "Sunday, March 1"},
            {"no such hour", "en_US", "2026-03-01", "25:00", "Sunday, March 1"},
            // Clocks jump from 2:00 to 3:00 that night: the next valid time is shown.
            {"spring-forward gap", "en_US", "2026-03-08", "2:30", "Sunday, March 8 at 3:00 AM"},
            {"British order", "en_GB", "2026-03-01", "14:30", "Sunday, 1 March at 14:30"},
            {"Spanish, year and its word dropped", "es_ES", "2026-03-01", "",
             "domingo, 1 de marzo"}};
        for (const auto &row : rows)
            QTest::newRow(row[0]) << row[1] << row[2] << row[3] << row[4];
    }
    void whenText() {
        QFETCH(QString, locale);
        QFETCH(QString, date);
        QFETCH(QString, time);
        const QByteArray dateText = date.toUtf8(), timeText = time.toUtf8();
        const Clock clock = clockAt(QDateTime(QDate(2026, 2, 1), QTime(9, 0), newYork), locale);
        const Invite invite =
            inviteFor(dateText.constData(), time.isEmpty() ? nullptr : timeText.constData());
        QTEST(invite.whenText(clock).value_or(QString()), "expected");
    }
};

GW_TEST(InviteTests)

#include "InviteTests.moc"
