#include "BackendFixture.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTimer>

std::optional<BackendInfo> BackendInfo::load() {
    const QString path = qEnvironmentVariable("GREETWELL_TEST_BACKEND_INFO");
    if (path.isEmpty())
        return std::nullopt;
    return load(path);
}

std::optional<BackendInfo> BackendInfo::load(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
    BackendInfo info;
    info.url = QUrl(o.value(QStringLiteral("url")).toString());
    info.apikey = o.value(QStringLiteral("apikey")).toString();
    info.jwtSecret = o.value(QStringLiteral("jwtSecret")).toString();
    info.outbox = o.value(QStringLiteral("outbox")).toString();
    info.database = o.value(QStringLiteral("database")).toString();
    if (!info.url.isValid() || info.apikey.isEmpty())
        return std::nullopt;
    return info;
}

QUrl BackendInfo::authUrl(const QString &path) const {
    return QUrl(url.toString(QUrl::StripTrailingSlash) + QStringLiteral("/auth/v1/") + path);
}

QUrl BackendInfo::restUrl(const QString &path) const {
    return QUrl(url.toString(QUrl::StripTrailingSlash) + QStringLiteral("/rest/v1/") + path);
}

HttpReply sendRequest(const QByteArray &method, const QUrl &url, const QByteArray &body,
                      const HeaderList &headers, int timeoutMs) {
    // One manager per thread and call keeps the helper usable from any test.
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setTransferTimeout(timeoutMs);
    // Tests look at redirects themselves.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    QNetworkReply *reply = manager.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();

    HttpReply out;
    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    out.body = reply->readAll();
    for (const auto &[name, value] : reply->rawHeaderPairs())
        out.headers.insert(name.toLower(), value);
    if (out.status == 0)
        out.networkError = reply->errorString();
    reply->deleteLater();
    return out;
}

HeaderList deskHeaders(const BackendInfo &info, const QString &accessToken) {
    return {{"apikey", info.apikey.toUtf8()},
            {"Authorization", "Bearer " + accessToken.toUtf8()},
            {"Content-Type", "application/json"}};
}

TestAccount createTestAccount(const BackendInfo &info, const QString &name) {
    static QAtomicInt counter;
    TestAccount account;
    account.email = QStringLiteral("test-%1-%2@example.com")
                        .arg(QUuid::createUuid().toString(QUuid::Id128).left(12))
                        .arg(counter.fetchAndAddRelaxed(1));
    account.password =
        QStringLiteral("pass-") + QUuid::createUuid().toString(QUuid::Id128).left(16);
    const QJsonObject body{{QStringLiteral("email"), account.email},
                           {QStringLiteral("password"), account.password},
                           {QStringLiteral("data"), QJsonObject{{QStringLiteral("name"), name}}}};
    const HttpReply reply =
        sendRequest("POST", info.authUrl(QStringLiteral("signup")),
                    QJsonDocument(body).toJson(QJsonDocument::Compact),
                    {{"apikey", info.apikey.toUtf8()}, {"Content-Type", "application/json"}});
    const QJsonObject answer = reply.json().object();
    account.accessToken = answer.value(QStringLiteral("access_token")).toString();
    account.refreshToken = answer.value(QStringLiteral("refresh_token")).toString();
    account.userId = QUuid::fromString(
        answer.value(QStringLiteral("user")).toObject().value(QStringLiteral("id")).toString());
    if (reply.status != 200 || account.accessToken.isEmpty() || account.userId.isNull())
        throw BackendFixtureError(QStringLiteral("sign-up of a test account failed: HTTP %1 %2 %3")
                                      .arg(reply.status)
                                      .arg(QString::fromUtf8(reply.body), reply.networkError)
                                      .toStdString());
    return account;
}

QString runSql(const BackendInfo &info, const QString &sql) {
    QProcess psql;
    psql.setProgram(QStringLiteral("psql"));
    psql.setArguments({QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-tA"),
                       QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
                       QStringLiteral("-d"), info.database});
    psql.start();
    if (!psql.waitForStarted(10000))
        throw BackendFixtureError("could not start psql: " + psql.errorString().toStdString());
    psql.write(sql.toUtf8());
    psql.closeWriteChannel();
    if (!psql.waitForFinished(120000))
        throw BackendFixtureError("psql did not finish");
    const QString out = QString::fromUtf8(psql.readAllStandardOutput());
    if (psql.exitStatus() != QProcess::NormalExit || psql.exitCode() != 0)
        throw BackendFixtureError(
            ("SQL failed: " + QString::fromUtf8(psql.readAllStandardError())).toStdString());
    return out.endsWith(QLatin1Char('\n')) ? out.chopped(1) : out;
}

void seedVisitors(const BackendInfo &info, const QUuid &owner, int count, int onSite,
                  const QDateTime &newest, int spreadDays) {
    // Spread evenly from `newest` back; row 1 is the newest. The values are ours, not
    // user input, so they are written into the statement directly.
    const QString ownerText = owner.toString(QUuid::WithoutBraces);
    const qint64 spanSeconds = qint64(spreadDays) * 86400;
    runSql(info,
           QStringLiteral(
               "insert into public.visitors (owner_id, device_record_id, visitor_name, host_name, "
               "answers, signed_in_at, signed_out_at, device_name) "
               "select '%1', 'seed-%6-' || g, 'Visitor ' || g, 'Host ' || (g % 12), "
               "jsonb_build_array(jsonb_build_object('label', 'Email', 'value', "
               "'visitor' || g || '@example.com')), "
               "t, case when g <= %2 then null else t + interval '45 minutes' end, 'Seed desk' "
               "from generate_series(1, %3) g, "
               "lateral (select to_timestamp(%4 - (g - 1) * %5::double precision / greatest(%3, "
               "1))) s(t);")
               .arg(ownerText)
               .arg(onSite)
               .arg(count)
               .arg(newest.toSecsSinceEpoch())
               .arg(spanSeconds)
               .arg(QUuid::createUuid().toString(QUuid::Id128).left(8)));
}
