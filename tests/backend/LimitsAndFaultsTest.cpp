// A backend of the test's own (its own PostgreSQL, tight rate limits), so that limits can
// be run out and the database restarted without disturbing the other tests: rate limits
// per client address and per e-mail address, the database restarting under the running
// server, and where the token-signing secret and the mails are kept.

#include "support/BackendKit.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>

using namespace kit;

namespace {

const QString fixtureScript = QStringLiteral(GW_SOURCE_DIR "/tests/support/backend-fixture");
const QString serverBinary = QStringLiteral(GW_BINARY_DIR "/backend/greetwell-backend");

// One POST over a fresh connection from the loopback address `from`, so that one test can
// play several clients.
HttpReply postFrom(const QString &from, const QUrl &url, const BackendInfo &info,
                   const QJsonObject &body, const QByteArray &bearer = {}) {
    QTcpSocket socket;
    HttpReply out;
    if (!socket.bind(QHostAddress(from))) {
        out.networkError = u"cannot bind "_s + from;
        return out;
    }
    socket.connectToHost(QHostAddress(url.host()), quint16(url.port()));
    if (!socket.waitForConnected(10000)) {
        out.networkError = socket.errorString();
        return out;
    }
    const QByteArray payload = compact(body);
    QByteArray request = "POST " + url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) +
                         " HTTP/1.1\r\nHost: " + url.authority().toUtf8() +
                         "\r\napikey: " + info.apikey.toUtf8() +
                         "\r\nContent-Type: application/json\r\nConnection: close\r\n";
    if (!bearer.isEmpty())
        request += "Authorization: Bearer " + bearer + "\r\n";
    request += "Content-Length: " + QByteArray::number(payload.size()) + "\r\n\r\n" + payload;
    socket.write(request);
    QByteArray raw;
    while (socket.waitForReadyRead(30000))
        raw += socket.readAll();
    raw += socket.readAll();
    const qsizetype end = raw.indexOf("\r\n\r\n");
    const QList<QByteArray> lines = raw.left(end).split('\n');
    if (end < 0 || lines.isEmpty()) {
        out.networkError = u"no answer"_s;
        return out;
    }
    out.status = lines.first().split(' ').value(1).toInt();
    for (const QByteArray &line : lines.mid(1))
        if (const qsizetype colon = line.indexOf(':'); colon > 0)
            out.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    out.body = raw.mid(end + 4);
    return out;
}

HttpReply signInFrom(const QString &from, const BackendInfo &info, const QString &email) {
    return postFrom(from, info.authUrl(u"token?grant_type=password"_s), info,
                    {{u"email"_s, email}, {u"password"_s, u"not the password"_s}});
}

HttpReply recoverFrom(const QString &from, const BackendInfo &info, const QString &email) {
    return postFrom(from, info.authUrl(u"recover"_s), info, {{u"email"_s, email}});
}

QString freshEmail(const char *prefix) {
    return u"%1-%2@example.com"_s.arg(QLatin1String(prefix),
                                      QUuid::createUuid().toString(QUuid::Id128).left(12));
}

