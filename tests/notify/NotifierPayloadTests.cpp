#include "NotifyTestSupport.h"
#include "support/TestMain.h"

#include "notify/Notifier.h"

#include <QJsonDocument>
#include <QTest>

namespace {
VisitorAlert sample(const QString &kind) {
    VisitorRow row = sampleRow(kind == "bare" ? std::nullopt : std::optional<QString>("H"));
    if (kind == "bare")
        row.answers.clear();
    row.signedOutAt = row.signedInAt.addSecs(3600); // 10:41 AM in New York
    return VisitorAlert::fromRow(row, kind == "out" ? VisitorAlert::Event::signOut
                                                    : VisitorAlert::Event::signIn);
}
} // namespace

class NotifierPayloadTests : public QObject {
    Q_OBJECT
private slots:
    void alerts() {
        QCOMPARE(VisitorAlert::eventFromRaw("sign_in"), VisitorAlert::Event::signIn);
        QCOMPARE(VisitorAlert::eventFromRaw("sign_out"), VisitorAlert::Event::signOut);
        QVERIFY(!VisitorAlert::eventFromRaw("Sign_In") && !VisitorAlert::eventFromRaw(""));

        VisitorRow row = sampleRow();
        const QDateTime now = row.signedInAt.addSecs(60);
        QCOMPARE(VisitorAlert::fromRow(row, VisitorAlert::Event::signIn, now).date, row.signedInAt);
        QCOMPARE(VisitorAlert::fromRow(row, VisitorAlert::Event::signOut, now).date, now);
        row.signedOutAt = row.signedInAt.addSecs(30);
        QCOMPARE(VisitorAlert::fromRow(row, VisitorAlert::Event::signOut, now).date,
                 *row.signedOutAt);
        row.hostName = QStringLiteral(" "); // must not give "has arrived to see  "
        QCOMPARE(headline(VisitorAlert::fromRow(row, VisitorAlert::Event::signIn)),
                 "V has signed in");

        const VisitorAlert test = testAlert(now);
        QCOMPARE(plainSpaces(summaryText(test, fixedClock())),
                 "Test Visitor has signed in \u00B7 9:42 AM\nNote: This is a test from Greetwell.");
        QCOMPARE(test.date, now);
    }

    void shortTimes_data() {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QByteArray>("locale");
        QTest::addColumn<QString>("expected");
        QTest::newRow("US English")
            << QByteArray("America/New_York") << QByteArray("en_US") << "9:41 AM";
        QTest::newRow("German clock")
            << QByteArray("America/New_York") << QByteArray("de_DE") << "09:41";
        QTest::newRow("other zone")
            << QByteArray("Asia/Tokyo") << QByteArray("en_US") << "11:41 PM";
    }
    void shortTimes() {
        QFETCH(QByteArray, zone);
        QFETCH(QByteArray, locale);
        QFETCH(QString, expected);
        const Clock clock = fixedClock(zone.constData(), locale.constData());
        QCOMPARE(plainSpaces(shortTime(clock.now(), clock)), expected);
    }

