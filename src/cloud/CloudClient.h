#pragma once

#include "cloud/Cancellation.h"
#include "cloud/CloudError.h"
#include "cloud/CloudSession.h"
#include "cloud/VisitorQuery.h"
#include "records/Records.h"

#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

class QNetworkAccessManager;

// The desk's only door to the backend: owns the signed-in session, keeps its token
// fresh, and gives every request its URL, headers, status check and error mapping.
// Lives on the main thread.
class CloudClient : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isSignedIn READ isSignedIn NOTIFY sessionChanged)
    Q_PROPERTY(bool isRefreshing READ isRefreshing NOTIFY refreshTaskChanged)
    Q_PROPERTY(bool isRestoring READ isRestoring NOTIFY restoringChanged)

public:
    struct Config {
        QUrl backendBaseURL;
        QUrl websiteBaseURL;
        QString publishableKey;
        // The values compiled into this build.
        static Config fromBuild();
    };

    // A 2xx answer: its body and headers.
    struct Response {
        int status = 0;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        // Case-insensitive lookup; empty when absent.
        QByteArray header(const QByteArray &name) const;
        bool hasHeader(const QByteArray &name) const;
    };

    // Restores the stored session as soon as the store has it (at once for most stores;
    // the keychain answers after the window has painted).
    CloudClient(QNetworkAccessManager *network, std::shared_ptr<SessionStore> store,
                Config config = Config::fromBuild(), QObject *parent = nullptr);
    ~CloudClient() override;

    const Config &config() const { return m_config; }
    QNetworkAccessManager *network() const { return m_network; }
    const std::optional<CloudSession> &session() const { return m_session; }
    bool isSignedIn() const { return m_session.has_value(); }
    bool isRefreshing() const;
    // Still waiting for the store's session; signed out meanwhile.
    bool isRestoring() const { return m_restoring; }

    // Tests move the clock; the token lifetime is measured against it.
    void setNow(std::function<QDateTime()> now) { m_now = std::move(now); }
    QDateTime now() const { return m_now(); }

    QUrl authURL(const QString &path) const;
    QUrl restURL(const QString &path) const;
    // The website base with `path` appended ("support", "api/invites", ...).
    QUrl websiteURL(const QString &path) const;

    // Account operations.
    QCoro::Task<void> signIn(QString email, QString password);
    QCoro::Task<bool> createAccount(QString name, QString email, QString password);
    QCoro::Task<void> sendPasswordReset(QString email);
    QCoro::Task<void> changePassword(QString newPassword);
    void signOut();
    QCoro::Task<void> deleteAccount();

    // Request plumbing used by every endpoint.
    QCoro::Task<CloudSession> validSession(CancellationToken cancel = {});
    QCoro::Task<QNetworkRequest> authorizedRequest(QUrl url, CancellationToken cancel = {});
    QCoro::Task<Response> sendAuthorized(QNetworkRequest request, QByteArray verb = "GET",
                                         QByteArray body = {}, CancellationToken cancel = {});
    QCoro::Task<Response> sendToWebsite(QNetworkRequest request, QByteArray verb = "POST",
                                        QByteArray body = {}, CancellationToken cancel = {});

    // Visitor log.
    QCoro::Task<QList<VisitorRow>> visitorPage(VisitorQuery query, int offset, int limit,
                                               CancellationToken cancel = {});
    // `progress`, when given, hears the number of rows collected after each page.
    QCoro::Task<QList<VisitorRow>> allVisitors(VisitorQuery query, CancellationToken cancel = {},
                                               std::function<void(qsizetype)> progress = {});
    QCoro::Task<QList<VisitorRow>> onSiteVisitors(CancellationToken cancel = {});
    QCoro::Task<qint64> countVisitors(QueryItems filters, CancellationToken cancel = {});
    // Today, on site and this week, counted concurrently; the week starts on Sunday.
    QCoro::Task<DeskCounts> deskCounts(QDateTime now, QTimeZone zone,
                                       CancellationToken cancel = {});
    QCoro::Task<VisitorRow> insertVisitor(NewVisitor visitor);
    QCoro::Task<void> signOutVisitor(QUuid id, QDateTime at);
    // Changes that waited on this desk, sent under the session of the account they belong
    // to (else `signedOut`): the sign-in once only, whatever was delivered before; the
    // sign-out of the visitor this desk created under that device record id.
    QCoro::Task<void> replayVisitor(NewVisitor visitor, CancellationToken cancel = {});
    // The visitor this account created under `deviceRecordID`, if the backend has it.
    QCoro::Task<std::optional<VisitorRow>> visitorByDeviceRecord(QString deviceRecordID);
    QCoro::Task<void> signOutDeviceRecord(QUuid owner, QString deviceRecordID, QDateTime at,
                                          CancellationToken cancel = {});

    // Settings and invites.
    QCoro::Task<std::optional<KioskSettings>> kioskSettings(CancellationToken cancel = {});
    QCoro::Task<std::optional<NotificationSettings>>
    notificationSettings(CancellationToken cancel = {});
    QCoro::Task<void> upsertSettings(QString table, QJsonObject record);
    QCoro::Task<QList<Invite>> fetchInvites(bool pendingOnly, int limit,
                                            CancellationToken cancel = {});
    QCoro::Task<void> deleteInvite(QUuid id);
    QCoro::Task<void> markInviteUsed(QUuid id, QDateTime at);
    QCoro::Task<void> createInvite(NewInvite invite);
    QCoro::Task<void> resendInvite(QUuid id);

    // A REST URL whose query follows the backend rules: standard encoding, then every
    // "+" written as "%2B".
    QUrl restQueryURL(const QString &table, const QueryItems &items) const;
    // Turns an error answer into the error it stands for.
    static CloudError parseErrorBody(int status, const QByteArray &body);
    // The total after the last "/" of a Content-Range header; 0 when absent or unreadable.
    static qint64 parseContentRange(const QByteArray &header);

signals:
    void sessionChanged();
    void refreshTaskChanged();
    void restoringChanged();

private:
    // Implementation details are the cloud account's own (CloudClient.cpp); the data
    // endpoints (CloudClientData.cpp) use only the public request plumbing above.
    struct Private;
    std::unique_ptr<Private> d;
    QNetworkAccessManager *m_network;
    std::shared_ptr<SessionStore> m_store;
    Config m_config;
    std::optional<CloudSession> m_session;
    bool m_restoring = true;
    std::function<QDateTime()> m_now = [] { return QDateTime::currentDateTimeUtc(); };
};
