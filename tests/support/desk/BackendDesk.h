#pragma once

// The whole desk application on the local backend, signed in to a fresh account.

#include "model/AppModel.h"
#include "support/desk/BackendSession.h"
#include "ui/ContentView.h"
#include "ui/DeskView.h"
#include "ui/GreetwellApp.h"
#include "ui/MainWindow.h"

#include <QSettings>
#include <QTemporaryDir>
#include <memory>
#include <optional>

// A fresh account and the whole desk application signed in to it, with its preferences
// in a throwaway file and its session in memory.
struct BackendDesk {
    BackendInfo info;
    TestAccount account;
    QTemporaryDir dir;
    QSettings preferences{dir.filePath("preferences.ini"), QSettings::IniFormat};
    std::shared_ptr<MemorySessionStore> store = std::make_shared<MemorySessionStore>();
    std::unique_ptr<GreetwellApp> app;

    explicit BackendDesk(BackendInfo backend)
        : info(std::move(backend)), account(createTestAccount(info)) {
        store->stored = sessionOf(account);
    }

    // Starts the application, its clock pinned to `clock` when one is given.
    void start(const std::optional<Clock> &clock = {}) {
        app = std::make_unique<GreetwellApp>(store, &preferences, configOf(info));
        if (clock)
            app->model()->setClock(*clock);
        app->show();
    }

    AppModel *model() const { return app->model(); }
    DeskView *desk() const { return app->mainWindow()->contentView()->deskView(); }
};
