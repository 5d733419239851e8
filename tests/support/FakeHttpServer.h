#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>
#include <functional>

// An in-process HTTP/1.1 server on 127.0.0.1 with a random port. It records every
// request and answers with what the test's handler returns (by default 200 with an
// empty JSON object). Runs on the test's event loop, so coroutines under test and the
// server interleave naturally.
class FakeHttpServer : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray target; // path and query exactly as sent
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        QByteArray header(const QByteArray &name) const; // case-insensitive
        bool hasHeader(const QByteArray &name) const;
        QString path() const;          // decoded path
        QByteArray rawQuery() const;   // after "?", undecoded
        QUrlQuery query() const;
    };
    struct Reply {
        int status = 200;
        QByteArray body = "{}";
        QList<QPair<QByteArray, QByteArray>> headers = {{"Content-Type", "application/json"}};
        int delayMs = 0;       // answer after this long
        bool hangUp = false;   // close the connection without answering
        bool never = false;    // keep the connection open and never answer
        static Reply json(int status, const QByteArray &body) { return Reply{status, body}; }
    };
    using Handler = std::function<Reply(const Request &)>;

    explicit FakeHttpServer(QObject *parent = nullptr);
    ~FakeHttpServer() override;

    QUrl url() const; // http://127.0.0.1:PORT (no trailing slash)
    quint16 port() const { return m_server.serverPort(); }
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    QList<Request> requests;
    // Requests whose path is `path`.
    QList<Request> requestsTo(const QString &path) const;

signals:
    void requestReceived();

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Reply &reply);

    QTcpServer m_server;
    Handler m_handler;
};
