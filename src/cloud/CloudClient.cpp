#include "cloud/CloudClient.h"

#include "BuildConfig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <cmath>
#include <coroutine>
#include <qcoro/qcoronetworkreply.h>

namespace {

constexpr int authTimeoutMSecs = 15'000;
constexpr int authorizedTimeoutMSecs = 30'000;
constexpr int logoutTimeoutMSecs = 10'000;
// A token with less life left than this is refreshed before use.
constexpr qint64 minimumTokenLifeMSecs = 60'000;

bool isSuccess(int status) {
    return status >= 200 && status <= 299;
}

QString trimSpacesAndTabs(const QString &text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

QUrl appendPath(QUrl url, QString path) {
    while (path.startsWith(u'/'))
        path.remove(0, 1);
    QString base = url.path();
    if (!base.endsWith(u'/'))
        base += u'/';
    url.setPath(base + path);
    return url;
}

// Standard query-item encoding. Every key and value is encoded here, "%" included:
// QUrlQuery would take "%41" in a value for an escaped "A". "?" is legal in a query but
// encoded too: some servers refuse a second one.
QString encodeQuery(const QueryItems &items) {
    static const QByteArray keepInQuery = "!$'()*,;:@/";
    QStringList pairs;
    for (const auto &[key, value] : items)
        pairs.append(QString::fromLatin1(QUrl::toPercentEncoding(key, keepInQuery) + '=' +
                                         QUrl::toPercentEncoding(value, keepInQuery)));
    return pairs.join(u'&');
}

QByteArray toJson(const QJsonObject &object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QNetworkRequest unauthenticatedRequest(const QUrl &url, const QString &apiKey) {
    QNetworkRequest request(url);
    request.setTransferTimeout(authTimeoutMSecs);
    request.setRawHeader("Content-Type", "application/json");
    request.setRawHeader("apikey", apiKey.toUtf8());
    return request;
}

struct DeleteLater {
    void operator()(QObject *object) const { object->deleteLater(); }
};

// Performs one request. Fails with `network` when no HTTP answer came back, and with
// Cancelled when the token was cancelled; returns every HTTP answer, whatever its status.
QCoro::Task<CloudClient::Response> send(QNetworkAccessManager *network, QNetworkRequest request,
                                        QByteArray verb, QByteArray body,
                                        CancellationToken cancel) {
    cancel.throwIfCancelled();
    std::unique_ptr<QNetworkReply, DeleteLater> reply(
        body.isEmpty() ? network->sendCustomRequest(request, verb)
                       : network->sendCustomRequest(request, verb, body));
    QNetworkReply *raw = reply.get();
    // Aborting finishes the reply; do it from the event loop rather than inside whoever
    // called cancel().
    const auto cancelConnection = cancel.onCancel(raw, [raw] {
        QMetaObject::invokeMethod(raw, &QNetworkReply::abort, Qt::QueuedConnection);
    });
    co_await raw;
    QObject::disconnect(cancelConnection);
    cancel.throwIfCancelled();

    const QNetworkReply::NetworkError error = raw->error();
    const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Errors below ContentAccessDenied are transport failures; the ones above it only
    // name the HTTP status, which is read below.
    const bool transportFailed =
        error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
    if (transportFailed || !status.isValid()) {
        // Nothing but the transfer time-out aborts a request whose token is not cancelled.
        if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError)
            throw CloudError::network(QStringLiteral("The request timed out."));
        if (error != QNetworkReply::NoError)
            throw CloudError::network(raw->errorString());
        throw CloudError::network(QStringLiteral("No response from the server."));
    }
    CloudClient::Response response;
    response.status = status.toInt();
    response.body = raw->readAll();
    response.headers = raw->rawHeaderPairs();
    co_return response;
}

bool isSignedOutError(const std::exception_ptr &error) {
    try {
        std::rethrow_exception(error);
    } catch (const CloudError &cloud) {
        return cloud.kind() == CloudError::Kind::signedOut;
    } catch (...) {
        return false;
    }
}

// The session a token or sign-up answer carries; throws DecodingError naming what is
// wrong.
CloudSession decodeTokenSession(const QByteArray &body, const QDateTime &receivedAt) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw DecodingError(QStringLiteral("Token answer: %1").arg(parseError.errorString()));
    if (!document.isObject())
        throw DecodingError(QStringLiteral("Token answer: Expected an object"));
    const QJsonObject object = document.object();

    auto fail = [](const QString &key, const QJsonValue &value, const char *expected) {
        return DecodingError(QStringLiteral("%1: %2").arg(
            key, value.isUndefined() ? QStringLiteral("Missing")
                                     : QStringLiteral("Expected %1").arg(QLatin1String(expected))));
    };
    auto string = [&](const QJsonObject &from, const QString &key, const QString &path) {
        const QJsonValue value = from.value(key);
        if (!value.isString())
            throw fail(path, value, "a string");
        return value.toString();
    };

    CloudSession session;
    session.accessToken = string(object, QStringLiteral("access_token"), "access_token");
    session.refreshToken = string(object, QStringLiteral("refresh_token"), "refresh_token");

    const QJsonValue expiresIn = object.value(QLatin1String("expires_in"));
    const double seconds = expiresIn.toDouble();
    if (!expiresIn.isDouble() || seconds != std::floor(seconds) || std::abs(seconds) > 1e12)
        throw fail(QStringLiteral("expires_in"), expiresIn, "a whole number of seconds");

    const QJsonValue user = object.value(QLatin1String("user"));
    if (!user.isObject())
        throw fail(QStringLiteral("user"), user, "an object");
    const QJsonObject userObject = user.toObject();
    const QString id = string(userObject, QStringLiteral("id"), "user.id");
    session.userID = QUuid::fromString(id);
    if (id.size() != 36 || session.userID.isNull())
        throw DecodingError(QStringLiteral("user.id: Not a UUID"));
    const QJsonValue email = userObject.value(QLatin1String("email"));
    if (email.isString())
        session.email = email.toString();
    else if (!email.isUndefined() && !email.isNull())
        throw fail(QStringLiteral("user.email"), email, "a string");

    session.expiresAt = receivedAt.addSecs(qint64(seconds));
    return session;
}

} // namespace

