// greetwell-backend --demo on the fixture's database: the demo account and its data, and
// a second start that refreshes the samples without doubling them or undoing the user's
// own changes.

#include "WebsiteTestKit.h"

#include "support/TestMain.h"

#include <QProcess>
#include <QTemporaryDir>

using namespace web;

namespace {

// One greetwell-backend with --demo on a free port; `output` holds what it printed
// up to "ready" (or its exit).
struct DemoServer {
    QProcess process;
    QString output;

    DemoServer(const BackendInfo &info, const QString &outbox) {
        QString dsn = info.database;
        dsn.replace("user=postgres", "user=authenticator");
        process.setProcessChannelMode(QProcess::MergedChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("GREETWELL_JWT_SECRET", info.jwtSecret);
        process.setProcessEnvironment(environment);
        process.start(GW_BINARY_DIR "/backend/greetwell-backend",
                      {"--port", "0", "--database", dsn, "--apikey", info.apikey, "--outbox",
                       outbox, "--demo"});
        QDeadlineTimer deadline(60000);
        while (!output.contains("greetwell-backend ready on") && !deadline.hasExpired() &&
               process.state() != QProcess::NotRunning) {
            process.waitForReadyRead(200);
            output += QString::fromUtf8(process.readAll());
        }
    }
    ~DemoServer() {
        process.terminate(); // the destructor kills it if this is not enough
        process.waitForFinished(10000);
    }
    // The demo account's address and password.
    QStringList account() const {
        const auto m =
            QRegularExpression(R"(demo account: (\S+) \(password: ([^)]+)\))").match(output);
        return m.hasMatch() ? QStringList{m.captured(1), m.captured(2)} : QStringList{};
    }
};

} // namespace

class DemoDataTest : public QObject {
    Q_OBJECT

    std::optional<BackendInfo> info = BackendInfo::load();

    int count(const QString &token, const QString &table, const QString &filter = {}) {
        return rest(*info, token, "GET", table + "?select=*&limit=1" + filter, {}, "count=exact")
            .header("content-range")
            .split('/')
            .last()
            .toInt();
    }

    QJsonObject signIn(const QStringList &account) {
        return sendRequest(
                   "POST", info->authUrl("token?grant_type=password"),
                   compact({{"email", account.value(0)}, {"password", account.value(1)}}),
                   {{"apikey", info->apikey.toUtf8()}, {"Content-Type", "application/json"}})
            .json()
            .object();
    }

private slots:
    void demoRunTwiceKeepsOneSetOfSamplesAndTheUsersChanges() {
        GW_REQUIRE_BACKEND(info);
        QTemporaryDir outbox;
        QStringList account;
        {
            DemoServer server(*info, outbox.path());
            account = server.account();
            QVERIFY2(!account.isEmpty(), qPrintable(server.output));
            const QJsonObject session = signIn(account);
            const QString token = session.value("access_token").toString();
            const QString userId = session.value("user").toObject().value("id").toString();
            QCOMPARE(count(token, "kiosk_settings"), 1);
            QCOMPARE(count(token, "visitors"), 300);
            QCOMPARE(count(token, "visitors", "&signed_out_at=is.null"), 4);
            QCOMPARE(count(token, "invites"), 8);

            // What the user does in the demo: rename the place, sign a visitor in.
            QCOMPARE(rest(*info, token, "PATCH", "kiosk_settings?owner_id=eq." + userId,
                          R"({"place_name":"Renamed Office"})", "return=minimal")
                         .status,
                     204);
            QCOMPARE(rest(*info, token, "POST", "visitors",
                          R"({"device_record_id":"desk-record-1","visitor_name":"Walk In",
                              "answers":[],"signed_in_at":"2030-01-01T09:00:00Z",
                              "device_name":"Desk"})",
                          "return=minimal")
                         .status,
                     201);
        }

        // Started again: the same account, fresh samples, the user's changes kept.
        DemoServer again(*info, outbox.path());
        QCOMPARE(again.account(), account);
        const QString token = signIn(account).value("access_token").toString();
        QCOMPARE(count(token, "visitors"), 301);
        QCOMPARE(count(token, "visitors", "&device_record_id=eq.desk-record-1"), 1);
        QCOMPARE(count(token, "invites"), 8);
        QCOMPARE(count(token, "kiosk_settings", "&place_name=eq.Renamed%20Office"), 1);
    }
};

GW_BACKEND_TEST(DemoDataTest)
#include "DemoDataTest.moc"
