// The HTTP layer on the wire: limits on what one client may send, strict framing,
// pipelining, and the connection limits, checked with raw sockets so nothing in between
// tidies up the requests.

#include "support/BackendKit.h"
#include "support/TestMain.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>

using namespace kit;

namespace {

struct RawReply {
    int status = 0;
    QByteArray head; // status line and headers, names as sent
    QByteArray body;
    QByteArray header(const QByteArray &name) const {
        for (const QByteArray &line : head.split('\n')) {
            const int colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }
};

// One TCP connection to the server, written and read byte for byte.
class Raw {
public:
    explicit Raw(const QUrl &url) {
        m_socket.connectToHost(url.host(), quint16(url.port()));
        m_socket.waitForConnected(5000);
    }
    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    void send(const QByteArray &data) {
        if (!connected())
            return;
        m_socket.write(data);
        m_socket.waitForBytesWritten(5000);
    }
    // The next complete answer, or status 0 when the connection ends or nothing comes.
    // An answer to HEAD has no body whatever its Content-Length says.
    RawReply read(bool toHead = false, int timeoutMs = 10000) {
        QElapsedTimer timer;
        timer.start();
        while (true) {
            const int end = m_in.indexOf("\r\n\r\n");
            if (end >= 0) {
                RawReply reply;
                reply.head = m_in.left(end);
                reply.status = reply.head.mid(9, 3).toInt();
                const qsizetype length = toHead ? 0 : reply.header("content-length").toLongLong();
                if (m_in.size() >= end + 4 + length) {
                    reply.body = m_in.mid(end + 4, length);
                    m_in.remove(0, end + 4 + length);
                    return reply;
                }
            }
            if (!waitForData(timeoutMs - int(timer.elapsed())))
                return {};
        }
    }
    // Whether the server closes the connection within `timeoutMs`, discarding any input.
    bool closedWithin(int timeoutMs) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            if (!waitForData(timeoutMs - int(timer.elapsed())) && !connected())
                return true;
            m_in.clear();
        }
        return false;
    }

private:
    bool waitForData(int timeoutMs) {
        if (timeoutMs <= 0 || !connected())
            return false;
        if (!m_socket.waitForReadyRead(timeoutMs))
            return false;
        m_in += m_socket.readAll();
        return true;
    }
    QTcpSocket m_socket;
    QByteArray m_in;
};

QByteArray get(const QByteArray &target, const QByteArray &extra = {}) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

// A request to the auth API's health check.
QByteArray health(const BackendInfo &info, const QByteArray &extra = {}) {
    return get("/auth/v1/health", "apikey: " + info.apikey.toUtf8() + "\r\n" + extra);
}

QByteArray chunked(qsizetype total, qsizetype chunk) {
    QByteArray out;
    for (qsizetype sent = 0; sent < total; sent += chunk) {
        const qsizetype n = std::min(chunk, total - sent);
        out += QByteArray::number(n, 16) + "\r\n" + QByteArray(n, 'a') + "\r\n";
    }
    return out + "0\r\n\r\n";
}

} // namespace

class HttpLimitsTest : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();
    TestAccount account;

    QByteArray restHead(const QByteArray &method, const QByteArray &target) const {
        return method + " /rest/v1/" + target +
               " HTTP/1.1\r\nHost: 127.0.0.1\r\napikey: " + info->apikey.toUtf8() +
               "\r\nAuthorization: Bearer " + account.accessToken.toUtf8() +
               "\r\nContent-Type: application/json\r\n";
    }
    int visitorCount() const {
        return sqlCount(*info, u"select count(*) from visitors where owner_id = '%1'"_s.arg(
                                   uuidText(account.userId)));
    }