// The one token refresh in flight. Waiters hold it and are woken by `finished`; the
// outcome is read from it, so every waiter gets the same one.
class RefreshFlight : public QObject {
    Q_OBJECT
public:
    quint64 generation = 0; // of the session it refreshes
    bool done = false;
    std::optional<CloudSession> session;
    std::exception_ptr error;
signals:
    void finished();
};

namespace {

// Waits for a refresh to finish, or until the token is cancelled. Both wake-ups are
// queued, so neither resumes the waiter inside someone else's call.
class FlightWait {
public:
    FlightWait(std::shared_ptr<RefreshFlight> flight, CancellationToken cancel)
        : m_flight(std::move(flight)), m_cancel(std::move(cancel)) {}

    bool await_ready() const { return m_flight->done || m_cancel.isCancelled(); }
    void await_suspend(std::coroutine_handle<> waiter) {
        auto resumed = std::make_shared<bool>(false);
        auto resume = [waiter, resumed] {
            if (*resumed)
                return;
            *resumed = true;
            waiter.resume();
        };
        RefreshFlight *flight = m_flight.get();
        m_finished = QObject::connect(flight, &RefreshFlight::finished, flight, resume,
                                      Qt::QueuedConnection);
        m_cancelled = m_cancel.onCancel(flight, [flight, resume] {
            QMetaObject::invokeMethod(flight, resume, Qt::QueuedConnection);
        });
    }
    void await_resume() {
        QObject::disconnect(m_finished);
        QObject::disconnect(m_cancelled);
    }

private:
    std::shared_ptr<RefreshFlight> m_flight;
    CancellationToken m_cancel;
    QMetaObject::Connection m_finished;
    QMetaObject::Connection m_cancelled;
};

} // namespace

struct CloudClient::Private {
    std::shared_ptr<RefreshFlight> refresh;
    // Bumped whenever `session` changes, so a refresh can tell that the session it
    // started from was cleared or replaced while it ran.
    quint64 generation = 0;
    // Cancelled when the client goes away: aborts the requests it started on its own.
    CancellationSource lifetime;

    static void setSession(CloudClient *q, std::optional<CloudSession> session) {
        if (q->m_session == session)
            return;
        q->m_session = std::move(session);
        ++q->d->generation;
        emit q->sessionChanged();
    }

    static void endSession(CloudClient *q) {
        q->m_store->save(std::nullopt);
        setSession(q, std::nullopt);
    }

    static void startSession(CloudClient *q, const CloudSession &session) {
        q->m_store->save(session);
        setSession(q, session);
    }

