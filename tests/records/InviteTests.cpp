// What an invite shows: its visit day, its status against a fixed clock, and its visit
// text in a pinned locale and time zone.

#include "support/TestMain.h"

#include "model/Records.h"

#include <QTest>

namespace {

const QTimeZone newYork("America/New_York");

// A clock fixed at `local` wall-clock time in New York.
Clock clockAt(QDate date, QTime time, const QString &locale = QStringLiteral("en_US")) {
    Clock clock;
    const QDateTime now(date, time, newYork);
    clock.now = [now] { return now; };
    clock.zone = newYork;
    clock.locale = QLocale(locale);
    return clock;
}

Invite inviteFor(std::optional<QString> date, std::optional<QString> time = std::nullopt,
                 std::optional<QString> usedAt = std::nullopt) {
    Invite invite;
    invite.id = QUuid::createUuid();
    invite.visitDate = std::move(date);
    invite.visitTime = std::move(time);
    invite.usedAt = std::move(usedAt);
    return invite;
}

using OptionalText = std::optional<QString>;

} // namespace

class InviteTests : public QObject {
    Q_OBJECT

private slots:
    void visitDay_data() {
        QTest::addColumn<OptionalText>("date");
        QTest::addColumn<QDate>("expected"); // invalid: no visit day
        QTest::newRow("iso date") << OptionalText("2026-03-01") << QDate(2026, 3, 1);
        QTest::newRow("no leading zeros") << OptionalText("2026-3-1") << QDate(2026, 3, 1);
        QTest::newRow("empty pieces dropped") << OptionalText("2026--03-01-") << QDate(2026, 3, 1);
        QTest::newRow("two pieces") << OptionalText("2026-03") << QDate();
        QTest::newRow("four pieces") << OptionalText("2026-03-01-02") << QDate();
        QTest::newRow("a word") << OptionalText("tomorrow") << QDate();
        QTest::newRow("word pieces dropped") << OptionalText("2026-March-01") << QDate();
        QTest::newRow("no such day") << OptionalText("2026-02-30") << QDate();
        QTest::newRow("absent") << OptionalText() << QDate();
    }
    void visitDay() {
        QFETCH(OptionalText, date);
        QFETCH(QDate, expected);
        const Clock clock = clockAt(QDate(2026, 3, 4), QTime(12, 0));
        const std::optional<QDateTime> day = inviteFor(date).visitDay(clock);
        if (!expected.isValid()) {
            QVERIFY(!day);
            QVERIFY(!inviteFor(date, QStringLiteral("14:30")).whenText(clock));
            QCOMPARE(inviteFor(date).status(clock).kind, Invite::Status::Kind::waiting);
            return;
        }
        QVERIFY(day);
        // Midnight in the clock's zone, not in UTC.
        QCOMPARE(*day, QDateTime(expected, QTime(0, 0), newYork));
    }

