// Host notifications: each service's message tree, written from the services' published
// webhook formats (Slack Block Kit, an Adaptive Card 1.4 in a Teams "message", Google Chat
// and Discord text messages), the compact writer that puts them on the wire, address
// detection, target choice, and delivery against a local receiver that answers what
// each test asks.

#include "support/FakeHttpServer.h"
#include "support/Tasks.h"
#include "support/TestMain.h"

#include "notify/JsonWriter.h"
#include "notify/Notifier.h"
#include "notify/WebhookDelivery.h"
#include "notify/WebhookService.h"
#include "records/Records.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using Reply = FakeHttpServer::Reply;

namespace {
// Pinned to 2026-01-15 14:41:07.250 UTC, shown in New York (9:41 AM) in US English.
Clock fixedClock() {
    return Clock{[] { return QDateTime(QDate(2026, 1, 15), QTime(14, 41, 7, 250), Qt::UTC); },
                 QTimeZone("America/New_York"), QLocale("en_US")};
}

// Some locales put a (narrow) no-break space before AM/PM; compare with a plain one.
QString plainSpaces(QString text) {
    return text.replace(QChar(0x202F), u' ').replace(QChar(0x00A0), u' ');
}

// Visitor V for host H, answers Company = C and an unlabelled 3.
VisitorRow sampleRow(std::optional<QString> host = QString("H")) {
    VisitorRow row;
    row.visitorName = "V";
    row.hostName = std::move(host);
    row.answers = {{"Company", "C"}, {QString(), "3"}};
    row.signedInAt = fixedClock().now();
    return row;
}

// "full": sign-in of V for H with both answers; "bare": no host, no answers;
// "out": the full visitor signing out an hour later (10:41 AM).
VisitorAlert sample(const QString &kind) {
    VisitorRow row = sampleRow(kind == "bare" ? std::nullopt : std::optional<QString>("H"));
    if (kind == "bare")
        row.answers.clear();
    row.signedOutAt = row.signedInAt.addSecs(3600);
    return VisitorAlert::fromRow(row, kind == "out" ? VisitorAlert::Event::signOut
                                                    : VisitorAlert::Event::signIn);
}

DeliveryOptions fast(std::chrono::milliseconds retryDelay = 300ms,
                     std::chrono::milliseconds timeout = 2s) {
    return {.timeout = timeout, .retryDelay = retryDelay, .clock = fixedClock()};
}
} // namespace