    static QCoro::Task<CloudSession> tokenRequest(QPointer<CloudClient> q, QString grantType,
                                                  QJsonObject fields, bool isRefresh) {
        QUrl url = q->authURL(QStringLiteral("token"));
        url.setQuery(encodeQuery({{QStringLiteral("grant_type"), grantType}}));
        const QNetworkRequest request = unauthenticatedRequest(url, q->m_config.publishableKey);
        const QByteArray verb = "POST";
        const Response response =
            co_await send(q->m_network, request, verb, toJson(fields), q->d->lifetime.token());
        if (!isSuccess(response.status)) {
            // The auth service refuses a dead refresh token with a 4xx whatever its body
            // says; an auth code in it must not read as a wrong password. A 429 only
            // says "not now": the session stays for the next try.
            if (isRefresh && response.status >= 400 && response.status <= 499 &&
                response.status != 429)
                throw CloudError::signedOut();
            throw parseErrorBody(response.status, response.body);
        }
        if (!q)
            throw Cancelled();
        co_return decodeTokenSession(response.body, q->now());
    }

    static QCoro::Task<Response> unauthenticatedPost(QPointer<CloudClient> q, QUrl url,
                                                     QJsonObject body) {
        const QNetworkRequest request = unauthenticatedRequest(url, q->m_config.publishableKey);
        const QByteArray verb = "POST";
        const Response response =
            co_await send(q->m_network, request, verb, toJson(body), q->d->lifetime.token());
        if (!isSuccess(response.status))
            throw parseErrorBody(response.status, response.body);
        if (!q)
            throw Cancelled();
        co_return response;
    }

    static std::shared_ptr<RefreshFlight> startRefresh(CloudClient *q) {
        auto flight = std::make_shared<RefreshFlight>();
        flight->generation = q->d->generation;
        q->d->refresh = flight;
        emit q->refreshTaskChanged();
        // Runs on its own; every waiter, the starter included, waits on `flight`.
        auto task = runRefresh(q, flight, *q->m_session);
        return flight;
    }

    static QCoro::Task<void> runRefresh(QPointer<CloudClient> q,
                                        std::shared_ptr<RefreshFlight> flight, CloudSession from) {
        std::optional<CloudSession> refreshed;
        std::exception_ptr error;
        const QJsonObject fields{{QStringLiteral("refresh_token"), from.refreshToken}};
        const QString grantType = QStringLiteral("refresh_token");
        try {
            refreshed = co_await tokenRequest(q, grantType, fields, true);
        } catch (...) {
            error = std::current_exception();
        }

        if (!q) {
            flight->error = std::make_exception_ptr(Cancelled());
        } else if (q->d->generation != flight->generation) {
            // The session was cleared or replaced (sign-out, a 401, account deleted,
            // another sign-in) while this ran: its outcome belongs to a session that is
            // gone, so it stores and publishes nothing.
            flight->error = std::make_exception_ptr(CloudError::signedOut());
        } else if (refreshed) {
            startSession(q, *refreshed);
            flight->session = refreshed;
        } else {
            if (isSignedOutError(error))
                endSession(q);
            flight->error = error;
        }
        if (q && q->d->refresh == flight) {
            q->d->refresh.reset();
            emit q->refreshTaskChanged();
        }
        flight->done = true;
        emit flight->finished();
    }
};

CloudClient::Config CloudClient::Config::fromBuild() {
    return Config{QUrl(QString::fromUtf8(BuildConfig::backendBaseURL)),
                  QUrl(QString::fromUtf8(BuildConfig::websiteBaseURL)),
                  QString::fromUtf8(BuildConfig::publishableKey)};
}