    // One row per part of each message tree, as the services document them. Expected
    // values are written with ' for " to stay readable.
    void payloads_data() {
        QTest::addColumn<WebhookService>("service");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        const auto row = [](WebhookService service, const char *kind, const char *path,
                            const char *expected) {
            QTest::addRow("%s %s %s", qPrintable(displayName(service)), kind, path)
                << service << QString(kind) << QString(path) << QString::fromUtf8(expected);
        };
        using S = WebhookService;
        const char *summary = "'V has arrived to see H · 9:41 AM\\nCompany: C\\nAnswer: 3'";
        row(S::slack, "full", "text", summary);
        row(S::slack, "full", "blocks/0",
            "{'type':'section','text':{'type':'mrkdwn','text':'*V has arrived to see H*'}}");
        row(S::slack, "full", "blocks/1",
            "{'type':'section','text':{'type':'mrkdwn','text':'Company: C\\nAnswer: 3'}}");
        row(S::slack, "full", "blocks/2",
            "{'type':'context','elements':[{'type':'mrkdwn','text':'9:41 AM · Greetwell'}]}");
        row(S::slack, "bare", "blocks/1/type", "'context'");
        row(S::slack, "out", "blocks/0/text/text", "'*V has signed out*'");

        row(S::teams, "full", "type", "'message'");
        row(S::teams, "full", "attachments/0/contentType",
            "'application/vnd.microsoft.card.adaptive'");
        row(S::teams, "full", "attachments/0/content/$schema",
            "'http://adaptivecards.io/schemas/adaptive-card.json'");
        row(S::teams, "full", "attachments/0/content/type", "'AdaptiveCard'");
        row(S::teams, "full", "attachments/0/content/version", "'1.4'");
        row(S::teams, "full", "attachments/0/content/body/0",
            "{'type':'TextBlock','text':'V has arrived to see H','size':'Medium','weight':'Bolder',"
            "'wrap':true}");
        row(S::teams, "full", "attachments/0/content/body/1",
            "{'type':'FactSet','facts':[{'title':'Company','value':'C'},{'title':'','value':'3'}]"
            "}");
        row(S::teams, "full", "attachments/0/content/body/2",
            "{'type':'TextBlock','text':'9:41 AM','isSubtle':true,'spacing':'Small'}");
        row(S::teams, "bare", "attachments/0/content/body/1/type", "'TextBlock'");

        row(S::googleChat, "full", "text", summary);
        row(S::googleChat, "bare", "text", "'V has signed in · 9:41 AM'");
        row(S::discord, "full", "allowed_mentions", "{'parse':[]}");
        row(S::discord, "out", "content", "'V has signed out · 10:41 AM\\nCompany: C\\nAnswer: 3'");

        row(S::json, "full", "event", "'sign_in'");
        row(S::json, "full", "visitor", "'V'");
        row(S::json, "full", "host", "'H'");
        row(S::json, "full", "timestamp", "'2026-01-15T14:41:07Z'");
        row(S::json, "full", "text", summary);
        row(S::json, "full", "fields",
            "[{'label':'Company','value':'C'},{'label':'','value':'3'}]");
        row(S::json, "bare", "fields", "[]");
        row(S::json, "out", "event", "'sign_out'");
        row(S::json, "out", "host", "'H'");
        row(S::json, "out", "timestamp", "'2026-01-15T15:41:07Z'");
    }
    void payloads() {
        QFETCH(WebhookService, service);
        QFETCH(QString, kind);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(describeAt(makePayload(sample(kind), service, fixedClock()), path),
                 describe(QJsonDocument::fromJson("[" + expected.replace('\'', '"').toUtf8() + "]")
                              .array()
                              .at(0)));
    }

    // The exact set of keys at every level: nothing missing, nothing extra.
    void payloadKeys_data() {
        QTest::addColumn<WebhookService>("service");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("keys"); // path=sorted keys, or path=[size]
        using S = WebhookService;
        QTest::newRow("Slack") << S::slack << "full"
                               << QStringList{"={blocks,text}", "blocks=[3]",
                                              "blocks/1={text,type}"};
        QTest::newRow("Slack, no answers") << S::slack << "bare" << QStringList{"blocks=[2]"};
        QTest::newRow("Teams") << S::teams << "full"
                               << QStringList{"={attachments,type}", "attachments=[1]",
                                              "attachments/0={content,contentType}",
                                              "attachments/0/content={$schema,body,type,version}",
                                              "attachments/0/content/body=[3]"};
        QTest::newRow("Teams, no answers")
            << S::teams << "bare" << QStringList{"attachments/0/content/body=[2]"};
        QTest::newRow("Google Chat") << S::googleChat << "full" << QStringList{"={text}"};
        QTest::newRow("Discord") << S::discord << "full"
                                 << QStringList{"={allowed_mentions,content}"};
        QTest::newRow("JSON") << S::json << "full"
                              << QStringList{"={event,fields,host,text,timestamp,visitor}"};
        QTest::newRow("JSON, no host")
            << S::json << "bare" << QStringList{"={event,fields,text,timestamp,visitor}"};
    }
    void payloadKeys() {
        QFETCH(WebhookService, service);
        QFETCH(QString, kind);
        QFETCH(QStringList, keys);
        const QJsonObject payload = makePayload(sample(kind), service, fixedClock());
        for (const QString &entry : keys) {
            const QString path = entry.section('=', 0, 0);
            QCOMPARE(describeShape(payload, path), entry.section('=', 1));
        }
    }

    void markupIsNotEscaped() {
        VisitorAlert alert = sample("full");
        alert.visitorName = QStringLiteral("*Zoë* _x_ <!channel> @everyone & <b>");
        const QJsonObject slack = makePayload(alert, WebhookService::slack, fixedClock());
        QCOMPARE(nodeAt(slack, "blocks/0/text/text").toString(),
                 '*' + alert.visitorName + " has arrived to see H*");
        const QJsonObject discord = makePayload(alert, WebhookService::discord, fixedClock());
        QVERIFY(discord["content"].toString().startsWith(alert.visitorName + " has arrived"));
    }
};

GW_TEST(NotifierPayloadTests)
#include "NotifierPayloadTests.moc"
