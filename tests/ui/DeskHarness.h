#pragma once

#include "cloud/CloudClient.h"
#include "records/Records.h"
#include "support/FakeHttpServer.h"
#include "support/desk/Gestures.h"
#include "ui/AuthView.h"
#include "ui/ContentView.h"
#include "ui/DeskView.h"
#include "ui/GreetwellApp.h"
#include "ui/MainWindow.h"

#include <QAbstractButton>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

// Just enough of the backend's auth and REST behaviour, in memory, for the desk's
// screens: one account, its visitors, form and invites. Tests change the state directly
// and can make chosen calls fail.
struct FakeDeskBackend {
    FakeHttpServer server;
    QString email = QStringLiteral("desk@example.com");
    QString password = QStringLiteral("front-desk-1");
    QUuid userID = QUuid::createUuid();
    bool signUpNeedsConfirmation = false; // sign-up answers without a session
    QList<QJsonObject> visitors, invites;
    std::optional<QJsonObject> kioskSettings;
    int failVisitorReads = 0; // visitor reads answer this status with failMessage
    QString failMessage = QStringLiteral("The visitor log is resting.");
    QSet<QString> failSignOutOf; // visitor ids whose sign-out is refused
    int delayMs = 0;             // every answer waits this long

    FakeDeskBackend() {
        server.setHandler([this](const FakeHttpServer::Request &r) {
            FakeHttpServer::Reply reply = handle(r);
            reply.delayMs = delayMs;
            return reply;
        });
    }
    CloudClient::Config config() const {
        return {server.url(), server.url(), "sb_publishable_test-key-0123456789abcdef012"};
    }
    CloudSession session() const {
        return {"access-token", "refresh-token", QDateTime::currentDateTimeUtc().addSecs(3600),
                userID, email};
    }
    QJsonObject &addVisitor(const QString &name, const QDateTime &at, QJsonValue host = {},
                            QJsonValue device = {}) {
        visitors.prepend({{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
                          {"visitor_name", name},
                          {"host_name", host},
                          {"answers", QJsonArray()},
                          {"signed_in_at", formatTimestamp(at)},
                          {"device_name", device}});
        return visitors.first();
    }
    QJsonObject &addInvite(const QString &name, QJsonValue visitDate, QJsonArray answers = {}) {
        invites.prepend({{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
                         {"token", QUuid::createUuid().toString(QUuid::Id128)},
                         {"visitor_name", name},
                         {"visitor_email", "guest@example.org"},
                         {"answers", answers},
                         {"visit_date", visitDate},
                         {"created_at", formatTimestamp(QDateTime::currentDateTimeUtc())}});
        return invites.first();
    }
    int onSiteCount() const {
        return int(std::count_if(visitors.begin(), visitors.end(), [](const QJsonObject &row) {
            return !row.contains("signed_out_at");
        }));
    }

private:
    static FakeHttpServer::Reply json(int status, const QJsonValue &value) {
        return FakeHttpServer::Reply::json(status, value.isArray()
                                                       ? QJsonDocument(value.toArray()).toJson()
                                                       : QJsonDocument(value.toObject()).toJson());
    }
    FakeHttpServer::Reply tokenReply() const {
        const QJsonObject user{{"id", userID.toString(QUuid::WithoutBraces)}, {"email", email}};
        return json(200, QJsonObject{{"access_token", "access-token"},
                                     {"refresh_token", "refresh-token"},
                                     {"expires_in", 3600},
                                     {"user", user}});
    }
    // The rows (newest first) passing the "is.null" filter of `column` if the request has one.
    static QJsonArray filtered(const QList<QJsonObject> &rows, const FakeHttpServer::Request &r,
                               const QString &column) {
        const bool nullOnly = r.query().queryItemValue(column) == QLatin1String("is.null");
        QJsonArray kept;
        for (const QJsonObject &row : rows)
            if (!nullOnly || !row.contains(column))
                kept.append(row);
        return kept;
    }
    // Sets `column` from the body on the rows the "id=eq." filter names.
    static void patch(QList<QJsonObject> &rows, const FakeHttpServer::Request &r,
                      const QString &column) {
        const QString id = r.query().queryItemValue("id").mid(3);
        const QJsonObject body = QJsonDocument::fromJson(r.body).object();
        for (QJsonObject &row : rows)
            if (row.value("id").toString() == id && !row.contains(column))
                row[column] = body.value(column);
    }
    FakeHttpServer::Reply handle(const FakeHttpServer::Request &r) {
        const QString path = r.path();
        const QJsonObject body = QJsonDocument::fromJson(r.body).object();
        if (path == "/auth/v1/token") {
            if (r.query().queryItemValue("grant_type") == "refresh_token" ||
                (body.value("email") == email && body.value("password") == password))
                return tokenReply();
            return json(400, QJsonObject{{"error_code", "invalid_credentials"},
                                         {"msg", "Invalid login credentials"}});
        }
        if (path == "/auth/v1/signup")
            return signUpNeedsConfirmation
                       ? json(200, QJsonObject{{"id", QUuid::createUuid().toString()},
                                               {"email", body.value("email")}})
                       : tokenReply();
        if (path == "/rest/v1/visitors" && r.method == "GET") {
            if (failVisitorReads)
                return json(failVisitorReads, QJsonObject{{"message", failMessage}});
            const QJsonArray rows = filtered(visitors, r, "signed_out_at");
            if (r.header("Prefer") != "count=exact")
                return json(200, rows);
            auto reply = json(200, QJsonArray());
            reply.headers.append({"Content-Range", "0-0/" + QByteArray::number(rows.size())});
            return reply;
        }
        if (path == "/rest/v1/visitors" && r.method == "POST") {
            QJsonObject &row = addVisitor(body.value("visitor_name").toString(),
                                          *parseTimestamp(body.value("signed_in_at").toString()),
                                          body.value("host_name"), body.value("device_name"));
            row["answers"] = body.value("answers");
            return json(201, QJsonArray{row});
        }
        if (path == "/rest/v1/kiosk_settings" && kioskSettings)
            return json(200, QJsonArray{*kioskSettings});
        if (path == "/rest/v1/invites" && r.method == "GET")
            return json(200, filtered(invites, r, "used_at"));
        if (r.method == "PATCH") { // a sign-out, or an invite marked used
            const bool visitor = path == "/rest/v1/visitors";
            if (visitor && failSignOutOf.contains(r.query().queryItemValue("id").mid(3)))
                return json(500, QJsonObject{{"message", "That sign-out was refused."}});
            patch(visitor ? visitors : invites, r, visitor ? "signed_out_at" : "used_at");
            return FakeHttpServer::Reply::json(204, {});
        }
        // Anything else (notification settings, recover, logout) succeeds empty.
        return r.method == "GET" ? json(200, QJsonArray()) : FakeHttpServer::Reply::json(200, "{}");
    }
};

// The whole desk application against the fake backend, with its preferences in a
// throwaway file and its session in memory, so a test can quit and relaunch it.
struct DeskHarness {
    FakeDeskBackend backend;
    QTemporaryDir dir;
    QSettings preferences{dir.filePath("preferences.ini"), QSettings::IniFormat};
    std::shared_ptr<MemorySessionStore> store = std::make_shared<MemorySessionStore>();
    std::unique_ptr<GreetwellApp> app;

    // Starts the app, already signed in unless `signedIn` is false.
    void launch(bool signedIn = true) {
        if (signedIn)
            store->stored = backend.session();
        app = std::make_unique<GreetwellApp>(store, &preferences, backend.config());
        app->show();
    }
    void quit() { app.reset(); }

    MainWindow *window() const { return app->mainWindow(); }
    AuthView *auth() const { return window()->contentView()->authView(); }
    DeskView *desk() const { return window()->contentView()->deskView(); }
    AppModel *model() const { return app->model(); }
    template <typename T = QWidget> T *find(const QString &name) const {
        return window()->findChild<T *>(name);
    }
};
