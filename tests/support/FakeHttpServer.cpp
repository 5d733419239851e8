#include "FakeHttpServer.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

QByteArray FakeHttpServer::Request::header(const QByteArray &name) const {
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

bool FakeHttpServer::Request::hasHeader(const QByteArray &name) const {
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QString FakeHttpServer::Request::path() const {
    const int q = target.indexOf('?');
    return QUrl::fromPercentEncoding(q < 0 ? target : target.left(q));
}

QByteArray FakeHttpServer::Request::rawQuery() const {
    const int q = target.indexOf('?');
    return q < 0 ? QByteArray() : target.mid(q + 1);
}

QUrlQuery FakeHttpServer::Request::query() const {
    return QUrlQuery(QString::fromUtf8(rawQuery()));
}

FakeHttpServer::FakeHttpServer(QObject *parent) : QObject(parent) {
    m_handler = [](const Request &) { return Reply{}; };
    connect(&m_server, &QTcpServer::newConnection, this, &FakeHttpServer::onNewConnection);
    m_server.listen(QHostAddress::LocalHost, 0);
}

FakeHttpServer::~FakeHttpServer() = default;

QUrl FakeHttpServer::url() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()));
}

QList<FakeHttpServer::Request> FakeHttpServer::requestsTo(const QString &path) const {
    QList<Request> matching;
    for (const auto &request : requests)
        if (request.path() == path)
            matching.append(request);
    return matching;
}

void FakeHttpServer::onNewConnection() {
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void FakeHttpServer::onReadyRead(QTcpSocket *socket) {
    // Requests may arrive in pieces and several on one kept-alive connection; parse
    // whatever complete requests the buffer holds.
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    for (;;) {
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            break;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        Request request;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        qsizetype contentLength = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const int colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray key = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            request.headers.append({key, value});
            if (key.compare("Content-Length", Qt::CaseInsensitive) == 0)
                contentLength = value.toLongLong();
        }
        if (buffer.size() < headerEnd + 4 + contentLength)
            break;
        request.body = buffer.mid(headerEnd + 4, contentLength);
        buffer.remove(0, headerEnd + 4 + contentLength);

        requests.append(request);
        const Reply reply = m_handler(request);
        emit requestReceived();
        if (reply.never)
            continue;
        if (reply.delayMs > 0) {
            QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(reply.delayMs, this, [this, guard, reply] {
                if (guard)
                    answer(guard, reply);
            });
        } else {
            answer(socket, reply);
        }
    }
    socket->setProperty("buffer", buffer);
}

void FakeHttpServer::answer(QTcpSocket *socket, const Reply &reply) {
    if (reply.hangUp) {
        socket->abort();
        return;
    }
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + " Status\r\n";
    for (const auto &[key, value] : reply.headers)
        out += key + ": " + value + "\r\n";
    out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n\r\n";
    out += reply.body;
    socket->write(out);
    socket->flush();
}