int runScript(const QString &program, const QStringList &args, QString *output = nullptr) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    process.waitForFinished(180000);
    if (output)
        *output = QString::fromUtf8(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

class LimitsAndFaultsTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    std::optional<BackendInfo> info;
    TestAccount account;

private slots:
    void initTestCase() {
        // The shared fixture runs only where PostgreSQL and the server can; so can ours.
        if (!BackendInfo::load())
            return;
        QString output;
        QCOMPARE(runScript(fixtureScript,
                           {u"start"_s, dir.path(), serverBinary, u"--rate-limit"_s,
                            u"sign-in=5/300"_s, u"--rate-limit"_s, u"sign-in-per-email=3/300"_s,
                            u"--rate-limit"_s, u"mail=3/3600"_s, u"--rate-limit"_s,
                            u"mail-per-email=1/60"_s, u"--rate-limit"_s, u"refresh=4/40"_s},
                           &output),
                 0);
        info = BackendInfo::load(dir.filePath(u"info.json"_s));
        QVERIFY2(info, qPrintable(output));
        // Sign-ups count against the sign-in limit of 127.0.0.1, which no test below uses.
        account = createTestAccount(*info);
    }
    void cleanupTestCase() {
        if (info)
            runScript(fixtureScript, {u"stop"_s, dir.path()});
    }

    void signInLimits() {
        GW_REQUIRE_BACKEND(info);
        const QString x = freshEmail("x"), y = freshEmail("y"), z = freshEmail("z");
        struct Step {
            const char *from;
            QString email;
            int status;
        };
        // Per e-mail address: 3 tries; per client address: 5 (refused ones included).
        const QList<Step> steps{{"127.0.0.2", x, 400}, {"127.0.0.2", x, 400}, {"127.0.0.2", x, 400},
                                {"127.0.0.2", x, 429}, {"127.0.0.3", x, 429}, {"127.0.0.2", y, 400},
                                {"127.0.0.2", z, 429}, {"127.0.0.4", z, 400}};
        for (const Step &step : steps) {
            const HttpReply reply = signInFrom(QLatin1String(step.from), *info, step.email);
            QVERIFY2(reply.status == step.status,
                     qPrintable(u"%1 as %2: %3 %4"_s.arg(QLatin1String(step.from), step.email)
                                    .arg(reply.status)
                                    .arg(QString::fromUtf8(reply.body))));
            if (step.status == 429) {
                QCOMPARE(field(reply, "error_code"), u"over_request_rate_limit"_s);
                QVERIFY(reply.header("retry-after").toInt() > 0);
            }
        }
        // Sign-up shares the limit.
        const HttpReply signUp =
            postFrom(u"127.0.0.2"_s, info->authUrl(u"signup"_s), *info,
                     {{u"email"_s, freshEmail("new")}, {u"password"_s, u"long enough"_s}});
        QCOMPARE(signUp.status, 429);
    }

    void mailLimits() {
        GW_REQUIRE_BACKEND(info);
        const QDir outbox(info->outbox);
        auto mailsTo = [&](const QString &email) {
            int n = 0;
            for (const QString &name : outbox.entryList({u"*.eml"_s})) {
                QFile file(outbox.filePath(name));
                n += file.open(QIODevice::ReadOnly) && file.readAll().contains(email.toUtf8());
            }
            return n;
        };
        QCOMPARE(recoverFrom(u"127.0.0.6"_s, *info, account.email).status, 200);
        // One mail per address a minute, from wherever it is asked.
        const HttpReply again = recoverFrom(u"127.0.0.7"_s, *info, account.email);
        QCOMPARE(again.status, 429);
        QCOMPARE(field(again, "error_code"), u"over_email_send_rate_limit"_s);
        QVERIFY2(field(again, "msg").contains(u"seconds"_s), again.body.constData());
        QCOMPARE(mailsTo(account.email), 1);
        // Three mails an hour per client address, whether or not the addresses exist.
        QCOMPARE(recoverFrom(u"127.0.0.6"_s, *info, freshEmail("u1")).status, 200);
        QCOMPARE(recoverFrom(u"127.0.0.6"_s, *info, freshEmail("u2")).status, 200);
        const HttpReply over = recoverFrom(u"127.0.0.6"_s, *info, freshEmail("u3"));
        QCOMPARE(over.status, 429);
        QCOMPARE(field(over, "error_code"), u"over_email_send_rate_limit"_s);

        // The mail holds a live reset link: only its owner may read it.
        for (const QFileInfo &file : outbox.entryInfoList({u"*.eml"_s}))
            QCOMPARE(file.permissions() & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser |
                                            QFile::WriteUser),
                     QFile::Permissions());
        const QFile::Permissions folder = QFileInfo(info->outbox).permissions();
        QCOMPARE(folder & (QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther |
                           QFile::WriteGroup | QFile::WriteOther),
                 QFile::Permissions());
    }

    // Four in a burst, then one every 10 seconds; other addresses are not held back.
    void refreshLimit() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount own = createTestAccount(*info);
        const QUrl url = info->authUrl(u"token?grant_type=refresh_token"_s);
        QString token = own.refreshToken;
        auto refreshFrom = [&](const char *from) {
            const HttpReply reply =
                postFrom(QLatin1String(from), url, *info, {{u"refresh_token"_s, token}});
            if (reply.status == 200)
                token = field(reply, "refresh_token");
            return reply;
        };
        for (int i = 0; i < 4; ++i)
            QCOMPARE(refreshFrom("127.0.0.9").status, 200);
        const HttpReply over = refreshFrom("127.0.0.9");
        QCOMPARE(over.status, 429);
        QCOMPARE(field(over, "error_code"), u"over_request_rate_limit"_s);
        const int wait = over.header("retry-after").toInt();
        QVERIFY2(wait > 0 && wait <= 10, over.header("retry-after").constData());
        QCOMPARE(refreshFrom("127.0.0.10").status, 200);
        QTest::qWait(wait * 1000 + 200);
        QCOMPARE(refreshFrom("127.0.0.9").status, 200);
        QCOMPARE(refreshFrom("127.0.0.9").status, 429);
    }

    // Every pooled connection is cut by the restart; none of the requests after it may
    // fail for that.
    void databaseRestartUnderTheServer() {
        GW_REQUIRE_BACKEND(info);
        auto everyPoolWorks = [&] {
            for (int i = 0; i < 8; ++i) {
                const HttpReply read =
                    rest(*info, account.accessToken, "GET", u"visitors?select=id"_s);
                const HttpReply user = sendRequest("GET", info->authUrl(u"user"_s), {},
                                                   deskHeaders(*info, account.accessToken));
                if (read.status != 200 || user.status != 200)
                    return u"request %1: REST %2, auth %3 %4"_s.arg(i)
                        .arg(read.status)
                        .arg(user.status)
                        .arg(QString::fromUtf8(read.body + user.body));
            }
            return QString();
        };
        QCOMPARE(everyPoolWorks(), QString());
        for (const char *mode : {"fast", "immediate"}) {
            QCOMPARE(runScript(fixtureScript, {u"restart-db"_s, dir.path(), QLatin1String(mode)}),
                     0);
            QCOMPARE(everyPoolWorks(), QString());
            const HttpReply signedIn =
                postFrom(u"127.0.0.11"_s, info->authUrl(u"token?grant_type=password"_s), *info,
                         {{u"email"_s, account.email}, {u"password"_s, account.password}});
            QCOMPARE(signedIn.status, 200);
        }
    }

    // A statement the database may have carried out is not sent again: the connection
    // is cut while the statement waits for a lock, and the request is reported failed,
    // not quietly repeated.
    void unknownOutcomeIsNotRetried_data() {
        QTest::addColumn<QString>("table");
        QTest::addColumn<bool>("viaRest");
        QTest::newRow("REST insert, one-statement pool") << u"public.visitors"_s << true;
        QTest::newRow("sign-up, transaction pool") << u"auth.users"_s << false;
    }
    void unknownOutcomeIsNotRetried() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, table);
        QFETCH(bool, viaRest);
        QProcess locker;
        locker.start(u"psql"_s, {u"-X"_s, u"-q"_s, u"-tA"_s, u"-d"_s, info->database});
        QVERIFY(locker.waitForStarted());
        locker.write("BEGIN; LOCK TABLE " + table.toUtf8() +
                     " IN ACCESS EXCLUSIVE MODE; SELECT 'locked';\n");
        QVERIFY(QTest::qWaitFor([&] { return locker.readAllStandardOutput().contains("locked"); },
                                20000));

        const QString name = u"cut-off-%1"_s.arg(QUuid::createUuid().toString(QUuid::Id128));
        const QString email = name + u"@example.com"_s;
        QNetworkAccessManager manager;
        QNetworkRequest request(viaRest ? info->restUrl(u"visitors"_s)
                                        : info->authUrl(u"signup"_s));
        for (const auto &[header, value] : deskHeaders(*info, account.accessToken))
            if (viaRest || header != "Authorization")
                request.setRawHeader(header, value);
        QNetworkReply *reply = manager.post(
            request, viaRest ? compact({{u"visitor_name"_s, name}})
                             : compact({{u"email"_s, email}, {u"password"_s, u"long enough"_s}}));
        const QString waiting = u"select count(*) from pg_stat_activity where usename = "
                                "'authenticator' and wait_event_type = 'Lock'"_s;
        QVERIFY(QTest::qWaitFor([&] { return sqlCount(*info, waiting) == 1; }, 20000));
        runSql(*info, u"select pg_terminate_backend(pid) from pg_stat_activity where usename = "
                      "'authenticator' and wait_event_type = 'Lock'"_s);
        // A retry would wait for the lock again; give it the time to show.
        (void)QTest::qWaitFor([reply] { return reply->isFinished(); }, 5000);
        locker.write("COMMIT;\n");
        locker.closeWriteChannel();
        QVERIFY(locker.waitForFinished(20000));
        QVERIFY(QTest::qWaitFor([reply] { return reply->isFinished(); }, 20000));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 503);
        reply->deleteLater();
        QCOMPARE(
            sqlCount(*info, u"select (select count(*) from visitors where visitor_name = "
                            "'%1') + (select count(*) from auth.users where email = '%2')"_s.arg(
                                name, email)),
            0);
        QCOMPARE(rest(*info, account.accessToken, "GET", u"visitors?select=id"_s).status, 200);
    }

    // The secret never shows in the process list, and a file others may read is refused.
    void signingSecret() {
        GW_REQUIRE_BACKEND(info);
        QFile state(dir.filePath(u"state"_s));
        QVERIFY(state.open(QIODevice::ReadOnly));
        const QString pid = QRegularExpression(u"server_pid=(\\d+)"_s)
                                .match(QString::fromUtf8(state.readAll()))
                                .captured(1);
        QFile cmdline(u"/proc/%1/cmdline"_s.arg(pid));
        QVERIFY(cmdline.open(QIODevice::ReadOnly));
        const QByteArray command = cmdline.readAll();
        QVERIFY(command.contains("--jwt-secret-file"));
        QVERIFY(!command.contains(info->jwtSecret.toUtf8()));

        QTemporaryFile secret;
        QVERIFY(secret.open());
        secret.write(QByteArray(40, 's') + "\n");
        secret.close();
        struct Case {
            QStringList args;
            const char *says;
        };
        secret.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        const QList<Case> refused{
            {{u"--jwt-secret"_s, QString(40, u's')}, "--jwt-secret-file or GREETWELL_JWT_SECRET"},
            {{u"--jwt-secret-file"_s, secret.fileName()}, "chmod 600"},
            {{u"--jwt-secret-file"_s, dir.filePath(u"missing"_s)}, "cannot read"}};
        for (const Case &c : refused) {
            QString output;
            QCOMPARE(runScript(serverBinary, c.args + QStringList{u"--port"_s, u"0"_s}, &output),
                     2);
            QVERIFY2(output.contains(QLatin1String(c.says)), qPrintable(output));
        }
    }
};

GW_BACKEND_TEST(LimitsAndFaultsTest)
#include "LimitsAndFaultsTest.moc"