    void status_data() {
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<OptionalText>("date");
        QTest::addColumn<OptionalText>("usedAt");
        QTest::addColumn<Invite::Status>("expected");
        using Kind = Invite::Status::Kind;
        const Invite::Status waiting{Kind::waiting, std::nullopt};
        const Invite::Status expired{Kind::expired, std::nullopt};
        const QDateTime noon(QDate(2026, 3, 10), QTime(12, 0), newYork);

        QTest::newRow("day before the visit")
            << noon << OptionalText("2026-03-11") << OptionalText() << waiting;
        QTest::newRow("day of the visit, first minute")
            << QDateTime(QDate(2026, 3, 10), QTime(0, 0, 30), newYork) << OptionalText("2026-03-10")
            << OptionalText() << waiting;
        QTest::newRow("day of the visit, last minute")
            << QDateTime(QDate(2026, 3, 10), QTime(23, 59), newYork) << OptionalText("2026-03-10")
            << OptionalText() << waiting;
        QTest::newRow("day after the visit")
            << noon << OptionalText("2026-03-09") << OptionalText() << expired;
        // 02:00 UTC is still the evening of the 10th in New York.
        QTest::newRow("evening in the desk's zone, next day in UTC")
            << QDateTime(QDate(2026, 3, 11), QTime(2, 0), Qt::UTC) << OptionalText("2026-03-10")
            << OptionalText() << waiting;
        QTest::newRow("no date") << noon << OptionalText() << OptionalText() << waiting;
        QTest::newRow("unreadable date")
            << noon << OptionalText("2026-03") << OptionalText() << waiting;
        QTest::newRow("used, whatever its date")
            << noon << OptionalText("2026-03-01")
            << OptionalText("2026-03-01T14:35:00.123456+00:00")
            << Invite::Status{Kind::signedIn,
                              QDateTime(QDate(2026, 3, 1), QTime(14, 35, 0, 123), Qt::UTC)};
        QTest::newRow("used_at that does not parse")
            << noon << OptionalText("2026-03-01") << OptionalText("soon")
            << Invite::Status{Kind::signedIn, std::nullopt};
    }
    void status() {
        QFETCH(QDateTime, now);
        QFETCH(OptionalText, date);
        QFETCH(OptionalText, usedAt);
        QFETCH(Invite::Status, expected);
        Clock clock = clockAt(QDate(2026, 1, 1), QTime(0, 0));
        clock.now = [now] { return now; };
        const Invite::Status status = inviteFor(date, std::nullopt, usedAt).status(clock);
        QCOMPARE(int(status.kind), int(expected.kind));
        QCOMPARE(status.usedAt, expected.usedAt);
        QVERIFY(status == expected);
    }

    void whenText_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<OptionalText>("date");
        QTest::addColumn<OptionalText>("time");
        QTest::addColumn<OptionalText>("expected");
        QTest::newRow("date and time")
            << "en_US" << OptionalText("2026-03-01") << OptionalText("14:30")
            << OptionalText("Sunday, March 1 at 2:30 PM");
        QTest::newRow("no time") << "en_US" << OptionalText("2026-03-01") << OptionalText()
                                 << OptionalText("Sunday, March 1");
        QTest::newRow("hour only") << "en_US" << OptionalText("2026-03-01") << OptionalText("14")
                                   << OptionalText("Sunday, March 1");
        QTest::newRow("with seconds")
            << "en_US" << OptionalText("2026-03-01") << OptionalText("09:05:59")
            << OptionalText("Sunday, March 1 at 9:05 AM");
        QTest::newRow("no such hour") << "en_US" << OptionalText("2026-03-01")
                                      << OptionalText("25:00") << OptionalText("Sunday, March 1");
        QTest::newRow("empty time") << "en_US" << OptionalText("2026-03-01") << OptionalText("")
                                    << OptionalText("Sunday, March 1");
        // Clocks jump from 2:00 to 3:00 that night: the next valid time is shown.
        QTest::newRow("time in the spring-forward gap")
            << "en_US" << OptionalText("2026-03-08") << OptionalText("2:30")
            << OptionalText("Sunday, March 8 at 3:00 AM");
        QTest::newRow("time that repeats in the fall")
            << "en_US" << OptionalText("2026-11-01") << OptionalText("1:30")
            << OptionalText("Sunday, November 1 at 1:30 AM");
        QTest::newRow("no date") << "en_US" << OptionalText() << OptionalText("14:30")
                                 << OptionalText();
        QTest::newRow("British order")
            << "en_GB" << OptionalText("2026-03-01") << OptionalText("14:30")
            << OptionalText("Sunday, 1 March at 14:30");
        QTest::newRow("German") << "de_DE" << OptionalText("2026-03-01") << OptionalText()
                                << OptionalText("Sonntag, 1. März");
        QTest::newRow("Spanish, year and its word dropped")
            << "es_ES" << OptionalText("2026-03-01") << OptionalText()
            << OptionalText("domingo, 1 de marzo");
    }
    void whenText() {
        QFETCH(QString, locale);
        QFETCH(OptionalText, date);
        QFETCH(OptionalText, time);
        QFETCH(OptionalText, expected);
        const Clock clock = clockAt(QDate(2026, 2, 1), QTime(9, 0), locale);
        QCOMPARE(inviteFor(date, time).whenText(clock), expected);
    }
};

GW_TEST(InviteTests)

#include "InviteTests.moc"
