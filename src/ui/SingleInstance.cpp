#include "SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <unistd.h>

namespace {
const QByteArray raiseRequest = QByteArrayLiteral("raise\n");
}

SingleInstance::SingleInstance(QString name, QObject *parent)
    : QObject(parent), m_name(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultName() {
    // The runtime folder is private to the user and per login; /tmp is the fallback
    // Qt itself would use, so the user id keeps users apart there.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    const QString file = QStringLiteral("greetwell-desk-%1").arg(getuid());
    return runtime.isEmpty() ? file : QDir(runtime).filePath(file);
}

bool SingleInstance::forwardToRunning(int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(raiseRequest);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::listen() {
    if (m_server)
        return true;
    auto *server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // Nobody answered, so a socket file left there is from a desk that crashed.
    QLocalServer::removeServer(m_name);
    if (!server->listen(m_name)) {
        delete server;
        return false;
    }
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::readRequest);
    m_server = server;
    return true;
}

void SingleInstance::readRequest() {
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine() && socket->bytesAvailable() < raiseRequest.size())
                return;
            // Only the one known request; anything else is dropped with the connection.
            if (socket->readLine(raiseRequest.size() + 1) == raiseRequest)
                emit raiseRequested();
            socket->disconnectFromServer();
        });
    }
}