class NotifierPayloadTests : public QObject {
    Q_OBJECT
private slots:
    // Whole trees, so a missing or extra key anywhere fails. ' stands for ".
    void payloads_data() {
        QTest::addColumn<WebhookService>("service");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("tree");
        const auto row = [](WebhookService service, const char *kind, const char *tree) {
            QTest::addRow("%s %s", qPrintable(displayName(service)), kind)
                << service << QString(kind) << QString::fromUtf8(tree);
        };
        using S = WebhookService;
        row(S::slack, "full",
            "{'text':'V has arrived to see H · 9:41 AM\\nCompany: C\\nAnswer: 3','blocks':["
            "{'type':'section','text':{'type':'mrkdwn','text':'*V has arrived to see H*'}},"
            "{'type':'section','text':{'type':'mrkdwn','text':'Company: C\\nAnswer: 3'}},"
            "{'type':'context','elements':[{'type':'mrkdwn','text':'9:41 AM · Greetwell'}]}]}");
        row(S::slack, "bare",
            "{'text':'V has signed in · 9:41 AM','blocks':["
            "{'type':'section','text':{'type':'mrkdwn','text':'*V has signed in*'}},"
            "{'type':'context','elements':[{'type':'mrkdwn','text':'9:41 AM · Greetwell'}]}]}");
        row(S::teams, "full",
            "{'type':'message','attachments':[{'contentType':'application/"
            "vnd.microsoft.card.adaptive','content':{'type':'AdaptiveCard','version':'1.4',"
            "'$schema':'http://adaptivecards.io/schemas/adaptive-card.json','body':["
            "{'type':'TextBlock','text':'V has arrived to see H','size':'Medium',"
            "'weight':'Bolder','wrap':true},"
            "{'type':'FactSet','facts':[{'title':'Company','value':'C'},{'title':'','value':'3'}]},"
            "{'type':'TextBlock','text':'9:41 AM','isSubtle':true,'spacing':'Small'}]}}]}");
        row(S::googleChat, "full",
            "{'text':'V has arrived to see H · 9:41 AM\\nCompany: C\\nAnswer: 3'}");
        row(S::discord, "out",
            "{'content':'V has signed out · 10:41 AM\\nCompany: C\\nAnswer: 3',"
            "'allowed_mentions':{'parse':[]}}");
        row(S::json, "out",
            "{'event':'sign_out','visitor':'V','host':'H','timestamp':'2026-01-15T15:41:07Z',"
            "'text':'V has signed out · 10:41 AM\\nCompany: C\\nAnswer: 3',"
            "'fields':[{'label':'Company','value':'C'},{'label':'','value':'3'}]}");
        row(S::json, "bare",
            "{'event':'sign_in','visitor':'V','timestamp':'2026-01-15T14:41:07Z',"
            "'text':'V has signed in · 9:41 AM','fields':[]}");
    }
    void payloads() {
        QFETCH(WebhookService, service);
        QFETCH(QString, kind);
        QFETCH(QString, tree);
        const auto text = [](const QJsonObject &object) {
            return plainSpaces(
                QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
        };
        const QJsonObject expected =
            QJsonDocument::fromJson(tree.replace('\'', '"').toUtf8()).object();
        QVERIFY(!expected.isEmpty());
        QCOMPARE(text(makePayload(sample(kind), service, fixedClock())), text(expected));
    }

    // What a visitor types must not command the chat service: no channel-wide or user
    // ping from a name, host or answer, while formatting marks arrive as typed.
    void typedTextCannotPing_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("where");
        for (const char *typed : {"<!channel>", "<!here>", "<@U123>", "<users/all>", "@everyone",
                                  "@here", "<https://evil.example|Click> & *bold*"})
            for (const char *where : {"name", "host", "answer"})
                QTest::addRow("%s as %s", typed, where) << QString(typed) << QString(where);
    }
    void typedTextCannotPing() {
        QFETCH(QString, typed);
        QFETCH(QString, where);
        VisitorRow row = sampleRow();
        if (where == "name")
            row.visitorName = typed + " *bold*";
        else if (where == "host")
            row.hostName = typed + " *bold*";
        else
            row.answers = {{"Company", typed + " *bold*"}};
        const VisitorAlert alert = VisitorAlert::fromRow(row, VisitorAlert::Event::signIn);
        const auto strings = [](const QJsonObject &payload) {
            QStringList out;
            const std::function<void(const QJsonValue &)> walk = [&](const QJsonValue &value) {
                if (value.isString())
                    out.append(value.toString());
                for (const QJsonValue &item : value.toArray())
                    walk(item);
                for (const QJsonValue &item : value.toObject())
                    walk(item);
            };
            walk(payload);
            return out.join('\n');
        };

        // Slack: its three control characters escaped as it documents, so the visitor's
        // text shows as typed.
        const QString slack = strings(makePayload(alert, WebhookService::slack, fixedClock()));
        QVERIFY2(!slack.contains('<') && !slack.contains('>'), qPrintable(slack));
        QString shown = typed + " *bold*";
        shown.replace('&', "&amp;").replace('<', "&lt;").replace('>', "&gt;");
        QVERIFY2(slack.contains(shown), qPrintable(slack));

        // Google Chat: no "<" directly before a mention or link; the text reads the same.
        const QString chat = strings(makePayload(alert, WebhookService::googleChat, fixedClock()));
        QVERIFY2(!chat.contains(QRegularExpression("<[^\u200B]")), qPrintable(chat));
        QVERIFY(QString(chat).remove(QChar(0x200B)).contains(typed + " *bold*"));

        // Discord: the text as typed, with every kind of mention switched off.
        const QJsonObject discord = makePayload(alert, WebhookService::discord, fixedClock());
        QCOMPARE(discord["allowed_mentions"].toObject(), QJsonObject({{"parse", QJsonArray()}}));
        QVERIFY(discord["content"].toString().contains(typed + " *bold*"));
    }

    // Hours and minutes in every locale; the C locale's own short format has seconds.
    void timesHaveHoursAndMinutes_data() {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("expected");
        QTest::newRow("C") << QLocale::c() << "09:41";
        QTest::newRow("en_US") << QLocale("en_US") << "9:41 AM";
        QTest::newRow("de_DE") << QLocale("de_DE") << "09:41";
        QTest::newRow("fi_FI") << QLocale("fi_FI") << "9.41";
    }
    void timesHaveHoursAndMinutes() {
        QFETCH(QLocale, locale);
        Clock clock = fixedClock();
        clock.locale = locale;
        QTEST(plainSpaces(shortTime(clock.now(), clock)), "expected");
        const VisitorAlert alert = sample("full");
        QVERIFY(!summaryText(alert, clock).contains(":07"));
    }

