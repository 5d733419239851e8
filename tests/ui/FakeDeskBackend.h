#pragma once

#include "cloud/CloudClient.h"
#include "support/FakeHttpServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QUuid>

// Just enough of the backend's auth and REST behaviour, in memory, for the desk's
// screens: one account, its visitors, form and invites. Tests change the state directly
// and can make chosen calls fail.
class FakeDeskBackend : public QObject {
    Q_OBJECT
public:
    explicit FakeDeskBackend(QObject *parent = nullptr);

    FakeHttpServer server;
    QString email = QStringLiteral("desk@example.com");
    QString password = QStringLiteral("front-desk-1");
    QUuid userID = QUuid::createUuid();
    // Sign-up answers without a session, as when the address must be confirmed first.
    bool signUpNeedsConfirmation = false;

    QList<QJsonObject> visitors;
    std::optional<QJsonObject> kioskSettings;
    QList<QJsonObject> invites;

    // Visitor reads (list and counts) answer this status with `failMessage` when set.
    int failVisitorReads = 0;
    QString failMessage = QStringLiteral("The visitor log is resting.");
    // Sign-outs of these visitors fail.
    QSet<QString> failSignOutOf;
    // Invite reads answer 500.
    bool failInviteReads = false;

    CloudClient::Config config() const;
    // A session that stays valid for an hour.
    CloudSession session() const;

    QJsonObject &addVisitor(const QString &name, const QDateTime &signedInAt,
                            std::optional<QString> host = {}, std::optional<QString> device = {});
    QJsonObject &addInvite(const QString &name, std::optional<QString> visitDate,
                           QJsonArray answers = {});
    QList<QJsonObject> onSite() const;
    QList<FakeHttpServer::Request> requestsTo(const QByteArray &method, const QString &path) const;

private:
    FakeHttpServer::Reply handle(const FakeHttpServer::Request &request);
    FakeHttpServer::Reply tokenReply() const;
    FakeHttpServer::Reply visitorsGet(const FakeHttpServer::Request &request) const;
};
