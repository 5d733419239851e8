// The data endpoints: the visitor log, the settings rows and the invites. Built only on
// the public request plumbing of CloudClient, so authentication, time-outs, the 401
// sign-out and the error mapping are the same for every call.

#include "cloud/CloudClient.h"

#include <QJsonDocument>
#include <QPointer>
#include <array>
#include <qcoro/qcorosignal.h>

namespace {

const QString visitorColumns = QStringLiteral(
    "id,visitor_name,host_name,answers,signed_in_at,signed_out_at,list_name,device_name");
const QString visitorOrder = QStringLiteral("signed_in_at.desc");
constexpr int exportPageSize = 1000;
constexpr int onSiteLimit = 500;

const QString kioskColumns = QStringLiteral("fields,employees,place_name");
const QString notificationColumns =
    QStringLiteral("office_webhook,notify_sign_in,notify_sign_out,employee_webhooks");
const QString inviteColumns = QStringLiteral("id,token,visitor_name,visitor_email,answers,"
                                             "visit_date,visit_time,note,created_at,used_at");
const QString inviteOrder = QStringLiteral("created_at.desc");

// Identifiers in REST filters and website paths are lower-case canonical text.
QString idText(const QUuid &id) {
    return id.toString(QUuid::WithoutBraces).toLower();
}

QByteArray jsonBody(const QJsonObject &object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Every read takes the caller's token, so a refresh can be cancelled with its child
// requests. A failure that cancelling caused (an aborted reply) reports as Cancelled.
QCoro::Task<CloudClient::Response> sendGet(CloudClient *client, QUrl url, QByteArray prefer,
                                           CancellationToken cancel) {
    try {
        QNetworkRequest request = co_await client->authorizedRequest(url, cancel);
        cancel.throwIfCancelled();
        if (!prefer.isEmpty())
            request.setRawHeader("Prefer", prefer);
        CloudClient::Response response =
            co_await client->sendAuthorized(request, "GET", {}, cancel);
        cancel.throwIfCancelled();
        co_return response;
    } catch (const Cancelled &) {
        throw;
    } catch (...) {
        cancel.throwIfCancelled();
        throw;
    }
}

// Collects the three desk counts as they finish; settles on the first failure or once
// all three are in.
class CountRace : public QObject {
    Q_OBJECT
public:
    std::array<qint64, 3> values{};
    int pending = 3;
    std::exception_ptr failure;
    // Cancels the siblings once one has failed: their answers no longer matter.
    CancellationSource children;

    bool settled() const { return failure || pending == 0; }
    void succeed(int index, qint64 value) {
        values[index] = value;
        if (--pending == 0 && !failure)
            emit settledChanged();
    }
    void fail(std::exception_ptr error) {
        --pending;
        if (failure)
            return;
        failure = error;
        children.cancel();
        emit settledChanged();
    }
signals:
    void settledChanged();
};

QCoro::Task<void> runCount(QPointer<CloudClient> client, QueryItems filters,
                           CancellationToken cancel, std::shared_ptr<CountRace> race, int index) {
    try {
        if (!client)
            throw CloudError::signedOut();
        const qint64 value = co_await client->countVisitors(filters, cancel);
        race->succeed(index, value);
    } catch (...) {
        race->fail(std::current_exception());
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Visitor log

namespace {

QCoro::Task<QList<VisitorRow>> fetchVisitors(CloudClient *client, QueryItems extra,
                                             CancellationToken cancel) {
    QueryItems items{{QStringLiteral("select"), visitorColumns},
                     {QStringLiteral("order"), visitorOrder}};
    items += extra;
    const QUrl url = client->restQueryURL(QStringLiteral("visitors"), items);
    const CloudClient::Response response = co_await sendGet(client, url, {}, cancel);
    co_return decodeArray<VisitorRow>(response.body);
}

} // namespace

QCoro::Task<QList<VisitorRow>> CloudClient::visitorPage(VisitorQuery query, int offset, int limit,
                                                        CancellationToken cancel) {
    QueryItems items = query.queryItems();
    items.append({QStringLiteral("limit"), QString::number(limit)});
    items.append({QStringLiteral("offset"), QString::number(offset)});
    co_return co_await fetchVisitors(this, items, cancel);
}

QCoro::Task<QList<VisitorRow>> CloudClient::allVisitors(VisitorQuery query,
                                                        CancellationToken cancel) {
    // Strictly one page after another: the offset of each depends on the rows so far.
    QList<VisitorRow> rows;
    for (;;) {
        const QList<VisitorRow> page =
            co_await visitorPage(query, int(rows.size()), exportPageSize, cancel);
        cancel.throwIfCancelled();
        rows += page;
        if (page.size() < exportPageSize)
            break;
    }
    co_return rows;
}

QCoro::Task<QList<VisitorRow>> CloudClient::onSiteVisitors(CancellationToken cancel) {
    const QueryItems items{{QStringLiteral("signed_out_at"), QStringLiteral("is.null")},
                           {QStringLiteral("limit"), QString::number(onSiteLimit)}};
    co_return co_await fetchVisitors(this, items, cancel);
}

QCoro::Task<qint64> CloudClient::countVisitors(QueryItems filters, CancellationToken cancel) {
    QueryItems items{{QStringLiteral("select"), QStringLiteral("id")},
                     {QStringLiteral("limit"), QStringLiteral("1")}};
    items += filters;
    const QUrl url = restQueryURL(QStringLiteral("visitors"), items);
    // Only the total in Content-Range is read; the one row fetched is ignored.
    const Response response = co_await sendGet(this, url, "count=exact", cancel);
    co_return parseContentRange(response.header("Content-Range"));
}

QCoro::Task<DeskCounts> CloudClient::deskCounts(QDateTime now, QTimeZone zone,
                                                CancellationToken cancel) {
    // Day and week boundaries are those of the desk's own time zone; the week starts on
    // Sunday whatever the locale's first weekday is.
    const DeskWindow window = DeskWindow::at(now, zone);
    const QDateTime &startOfToday = window.startOfToday;
    const QDateTime &startOfWeek = window.startOfWeek;

    const std::array<QueryItems, 3> filters{
        QueryItems{{QStringLiteral("signed_in_at"),
                    QStringLiteral("gte.") + formatTimestamp(startOfToday)}},
        QueryItems{{QStringLiteral("signed_out_at"), QStringLiteral("is.null")}},
        QueryItems{{QStringLiteral("signed_in_at"),
                    QStringLiteral("gte.") + formatTimestamp(startOfWeek)}},
    };

    auto race = std::make_shared<CountRace>();
    // The caller's cancellation reaches all three requests through the children.
    const QMetaObject::Connection link =
        cancel.onCancel(race.get(), [state = race.get()] { state->children.cancel(); });
    // Tasks start at once and run side by side; each reports into the race.
    for (int i = 0; i < 3; ++i)
        runCount(QPointer<CloudClient>(this), filters[i], race->children.token(), race, i);
    while (!race->settled())
        co_await qCoro(race.get(), &CountRace::settledChanged);
    QObject::disconnect(link);
    cancel.throwIfCancelled();
    if (race->failure)
        std::rethrow_exception(race->failure);
    co_return DeskCounts{race->values[0], race->values[1], race->values[2]};
}

QCoro::Task<VisitorRow> CloudClient::insertVisitor(NewVisitor visitor) {
    const QUrl url =
        restQueryURL(QStringLiteral("visitors"), {{QStringLiteral("select"), visitorColumns}});
    QNetworkRequest request = co_await authorizedRequest(url);
    request.setRawHeader("Prefer", "return=representation");
    const Response response = co_await sendAuthorized(request, "POST", visitor.toJson());
    const QList<VisitorRow> rows = decodeArray<VisitorRow>(response.body);
    if (rows.isEmpty())
        throw CloudError::server(
            200, QStringLiteral("The visitor could not be saved. Please try again."));
    co_return rows.first();
}

QCoro::Task<void> CloudClient::signOutVisitor(QUuid id, QDateTime at) {
    // The is.null guard keeps the first sign-out time of a visitor signed out twice.
    const QUrl url = restQueryURL(QStringLiteral("visitors"),
                                  {{QStringLiteral("id"), QStringLiteral("eq.") + idText(id)},
                                   {QStringLiteral("signed_out_at"), QStringLiteral("is.null")}});
    const QByteArray body = jsonBody({{QStringLiteral("signed_out_at"), formatTimestamp(at)}});
    QNetworkRequest request = co_await authorizedRequest(url);
    request.setRawHeader("Prefer", "return=minimal");
    co_await sendAuthorized(request, "PATCH", body);
}

namespace {

// A request for a change made under `owner`'s session. Checked after any token refresh,
// right before sending: a change kept on this computer never travels with the token of
// another account.
QCoro::Task<QNetworkRequest> ownerRequest(CloudClient *client, QUrl url, QUuid owner,
                                          CancellationToken cancel) {
    QPointer<CloudClient> self(client);
    QNetworkRequest request = co_await client->authorizedRequest(url, cancel);
    cancel.throwIfCancelled();
    if (!self || !self->session() || self->session()->userID != owner ||
        request.rawHeader("Authorization") != "Bearer " + self->session()->accessToken.toUtf8())
        throw CloudError::signedOut();
    co_return request;
}

} // namespace

QCoro::Task<void> CloudClient::replayVisitor(NewVisitor visitor, CancellationToken cancel) {
    // The unique key on (owner_id, device_record_id) turns a second delivery of the same
    // sign-in (its first answer lost) into nothing.
    const QUrl url = restQueryURL(
        QStringLiteral("visitors"),
        {{QStringLiteral("on_conflict"), QStringLiteral("owner_id,device_record_id")}});
    QNetworkRequest request = co_await ownerRequest(this, url, visitor.ownerID, cancel);
    request.setRawHeader("Prefer", "resolution=ignore-duplicates,return=minimal");
    co_await sendAuthorized(request, "POST", visitor.toJson(), cancel);
}

QCoro::Task<std::optional<VisitorRow>>
CloudClient::visitorByDeviceRecord(QString deviceRecordID) {
    const QueryItems items{{QStringLiteral("device_record_id"), QStringLiteral("eq.") + deviceRecordID}};
    const QList<VisitorRow> rows = co_await fetchVisitors(this, items, CancellationToken());
    if (rows.isEmpty())
        co_return std::nullopt;
    co_return rows.first();
}

QCoro::Task<void> CloudClient::signOutDeviceRecord(QUuid owner, QString deviceRecordID,
                                                   QDateTime at, CancellationToken cancel) {
    const QUrl url =
        restQueryURL(QStringLiteral("visitors"),
                     {{QStringLiteral("device_record_id"), QStringLiteral("eq.") + deviceRecordID},
                      {QStringLiteral("signed_out_at"), QStringLiteral("is.null")}});
    const QByteArray body = jsonBody({{QStringLiteral("signed_out_at"), formatTimestamp(at)}});
    QNetworkRequest request = co_await ownerRequest(this, url, owner, cancel);
    request.setRawHeader("Prefer", "return=minimal");
    co_await sendAuthorized(request, "PATCH", body, cancel);
}

// ---------------------------------------------------------------------------
// Settings

namespace {

template <typename T>
QCoro::Task<std::optional<T>> firstRow(CloudClient *client, QString table, QString columns,
                                       CancellationToken cancel) {
    const QUrl url = client->restQueryURL(table, {{QStringLiteral("select"), columns}});
    const CloudClient::Response response = co_await sendGet(client, url, {}, cancel);
    const QList<T> rows = decodeArray<T>(response.body);
    if (rows.isEmpty())
        co_return std::nullopt;
    co_return rows.first();
}

} // namespace

QCoro::Task<std::optional<KioskSettings>> CloudClient::kioskSettings(CancellationToken cancel) {
    co_return co_await firstRow<KioskSettings>(this, QStringLiteral("kiosk_settings"), kioskColumns,
                                               cancel);
}

QCoro::Task<std::optional<NotificationSettings>>
CloudClient::notificationSettings(CancellationToken cancel) {
    co_return co_await firstRow<NotificationSettings>(this, QStringLiteral("notification_settings"),
                                                      notificationColumns, cancel);
}

QCoro::Task<void> CloudClient::upsertSettings(QString table, QJsonObject record) {
    const CloudSession session = co_await validSession();
    // The row belongs to whoever is signed in, whatever owner the record carried.
    record.insert(QStringLiteral("owner_id"), idText(session.userID));
    const QUrl url =
        restQueryURL(table, {{QStringLiteral("on_conflict"), QStringLiteral("owner_id")}});
    QNetworkRequest request = co_await authorizedRequest(url);
    request.setRawHeader("Prefer", "resolution=merge-duplicates,return=minimal");
    co_await sendAuthorized(request, "POST", jsonBody(record));
}

// ---------------------------------------------------------------------------
// Invites

QCoro::Task<QList<Invite>> CloudClient::fetchInvites(bool pendingOnly, int limit,
                                                     CancellationToken cancel) {
    QueryItems items{{QStringLiteral("select"), inviteColumns},
                     {QStringLiteral("order"), inviteOrder},
                     {QStringLiteral("limit"), QString::number(limit)}};
    if (pendingOnly)
        items.append({QStringLiteral("used_at"), QStringLiteral("is.null")});
    const QUrl url = restQueryURL(QStringLiteral("invites"), items);
    const Response response = co_await sendGet(this, url, {}, cancel);
    co_return decodeArray<Invite>(response.body);
}

QCoro::Task<void> CloudClient::deleteInvite(QUuid id) {
    const QUrl url = restQueryURL(QStringLiteral("invites"),
                                  {{QStringLiteral("id"), QStringLiteral("eq.") + idText(id)}});
    const QNetworkRequest request = co_await authorizedRequest(url);
    co_await sendAuthorized(request, "DELETE");
}

QCoro::Task<void> CloudClient::markInviteUsed(QUuid id, QDateTime at) {
    const QUrl url = restQueryURL(QStringLiteral("invites"),
                                  {{QStringLiteral("id"), QStringLiteral("eq.") + idText(id)}});
    const QByteArray body = jsonBody({{QStringLiteral("used_at"), formatTimestamp(at)}});
    QNetworkRequest request = co_await authorizedRequest(url);
    request.setRawHeader("Prefer", "return=minimal");
    co_await sendAuthorized(request, "PATCH", body);
}

QCoro::Task<void> CloudClient::createInvite(NewInvite invite) {
    const QUrl url = websiteURL(QStringLiteral("api/invites"));
    const QNetworkRequest request = co_await authorizedRequest(url);
    co_await sendToWebsite(request, "POST", invite.toJson());
}

QCoro::Task<void> CloudClient::resendInvite(QUuid id) {
    const QUrl url =
        websiteURL(QStringLiteral("api/invites/") + idText(id) + QStringLiteral("/resend"));
    const QNetworkRequest request = co_await authorizedRequest(url);
    co_await sendToWebsite(request, "POST");
}

#include "CloudClientData.moc"
