// greetwell-backend --demo on the fixture's database: the demo account and its data, and
// a second start that refreshes the samples without doubling them or undoing the user's
// own changes.

#include "WebsiteTestKit.h"

#include "support/TestMain.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace web;

namespace {

// One greetwell-backend with --demo on a free port, for the length of a test.
class DemoServer {
public:
    DemoServer(const BackendInfo &info, const QString &outbox) {
        QString dsn = info.database;
        dsn.replace(QStringLiteral("user=postgres"), QStringLiteral("user=authenticator"));
        m_process.setProgram(QStringLiteral(GW_BINARY_DIR "/backend/greetwell-backend"));
        m_process.setArguments({QStringLiteral("--port"), QStringLiteral("0"),
                                QStringLiteral("--database"), dsn, QStringLiteral("--jwt-secret"),
                                info.jwtSecret, QStringLiteral("--apikey"), info.apikey,
                                QStringLiteral("--outbox"), outbox, QStringLiteral("--demo")});
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start();
        QDeadlineTimer deadline(60000);
        while (m_url.isEmpty() && !deadline.hasExpired() &&
               m_process.state() != QProcess::NotRunning) {
            m_process.waitForReadyRead(200);
            m_output += QString::fromUtf8(m_process.readAll());
            const auto ready =
                QRegularExpression(QStringLiteral("greetwell-backend ready on (http://\\S+)"))
                    .match(m_output);
            if (ready.hasMatch())
                m_url = ready.captured(1);
        }
        const auto demo =
            QRegularExpression(QStringLiteral(R"(demo account: (\S+) \(password: ([^)]+)\))"))
                .match(m_output);
        if (demo.hasMatch()) {
            m_email = demo.captured(1);
            m_password = demo.captured(2);
        }
    }
    ~DemoServer() {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    QString url() const { return m_url; }
    QString email() const { return m_email; }
    QString password() const { return m_password; }
    QString output() const { return m_output; }

private:
    QProcess m_process;
    QString m_output, m_url, m_email, m_password;
};

} // namespace

class DemoDataTest : public QObject {
    Q_OBJECT

    std::optional<BackendInfo> info = BackendInfo::load();

    int count(const QString &token, const QString &table, const QString &filter = {}) {
        const HttpReply reply =
            rest(*info, token, "GET", table + QStringLiteral("?select=*&limit=1") + filter, {},
                 "count=exact");
        return reply.header("content-range").split('/').last().toInt();
    }