QByteArray CloudClient::Response::header(const QByteArray &name) const {
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

bool CloudClient::Response::hasHeader(const QByteArray &name) const {
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

CloudClient::CloudClient(QNetworkAccessManager *network, std::shared_ptr<SessionStore> store,
                         Config config, QObject *parent)
    : QObject(parent), d(std::make_unique<Private>()), m_network(network),
      m_store(store ? std::move(store) : std::make_shared<MemorySessionStore>()),
      m_config(std::move(config)) {
    m_store->whenLoaded(this, [this, generation = d->generation] {
        m_restoring = false;
        // A session started meanwhile (a sign-in) is newer than the stored one.
        if (d->generation == generation)
            Private::setSession(this, m_store->load());
        emit restoringChanged();
    });
}

CloudClient::~CloudClient() {
    d->lifetime.cancel();
}

bool CloudClient::isRefreshing() const {
    return d->refresh != nullptr;
}

QUrl CloudClient::authURL(const QString &path) const {
    return appendPath(m_config.backendBaseURL, QStringLiteral("auth/v1/") + path);
}

QUrl CloudClient::restURL(const QString &path) const {
    return appendPath(m_config.backendBaseURL, QStringLiteral("rest/v1/") + path);
}

QUrl CloudClient::websiteURL(const QString &path) const {
    return appendPath(m_config.websiteBaseURL, path);
}

QUrl CloudClient::restQueryURL(const QString &table, const QueryItems &items) const {
    QUrl url = restURL(table);
    if (!items.isEmpty()) {
        // The backend reads a literal "+" in a query as a space (timestamps carry offsets).
        QString query = encodeQuery(items);
        query.replace(u'+', QStringLiteral("%2B"));
        url.setQuery(query, QUrl::StrictMode);
    }
    return url;
}

QCoro::Task<void> CloudClient::signIn(QString email, QString password) {
    QPointer<CloudClient> self(this);
    const QJsonObject fields{{QStringLiteral("email"), trimSpacesAndTabs(email)},
                             {QStringLiteral("password"), password}};
    const QString grantType = QStringLiteral("password");
    const CloudSession session = co_await Private::tokenRequest(self, grantType, fields, false);
    if (!self)
        throw Cancelled();
    Private::startSession(this, session);
}

QCoro::Task<bool> CloudClient::createAccount(QString name, QString email, QString password) {
    QPointer<CloudClient> self(this);
    const QJsonObject body{
        {QStringLiteral("email"), trimSpacesAndTabs(email)},
        {QStringLiteral("password"), password},
        {QStringLiteral("data"), QJsonObject{{QStringLiteral("name"), name.trimmed()}}}};
    const QUrl url = authURL(QStringLiteral("signup"));
    const Response response = co_await Private::unauthenticatedPost(self, url, body);
    if (!self)
        throw Cancelled();
    // Any 2xx body without tokens means the account waits for its email confirmation.
    std::optional<CloudSession> session;
    try {
        session = decodeTokenSession(response.body, now());
    } catch (const DecodingError &) {
    }
    if (!session)
        co_return false;
    Private::startSession(this, *session);
    co_return true;
}

QCoro::Task<void> CloudClient::sendPasswordReset(QString email) {
    QPointer<CloudClient> self(this);
    QUrl url = authURL(QStringLiteral("recover"));
    const QString redirect = websiteURL(QStringLiteral("auth/callback")).toString() +
                             QStringLiteral("?next=/reset-password");
    url.setQuery(encodeQuery({{QStringLiteral("redirect_to"), redirect}}), QUrl::StrictMode);
    const QJsonObject body{{QStringLiteral("email"), trimSpacesAndTabs(email)}};
    co_await Private::unauthenticatedPost(self, url, body);
}

QCoro::Task<void> CloudClient::changePassword(QString newPassword) {
    QPointer<CloudClient> self(this);
    const QUrl url = authURL(QStringLiteral("user"));
    const QByteArray body = toJson(QJsonObject{{QStringLiteral("password"), newPassword}});
    const QNetworkRequest request = co_await authorizedRequest(url);
    if (!self)
        throw Cancelled();
    const QByteArray verb = "PUT";
    co_await sendAuthorized(request, verb, body);
}

void CloudClient::signOut() {
    if (m_session) {
        QNetworkRequest request(authURL(QStringLiteral("logout")));
        request.setTransferTimeout(logoutTimeoutMSecs);
        request.setRawHeader("apikey", m_config.publishableKey.toUtf8());
        request.setRawHeader("Authorization", "Bearer " + m_session->accessToken.toUtf8());
        // Revoking the token is best effort: nobody waits for it and its outcome is ignored.
        QNetworkReply *reply = m_network->sendCustomRequest(request, "POST");
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    }
    Private::endSession(this);
}

QCoro::Task<void> CloudClient::deleteAccount() {
    QPointer<CloudClient> self(this);
    const QUrl url = restURL(QStringLiteral("rpc/delete_account"));
    const QNetworkRequest request = co_await authorizedRequest(url);
    if (!self)
        throw Cancelled();
    const QByteArray verb = "POST";
    const QByteArray body = "{}";
    co_await sendAuthorized(request, verb, body);
    if (!self)
        throw Cancelled();
    Private::endSession(this);
}

QCoro::Task<CloudSession> CloudClient::validSession(CancellationToken cancel) {
    cancel.throwIfCancelled();
    if (!m_session)
        throw CloudError::signedOut();
    // (A copy: QCoro's co_return would move out of m_session.)
    if (m_now().msecsTo(m_session->expiresAt) >= minimumTokenLifeMSecs)
        co_return CloudSession(*m_session);

    // Join the refresh in flight, unless it belongs to a session that has since been
    // replaced: its outcome would not be ours.
    std::shared_ptr<RefreshFlight> flight = d->refresh;
    if (!flight || flight->generation != d->generation)
        flight = Private::startRefresh(this);
    co_await FlightWait(flight, cancel);
    cancel.throwIfCancelled();
    if (flight->error)
        std::rethrow_exception(flight->error);
    // A copy for each waiter: QCoro's co_return moves from any non-const lvalue.
    co_return CloudSession(*flight->session);
}

QCoro::Task<QNetworkRequest> CloudClient::authorizedRequest(QUrl url, CancellationToken cancel) {
    QPointer<CloudClient> self(this);
    const CloudSession session = co_await validSession(cancel);
    if (!self)
        throw Cancelled();
    QNetworkRequest request(url);
    request.setTransferTimeout(authorizedTimeoutMSecs);
    request.setRawHeader("Content-Type", "application/json");
    request.setRawHeader("apikey", m_config.publishableKey.toUtf8());
    request.setRawHeader("Authorization", "Bearer " + session.accessToken.toUtf8());
    co_return request;
}

QCoro::Task<CloudClient::Response> CloudClient::sendAuthorized(QNetworkRequest request,
                                                               QByteArray verb, QByteArray body,
                                                               CancellationToken cancel) {
    QPointer<CloudClient> self(this);
    Response response = co_await send(m_network, request, verb, body, cancel);
    if (isSuccess(response.status))
        co_return response;
    if (response.status == 401) {
        // A 401 for a token we no longer hold (the session was replaced while the request
        // ran) says nothing about the current session.
        const bool forCurrentSession =
            self && (!self->m_session || request.rawHeader("Authorization") ==
                                             "Bearer " + self->m_session->accessToken.toUtf8());
        if (forCurrentSession)
            Private::endSession(self);
        throw CloudError::signedOut();
    }
    throw parseErrorBody(response.status, response.body);
}

QCoro::Task<CloudClient::Response> CloudClient::sendToWebsite(QNetworkRequest request,
                                                              QByteArray verb, QByteArray body,
                                                              CancellationToken cancel) {
    Response response = co_await send(m_network, request, verb, body, cancel);
    if (isSuccess(response.status))
        co_return response;
    // The website cannot end the backend session; a 401 from it leaves the session alone.
    if (response.status == 401)
        throw CloudError::signedOut();
    const QJsonDocument document = QJsonDocument::fromJson(response.body);
    const QJsonValue error =
        document.isObject() ? document.object().value(QLatin1String("error")) : QJsonValue();
    throw CloudError::server(response.status, error.isString() ? error.toString() : QString());
}

CloudError CloudClient::parseErrorBody(int status, const QByteArray &body) {
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonObject object = document.isObject() ? document.object() : QJsonObject();
    auto firstString = [&object](std::initializer_list<const char *> keys) {
        for (const char *key : keys) {
            const QJsonValue value = object.value(QLatin1String(key));
            if (value.isString())
                return value.toString();
        }
        return QString();
    };
    const QString code = firstString({"error_code", "error"});
    const QString message = firstString({"msg", "error_description", "message", "error"});

    if (code == u"invalid_credentials")
        return CloudError::wrongCredentials();
    if (code == u"invalid_grant" &&
        message.contains(QLatin1String("credentials"), Qt::CaseInsensitive))
        return CloudError::wrongCredentials();
    if (code == u"email_not_confirmed")
        return CloudError::emailNotConfirmed();
    if (code == u"user_already_exists" || code == u"email_exists")
        return CloudError::accountExists();
    // Rate limits: the service's own words are terse and name no remedy.
    if (status == 429)
        return CloudError::server(
            status, code == u"over_email_send_rate_limit"
                        ? QStringLiteral("Too many emails were requested. Please wait a few "
                                         "minutes and try again.")
                        : QStringLiteral("Too many attempts. Please wait a few minutes and try "
                                         "again."));
    return CloudError::server(status, message);
}

qint64 CloudClient::parseContentRange(const QByteArray &header) {
    // The total is the last non-empty piece after splitting at "/": "0-0/57" and a bare
    // "57" both give 57; "*/*" or anything unreadable gives 0.
    const QList<QByteArray> pieces = header.split('/');
    for (auto it = pieces.crbegin(); it != pieces.crend(); ++it) {
        if (it->isEmpty())
            continue;
        static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
        if (!integer.match(QString::fromLatin1(*it)).hasMatch())
            return 0;
        bool ok = false;
        const qint64 total = it->toLongLong(&ok);
        return ok ? total : 0;
    }
    return 0;
}

#include "CloudClient.moc"
