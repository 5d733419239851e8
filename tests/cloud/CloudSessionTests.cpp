#include "CloudTestSupport.h"
#include "support/TestMain.h"

#include <QTest>

namespace {
const QByteArray idUpper = "6F1C2B3A-4D5E-4F60-8A7B-9C0D1E2F3A4B";
// 2026-03-02 09:30:00.250 UTC, in seconds since 2001-01-01.
const QByteArray validStored = "{\"accessToken\":\"a\\\"b\",\"refreshToken\":\"r\",\"expiresAt\":"
                               "794136600.25,\"userID\":\"" +
                               idUpper + "\",\"email\":\"e@x.org\"}";

QByteArray storedWith(const QByteArray &from, const QByteArray &to) {
    return QByteArray(validStored).replace(from, to);
}
} // namespace

class CloudSessionTests : public QObject {
    Q_OBJECT
private slots:
    void writesTheFixedKeyOrderAndReferenceDate() {
        const CloudSession session{
            "a\"b", "r", QDateTime(QDate(2026, 3, 2), QTime(9, 30, 0, 250), QTimeZone::utc()),
            testUserID, "e@x.org"};
        QCOMPARE(session.toStoredJson(), validStored);
        QCOMPARE(CloudSession::fromStoredJson(validStored), std::optional(session));
        // Before the reference date the seconds are negative; nothing is lost either way.
        CloudSession early = session;
        early.expiresAt = QDateTime(QDate(1999, 12, 31), QTime(12, 0, 0, 5), QTimeZone::utc());
        QCOMPARE(CloudSession::fromStoredJson(early.toStoredJson()), std::optional(early));
    }

    void readsOnlyWhatItWrites() {
        QCOMPARE(CloudSession::fromStoredJson(storedWith(idUpper, idUpper.toLower()))->userID,
                 testUserID);
        for (const QByteArray &json :
             {storedWith(R"(,"email":"e@x.org")", ""), storedWith(R"("e@x.org")", "null"),
              storedWith("794136600.25", R"("794136600.25")"), storedWith(idUpper, "desk-user"),
              "[" + validStored + "]"})
            QVERIFY2(!CloudSession::fromStoredJson(json), json.constData());
    }
};

GW_TEST(CloudSessionTests)

#include "CloudSessionTests.moc"