    void texts() {
        VisitorRow row = sampleRow(" "); // a blank host must not give "to see  "
        QCOMPARE(headline(VisitorAlert::fromRow(row, VisitorAlert::Event::signIn)),
                 "V has signed in");
        QCOMPARE(plainSpaces(summaryText(testAlert(fixedClock().now()), fixedClock())),
                 "Test Visitor has signed in \u00B7 9:41 AM\nNote: This is a test from Greetwell.");
    }

    void compactJson() {
        // Keys sorted by code point, nested too.
        QCOMPARE(::compactJson(QJsonObject{{"visitor", "V"},
                                           {"b", QJsonObject{{"z", true}, {"a", QJsonValue::Null}}},
                                           {"$schema", "x"},
                                           {"B", QJsonArray{1, 2.5, false}},
                                           {QStringLiteral("\u00E9"), QJsonArray{}}}),
                 QStringLiteral("{\"$schema\":\"x\",\"B\":[1,2.5,false],\"b\":{\"a\":null,\"z\":"
                                "true},\"visitor\":\"V\",\"\u00E9\":[]}")
                     .toUtf8());
        // Escapes for slash, quote, backslash and controls; non-ASCII kept.
        QCOMPARE(::compactJson(QString::fromUtf8("h/\"q\"\\\n\t\x01 \u00B7", 12)),
                 QByteArray(R"("h\/\"q\"\\\n\t\u0001 )"
                            "\xC2\xB7\""));
    }
};

GW_TEST(NotifierPayloadTests)

class WebhookDeliveryTests : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<QSettings> m_prefs;
    FakeHttpServer m_server;
    QNetworkAccessManager m_network;
    QUrl hook() const { return QUrl(m_server.url().toString() + "/hook"); }