    // The access token; `userId` gets the account's id.
    QString signIn(const QString &email, const QString &password, QString *userId = nullptr) {
        const HttpReply reply = sendRequest(
            "POST", info->authUrl(QStringLiteral("token?grant_type=password")),
            compact({{QStringLiteral("email"), email}, {QStringLiteral("password"), password}}),
            {{"apikey", info->apikey.toUtf8()}, {"Content-Type", "application/json"}});
        const QJsonObject session = reply.json().object();
        if (userId)
            *userId = session.value(QStringLiteral("user")).toObject().value("id").toString();
        return session.value(QStringLiteral("access_token")).toString();
    }

private slots:
    void demoAccountHasAWorkingDesk() {
        GW_WEBSITE_NEEDS_BACKEND(info);
        if (!QFileInfo::exists(QStringLiteral(GW_BINARY_DIR "/backend/greetwell-backend")))
            QSKIP("greetwell-backend is not built");
        QTemporaryDir outbox;
        QString token;
        QString email, password, userId;
        {
            DemoServer server(*info, outbox.path());
            QVERIFY2(!server.url().isEmpty(), qPrintable(server.output()));
            QVERIFY2(!server.email().isEmpty(), qPrintable(server.output()));
            email = server.email();
            password = server.password();
            token = signIn(email, password, &userId);
            QVERIFY(!token.isEmpty());

            // A saved form with a host question answered from the employee list.
            const QJsonArray settings =
                rest(*info, token, "GET",
                     QStringLiteral("kiosk_settings?select=fields,employees,place_name"))
                    .json()
                    .array();
            QCOMPARE(settings.size(), 1);
            const QJsonObject form = settings[0].toObject();
            QCOMPARE(form.value(QStringLiteral("employees")).toArray().size(), 12);
            QStringList labels;
            bool hostList = false;
            for (const auto &f : form.value(QStringLiteral("fields")).toArray()) {
                labels << f.toObject().value(QStringLiteral("label")).toString();
                hostList = hostList || f.toObject().value(QStringLiteral("employee_list")).toBool();
            }
            QCOMPARE(labels.mid(0, 4), (QStringList{"Name", "Email", "Company", "Host"}));
            QVERIFY(hostList);

            QCOMPARE(count(token, QStringLiteral("visitors")), 300);
            QCOMPARE(
                count(token, QStringLiteral("visitors"), QStringLiteral("&signed_out_at=is.null")),
                4);
            const QString monthAgo =
                QDateTime::currentDateTimeUtc().addDays(-31).toString(Qt::ISODate);
            QCOMPARE(count(token, QStringLiteral("visitors"),
                           QStringLiteral("&signed_in_at=lt.") + monthAgo),
                     0);
            // Every sample visitor names a host from the list.
            QCOMPARE(count(token, QStringLiteral("visitors"), QStringLiteral("&host_name=is.null")),
                     0);

            // Invites in each state: four waiting, two used, two expired.
            const QJsonArray invites = invitesOf(*info, token);
            QCOMPARE(invites.size(), 8);
            // The server dates invites in UTC.
            const QString today = QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate);
            int used = 0, expired = 0, waiting = 0;
            for (const auto &i : invites) {
                const QJsonObject invite = i.toObject();
                const QString day = invite.value(QStringLiteral("visit_date")).toString();
                if (!invite.value(QStringLiteral("used_at")).isNull())
                    ++used;
                else if (!day.isEmpty() && day < today)
                    ++expired;
                else
                    ++waiting;
                // Their pages work.
                QCOMPARE(sendRequest("GET", siteUrl(*info, QStringLiteral("/i/") +
                                                               invite.value("token").toString()))
                             .status,
                         200);
            }
            QCOMPARE(used, 2);
            QCOMPARE(expired, 2);
            QCOMPARE(waiting, 4);

            // What the user does in the demo: rename the place, sign a visitor in.
            QCOMPARE(rest(*info, token, "PATCH",
                          QStringLiteral("kiosk_settings?owner_id=eq.") + userId,
                          R"({"place_name":"Renamed Office"})", "return=minimal")
                         .status,
                     204);
            QCOMPARE(
                rest(*info, token, "POST", QStringLiteral("visitors"),
                     R"({"device_record_id":"desk-record-1","visitor_name":"Walk In","answers":[],
                              "signed_in_at":"2030-01-01T09:00:00Z","device_name":"Desk"})",
                     "return=minimal")
                    .status,
                201);
        }

        // Started again: the same account, fresh samples, the user's changes kept.
        DemoServer again(*info, outbox.path());
        QVERIFY2(!again.url().isEmpty(), qPrintable(again.output()));
        QCOMPARE(again.email(), email);
        token = signIn(email, password);
        QVERIFY(!token.isEmpty());
        QCOMPARE(count(token, QStringLiteral("visitors")), 301);
        QCOMPARE(count(token, QStringLiteral("visitors"),
                       QStringLiteral("&device_record_id=eq.desk-record-1")),
                 1);
        QCOMPARE(count(token, QStringLiteral("invites")), 8);
        QCOMPARE(rest(*info, token, "GET", QStringLiteral("kiosk_settings?select=place_name"))
                     .json()
                     .array()[0]
                     .toObject()
                     .value(QStringLiteral("place_name"))
                     .toString(),
                 QStringLiteral("Renamed Office"));
    }
};

GW_BACKEND_TEST(DemoDataTest)
#include "DemoDataTest.moc"
