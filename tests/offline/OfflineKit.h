#pragma once

// What the offline tests share: a relay in front of the local backend that can go dark
// (nothing listens on its port, as when the backend is stopped) or swallow answers the
// backend has already given, and a desk (client and model) wired through it.

#include "badge/BadgePrintResult.h"
#include "cloud/CloudClient.h"
#include "model/AppModel.h"
#include "model/FakeDesk.h"
#include "support/BackendFixture.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

class Relay {
public:
    explicit Relay(QUrl target) : m_target(std::move(target)) {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] { accept(); });
    }
    ~Relay() { stop(); }

    // Listens again on the same port as before (a free one the first time).
    bool start() {
        return m_server.listen(QHostAddress::LocalHost, m_port) &&
               (m_port = m_server.serverPort()) != 0;
    }
    // Nothing listens any more and every open connection is cut.
    void stop() {
        m_server.close();
        m_connections.reset(new QObject);
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port)); }

    // The next this many answers reach the relay and go no further: the connection that
    // asked is cut instead.
    int dropAnswers = 0;
    // Every request byte the desk sent through, in order.
    QByteArray sent;
    int requestsStartingWith(const QByteArray &line) const { return int(sent.count(line)); }

private:
    void accept() {
        while (QTcpSocket *client = m_server.nextPendingConnection()) {
            client->setParent(m_connections.get());
            auto *upstream = new QTcpSocket(m_connections.get());
            auto pending = std::make_shared<QByteArray>();
            QObject::connect(client, &QTcpSocket::readyRead, client, [=, this] {
                const QByteArray data = client->readAll();
                sent += data;
                if (upstream->state() == QAbstractSocket::ConnectedState)
                    upstream->write(data);
                else
                    *pending += data;
            });
            QObject::connect(upstream, &QTcpSocket::connected, upstream,
                             [=] { upstream->write(*pending); });
            QObject::connect(upstream, &QTcpSocket::readyRead, upstream, [=, this] {
                const QByteArray answer = upstream->readAll();
                if (dropAnswers > 0) {
                    --dropAnswers;
                    client->abort();
                    upstream->abort();
                    return;
                }
                client->write(answer);
            });
            QObject::connect(client, &QTcpSocket::disconnected, upstream,
                             [=] { upstream->disconnectFromHost(); });
            QObject::connect(upstream, &QTcpSocket::disconnected, client,
                             [=] { client->disconnectFromHost(); });
            upstream->connectToHost(m_target.host(), quint16(m_target.port()));
        }
    }

    QUrl m_target;
    QTcpServer m_server;
    quint16 m_port = 0;
    std::unique_ptr<QObject> m_connections = std::make_unique<QObject>();
};

// A desk signed in as `account`, talking to `base`, keeping its queue in `queueDirectory`.
// Its clock reads `now`, which tests move.
class OfflineDesk {
public:
    OfflineDesk(const QUrl &base, const TestAccount &account, const QString &queueDirectory) {
        store->stored = CloudSession{account.accessToken, account.refreshToken,
                                     QDateTime::currentDateTimeUtc().addSecs(3000), account.userId,
                                     account.email};
        CloudClient::Config config;
        config.backendBaseURL = config.websiteBaseURL = base;
        config.publishableKey = BackendInfo::load()->apikey;
        cloud = std::make_unique<CloudClient>(&network, store, config);
        model = std::make_unique<AppModel>(cloud.get(), nullptr, nullptr);
        model->setQueueDirectory(queueDirectory);
        model->setClock(Clock{[this] { return now; }, QTimeZone::utc(), QLocale(QLocale::English)});
    }

    // Whole seconds: what the backend stores is what the desk sent. Tests move the clock
    // on by up to half an hour and count today's visitors, so late in the day it starts
    // an hour earlier rather than letting those counts straddle midnight.
    QDateTime now = startOfTest();
    static QDateTime startOfTest() {
        const QDateTime wall =
            QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), QTimeZone::utc());
        return wall.time().hour() == 23 ? wall.addSecs(-3600) : wall;
    }
    QNetworkAccessManager network;
    std::shared_ptr<MemorySessionStore> store = std::make_shared<MemorySessionStore>();
    std::unique_ptr<CloudClient> cloud;
    std::unique_ptr<AppModel> model; // after the client: goes first

    BadgePrintResult signIn(const QString &name) {
        return runTask(model->signIn(VisitorDraft{{{0, name}}}, std::nullopt)).get();
    }
    VisitorRow shown(const QString &name) const {
        for (const VisitorRow &row : model->onSite() + model->pendingOnSite())
            if (row.visitorName == name)
                return row;
        qFatal("%s is not on Today", qPrintable(name));
    }
};

// The account's rows as the backend holds them, oldest first (read as superuser, so
// it works whatever became of the account's sessions).
inline QJsonArray storedVisitors(const BackendInfo &info, const QUuid &owner) {
    const QString json = runSql(
        info, QStringLiteral("select coalesce(json_agg(json_build_object("
                             "'visitor_name', visitor_name, 'device_record_id', device_record_id, "
                             "'signed_in_at', to_char(signed_in_at at time zone 'UTC', "
                             "'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), "
                             "'signed_out_at', to_char(signed_out_at at time zone 'UTC', "
                             "'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')) order by signed_in_at), '[]') "
                             "from public.visitors where owner_id = '%1'")
                  .arg(owner.toString(QUuid::WithoutBraces)));
    return QJsonDocument::fromJson(json.toUtf8()).array();
}