private slots:
    void init() {
        m_prefs = std::make_unique<QSettings>(m_dir.filePath("prefs.ini"), QSettings::IniFormat);
        m_prefs->clear();
        m_server.requests.clear();
    }

    void detection() {
        using S = WebhookService;
        const QList<QPair<const char *, S>> rows{
            {"https://HOOKS.Slack.COM/services/T000/B000/XXXX", S::slack},
            {"https://hooks.slack.com.example.net/services/x", S::json},
            {"https://prod-12.westus.logic.azure.com:443/workflows/a/triggers/manual", S::teams},
            {"https://logic.azure.com/workflows/a", S::json},
            {"https://default1a.b2.environment.api.powerplatform.com/powerautomate/x", S::teams},
            {"https://mypowerplatform.com/x", S::json},
            {"https://Chat.GoogleAPIs.com/v1/spaces/AAAA/messages?key=k", S::googleChat},
            {"https://DISCORD.com/api/webhooks/123/abc", S::discord},
            {"https://discordapp.com/api/webhooks/123/abc", S::discord},
            {"https://discord.com/API/Webhooks/123/abc", S::json},
            {"https://canary.discord.com/api/webhooks/123/abc", S::json},
            {"", S::json}};
        for (const auto &[url, service] : rows)
            QVERIFY2(detectService(QUrl(url)) == service, url);
    }

    void parseWebhookURL() {
        const std::optional<QUrl> url = ::parseWebhookURL(" \tHTTPS://c.example/m?k=a&t=b%3D\r\n");
        QCOMPARE(url.value_or(QUrl()).toString(QUrl::FullyEncoded),
                 "https://c.example/m?k=a&t=b%3D");
        for (const char *bad :
             {"http://example.com/hook", "https:///hook", "https://exa mple.com/h"})
            QVERIFY2(!::parseWebhookURL(bad), bad);
    }

    void retries_data() {
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<bool>("defaultDelay");
        QTest::addColumn<int>("failure"); // 0: success
        QTest::newRow("500 then 204, real 2 s pause") << QList<int>{500, 204} << true << 0;
        QTest::newRow("500 twice") << QList<int>{500, 500} << false << 500;
        QTest::newRow("300 is a failure") << QList<int>{300, 404} << false << 404;
    }
    void retries() {
        QFETCH(QList<int>, statuses);
        QFETCH(bool, defaultDelay);
        QFETCH(int, failure);
        const QDateTime earlier(QDate(2025, 12, 1), QTime(8, 0), Qt::UTC);
        m_prefs->setValue("NotifyLastSuccess", earlier);
        m_prefs->setValue("NotifyLastError", "older");
        QElapsedTimer timer;
        QList<qint64> arrivals;
        m_server.setHandler([&](const FakeHttpServer::Request &) {
            arrivals.append(timer.elapsed());
            return Reply{statuses.value(arrivals.size() - 1), "{}"};
        });
        const VisitorAlert alert = testAlert(fixedClock().now());
        timer.start();
        const auto outcome =
            runTask(sendAlert(alert, hook(), &m_network, m_prefs.get(),
                              defaultDelay ? DeliveryOptions{.clock = fixedClock()} : fast()))
                .get();

        QCOMPARE(arrivals.size(), 2);
        const qint64 gap = arrivals[1] - arrivals[0], wanted = defaultDelay ? 2000 : 300;
        QVERIFY2(gap >= wanted && gap < wanted + 1000, qPrintable(QString::number(gap)));
        // Not a chat service's host: the generic document, compact with sorted keys.
        QCOMPARE(m_server.requests[1].header("Content-Type"), "application/json");
        QCOMPARE(m_server.requests[1].body,
                 compactJson(makePayload(alert, WebhookService::json, fixedClock())));
        const QSettings stored(m_dir.filePath("prefs.ini"), QSettings::IniFormat);
        if (failure == 0) {
            QVERIFY(!outcome);
            QCOMPARE(stored.value("NotifyLastSuccess").toDateTime(), fixedClock().now());
            QVERIFY(!stored.contains("NotifyLastError"));
        } else {
            QCOMPARE(outcome, NotifyError::http(failure));
            QCOMPARE(
                stored.value("NotifyLastError").toString(),
                QString("The service answered with error %1. Check the webhook URL.").arg(failure));
            QCOMPARE(stored.value("NotifyLastSuccess").toDateTime(), earlier);
        }
    }

    void noAnswerTimesOut() {
        m_server.setHandler([](const FakeHttpServer::Request &) { return Reply{.never = true}; });
        QElapsedTimer timer;
        timer.start();
        const auto outcome =
            runTask(sendAlert(testAlert(), hook(), &m_network, m_prefs.get(), fast(100ms, 400ms)))
                .get();
        QVERIFY2(timer.elapsed() >= 900 && timer.elapsed() < 4000,
                 qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(m_server.requests.size(), 2);
        QCOMPARE(outcome, NotifyError::network("The request timed out."));
        QCOMPARE(m_prefs->value("NotifyLastError").toString(), "The request timed out.");
    }

    void target_data() {
        QTest::addColumn<QString>("host");     // empty: no host
        QTest::addColumn<QString>("office");   // the office webhook
        QTest::addColumn<QString>("personal"); // Alice's webhook
        QTest::addColumn<QString>("expected"); // empty: nothing sent
        const QString office = "https://hooks.slack.com/services/office";
        const QString alice = "https://discord.com/api/webhooks/1/alice";
        QTest::newRow("personal replaces office") << "Alice" << office << alice << alice;
        QTest::newRow("other host") << "Bob" << office << alice << office;
        QTest::newRow("no host") << "" << office << alice << office;
        QTest::newRow("personal not https") << "Alice" << office << "http://x.example/a" << office;
        QTest::newRow("no usable office") << "Bob"
                                          << "http://hooks.slack.com/x" << alice << "";
    }
    void target() {
        QFETCH(QString, host);
        QFETCH(QString, office);
        QFETCH(QString, personal);
        QFETCH(QString, expected);
        NotificationSettings settings; // sign-in on, sign-out off
        settings.officeWebhook = office;
        settings.employeeWebhooks = {{"Alice", personal}};
        const VisitorRow row = sampleRow(host.isEmpty() ? std::nullopt : std::optional(host));
        const std::optional<QUrl> url = notifyTarget(settings, VisitorAlert::Event::signIn, row);
        QCOMPARE(url ? url->toString() : QString(), expected);
        // The flags decide before any address does.
        QVERIFY(!notifyTarget(settings, VisitorAlert::Event::signOut, row));
        settings.notifySignIn = false;
        QVERIFY(!notifyTarget(settings, VisitorAlert::Event::signIn, row));
    }
};

GW_TEST(WebhookDeliveryTests)

#include "NotifyTests.moc"