private slots:
    void initTestCase() {
        if (info)
            account = createTestAccount(*info);
    }

    // Each of these is refused with its status and a JSON body, the connection is closed,
    // and nothing is stored.
    void refused_data() {
        QTest::addColumn<QByteArray>("head"); // after the request line and the usual headers
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");

        const QByteArray oneRow = R"({"visitor_name":"x"})";
        QTest::newRow("declared body over 1 MiB, not sent")
            << QByteArray("Content-Length: 1048577\r\n") << QByteArray() << 413;
        QTest::newRow("chunked body of 3 MiB")
            << QByteArray("Transfer-Encoding: chunked\r\n") << chunked(3 << 20, 64 << 10) << 413;
        QTest::newRow("gzip body") << QByteArray("Content-Encoding: gzip\r\nContent-Length: 20\r\n")
                                   << QByteArray(20, 'x') << 415;
        QTest::newRow("length list") << QByteArray("Content-Length: 20, 20\r\n") << oneRow << 400;
        QTest::newRow("signed length") << QByteArray("Content-Length: +20\r\n") << oneRow << 400;
        QTest::newRow("padded length") << QByteArray("Content-Length:  20 \r\n") << oneRow << 400;
        QTest::newRow("two lengths")
            << QByteArray("Content-Length: 20\r\nContent-Length: 20\r\n") << oneRow << 400;
        QTest::newRow("length and chunked")
            << QByteArray("Content-Length: 20\r\nTransfer-Encoding: chunked\r\n") << chunked(20, 20)
            << 400;
        QTest::newRow("other transfer coding")
            << QByteArray("Transfer-Encoding: gzip, chunked\r\n") << chunked(20, 20) << 501;
        QTest::newRow("header line over 8 KiB")
            << "X-Long: " + QByteArray(9000, 'a') + "\r\nContent-Length: 20\r\n"
            << oneRow << 431;
        QByteArray many;
        for (int i = 0; i < 80; ++i)
            many += "X-Filler-" + QByteArray::number(i) + ": " + QByteArray(1000, 'b') + "\r\n";
        QTest::newRow("headers over 64 KiB") << many << oneRow << 431;
    }
    void refused() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        const int before = visitorCount();
        Raw raw(info->url);
        raw.send(restHead("POST", "visitors") + head + "\r\n" + body);
        const RawReply reply = raw.read();
        QCOMPARE(reply.status, status);
        QVERIFY2(QJsonDocument::fromJson(reply.body).isObject(), reply.body.constData());
        QCOMPARE(reply.header("connection"), QByteArray("close"));
        QVERIFY(raw.closedWithin(5000));
        QCOMPARE(visitorCount(), before);
    }

    // The limit counts decoded bytes: a body of exactly 1 MiB passes the HTTP layer however
    // it is framed, and the connection goes on.
    void bodyAtTheLimit() {
        GW_REQUIRE_BACKEND(info);
        const QByteArray head =
            "POST /auth/v1/signup HTTP/1.1\r\nHost: 127.0.0.1\r\napikey: " + info->apikey.toUtf8() +
            "\r\nContent-Type: application/json\r\n";
        Raw raw(info->url);
        raw.send(head + "Content-Length: 1048576\r\n\r\n" + QByteArray(1 << 20, ' '));
        QCOMPARE(raw.read().status, 400); // read in full, then found not to be JSON
        raw.send(head + "Transfer-Encoding: chunked\r\n\r\n" + chunked(1 << 20, 100000));
        QCOMPARE(raw.read().status, 400);
        raw.send(head + "Expect: 100-continue\r\nContent-Length: 2\r\n\r\n");
        QCOMPARE(raw.read().status, 100);
        raw.send("{}");
        QCOMPARE(raw.read().status, 400);
    }

    void longTargetRefused() {
        GW_REQUIRE_BACKEND(info);
        Raw raw(info->url);
        raw.send(get("/rest/v1/visitors?select=" + QByteArray(9000, 'a')));
        const RawReply reply = raw.read();
        QCOMPARE(reply.status, 414);
        QCOMPARE(QJsonDocument::fromJson(reply.body).object().value("code").toString(),
                 u"PGRST414"_s);
    }

    // Requests sent back to back on one connection are all answered, in order.
    void pipelined() {
        GW_REQUIRE_BACKEND(info);
        Raw raw(info->url);
        const QByteArray row = R"({"visitor_name":"Piped"})";
        raw.send(health(*info) + restHead("POST", "visitors") +
                 "Content-Length: " + QByteArray::number(row.size()) + "\r\n\r\n" + row +
                 get("/rest/v1/visitors") + "HEAD" + health(*info).mid(3) +
                 restHead("GET", "visitors?select=visitor_name") + "\r\n" + get("/no-such-page"));
        QCOMPARE(raw.read().status, 200);
        QCOMPARE(raw.read().status, 201);
        const RawReply noKey = raw.read();
        QCOMPARE(noKey.status, 401);
        QVERIFY(noKey.body.contains("No API key"));
        const RawReply head = raw.read(true); // Content-Length of the GET, and no body
        QCOMPARE(head.status, 200);
        QVERIFY(head.body.isEmpty());
        QVERIFY(head.header("content-length").toInt() > 0);
        const RawReply rows = raw.read();
        QCOMPARE(rows.status, 200);
        QCOMPARE(rows.body, QByteArray(R"([{"visitor_name":"Piped"}])"));
        QCOMPARE(raw.read().status, 404);
    }

    // Byte ranges are never served: hundreds of them get the one plain answer.
    void rangesIgnored() {
        GW_REQUIRE_BACKEND(info);
        QByteArray ranges = "Range: bytes=0-0";
        for (int i = 1; i < 500; ++i)
            ranges += ",0-" + QByteArray::number(i);
        Raw raw(info->url);
        raw.send(health(*info, ranges + "\r\n"));
        const RawReply reply = raw.read();
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.header("content-range").isEmpty());
        QVERIFY(QJsonDocument::fromJson(reply.body).isObject());
    }

    // A "?" inside a query value is plain data (a redirect address with its own query).
    void questionMarkInQueryValue() {
        GW_REQUIRE_BACKEND(info);
        Raw raw(info->url);
        const QByteArray body = R"({"email":"nobody-here@example.com"})";
        raw.send("POST /auth/v1/recover?redirect_to=" + info->url.toString().toUtf8() +
                 "/auth/callback?next=/dashboard HTTP/1.1\r\nHost: 127.0.0.1\r\napikey: " +
                 info->apikey.toUtf8() + "\r\nContent-Type: application/json\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QCOMPARE(raw.read().status, 200);
        raw.send(restHead("GET", "visitors?select=id&visitor_name=eq.who?") + "\r\n");
        const RawReply rows = raw.read();
        QCOMPARE(rows.status, 200);
        QCOMPARE(rows.body, QByteArray("[]"));
    }
};

