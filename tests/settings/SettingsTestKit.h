#pragma once

#include "cloud/CloudClient.h"
#include "model/AppModel.h"
#include "support/BackendFixture.h"
#include "support/FakeHttpServer.h"
#include "support/desk/BackendSession.h"
#include "support/desk/Gestures.h"
#include "ui/GreetwellApp.h"
#include "ui/MainWindow.h"
#include "ui/SettingsView.h"

#include <QAbstractButton>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

// The whole application with its settings window open, signed in to a fresh account on
// the local backend, or against `fake` (signed out, or with a made-up session).
// Preferences go to a throwaway file.
struct SettingsHarness {
    std::optional<BackendInfo> backend = BackendInfo::load();
    FakeHttpServer fake; // stands in for the backend when there is no account
    TestAccount account;
    QTemporaryDir dir;
    QSettings preferences{dir.filePath("preferences.ini"), QSettings::IniFormat};
    std::shared_ptr<SessionStore> store = std::make_shared<MemorySessionStore>();
    std::unique_ptr<GreetwellApp> app;

    CloudClient::Config config() const {
        if (!backend)
            return {fake.url(), fake.url(), "sb_publishable_fake-key-0123456789abcdef012"};
        return configOf(*backend);
    }
    // A new account, whose session the store hands to the app at launch.
    void createAccount() {
        account = createTestAccount(*backend);
        store->save(sessionOf(account));
    }
    // A session the fake server is asked to honour; its reads answer empty lists.
    void fakeSession() {
        backend.reset();
        fake.setHandler([](const FakeHttpServer::Request &r) {
            return r.method == "GET" ? FakeHttpServer::Reply::json(200, "[]")
                                     : FakeHttpServer::Reply::json(200, "{}");
        });
        store->save(CloudSession{"access-token", "refresh-token",
                                 QDateTime::currentDateTimeUtc().addSecs(3600),
                                 QUuid::createUuid(), "desk@example.com"});
    }
    // Starts the app and opens the settings on `tab`.
    void launch(const QString &tab = QStringLiteral("Account")) {
        app = std::make_unique<GreetwellApp>(store, &preferences, config());
        app->show();
        app->showSettings();
        for (int i = 0; i < settings()->tabs()->count(); ++i)
            if (settings()->tabs()->tabText(i) == tab)
                settings()->tabs()->setCurrentIndex(i);
    }

    SettingsView *settings() const { return app->settingsWindow(); }
    AppModel *model() const { return app->model(); }
    template <typename T = QWidget> T *find(const QString &name) const {
        return settings()->findChild<T *>(name);
    }
    QLabel *label(const QString &name) const { return find<QLabel>(name); }
    QAbstractButton *button(const QString &name) const { return find<QAbstractButton>(name); }
    QLineEdit *field(const QString &name) const { return find<QLineEdit>(name); }
    // What the backend holds for this account in `table` (the one row, or an empty object).
    QJsonObject storedRow(const QString &table) const {
        const HttpReply reply = rest(*backend, app->cloud()->session()->accessToken, "GET",
                                     table + "?select=*");
        return reply.json().array().isEmpty() ? QJsonObject()
                                               : reply.json().array().first().toObject();
    }
};

// Shown to a person looking at the settings window (not just not hidden itself).
inline bool shown(const QWidget *widget) {
    return widget && widget->isVisibleTo(widget->window());
}