// The connection limits, on a server of its own with short time-outs and few connections
// (on the fixture's database).
class HttpConnectionLimitsTest : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();
    QTemporaryDir outbox;
    QProcess server;
    QUrl url;

private slots:
    void initTestCase() {
        if (!info)
            return;
        QString dsn = info->database;
        dsn.replace(u"user=postgres"_s, u"user=authenticator"_s);
        server.setProgram(QStringLiteral(GW_BINARY_DIR "/backend/greetwell-backend"));
        server.setArguments({u"--port"_s, u"0"_s, u"--database"_s, dsn, u"--outbox"_s,
                             outbox.path(), u"--max-connections"_s, u"6"_s, u"--idle-timeout"_s,
                             u"1"_s, u"--header-timeout"_s, u"2"_s});
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start();
        QVERIFY(server.waitForStarted());
        static const QRegularExpression ready(u"ready on (http://\\S+)"_s);
        QByteArray output;
        while (!url.isValid() && server.waitForReadyRead(20000)) {
            output += server.readAll();
            if (const auto m = ready.match(QString::fromUtf8(output)); m.hasMatch())
                url = QUrl(m.captured(1));
        }
        QVERIFY2(url.isValid(), output.constData());
    }
    void cleanupTestCase() {
        server.terminate();
        if (!server.waitForFinished(5000))
            server.kill();
    }

    // A client that sends its head a byte at a time is cut off at the header time-out,
    // and a full server turns newcomers away with 503 until a connection ends.
    void slowAndSurplusClients() {
        GW_REQUIRE_BACKEND(info);
        std::vector<std::unique_ptr<Raw>> slow;
        for (int i = 0; i < 5; ++i) {
            slow.push_back(std::make_unique<Raw>(url));
            slow.back()->send("GET /auth/v1/health HTTP/1.1\r\nX-Slow: ");
        }
        // The sixth connection is still served.
        Raw normal(url);
        normal.send(health(*info));
        QCOMPARE(normal.read().status, 200);

        Raw surplus(url);
        const RawReply busy = surplus.read();
        QCOMPARE(busy.status, 503);
        QCOMPARE(busy.header("retry-after"), QByteArray("1"));
        QVERIFY(QJsonDocument::fromJson(busy.body).isObject());
        QVERIFY(surplus.closedWithin(5000));

        // Trickling bytes does not extend the header time-out.
        QElapsedTimer timer;
        timer.start();
        bool allClosed = false;
        while (!allClosed && timer.elapsed() < 8000) {
            allClosed = true;
            for (auto &raw : slow) {
                raw->send("a");
                allClosed = raw->closedWithin(100) && allClosed;
            }
        }
        QVERIFY(allClosed);

        // The idle keep-alive connection has been closed too, and the server takes new
        // clients again.
        QVERIFY(normal.closedWithin(3000));
        Raw later(url);
        later.send(health(*info));
        QCOMPARE(later.read().status, 200);
    }
};

GW_BACKEND_TEST(HttpLimitsTest)
GW_BACKEND_TEST(HttpConnectionLimitsTest)
#include "HttpLimitsTest.moc"
