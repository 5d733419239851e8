#pragma once

#include "cloud/CloudClient.h"

#include <QObject>
#include <QPointer>
#include <memory>
#include <optional>

class AppModel;
class BadgePrinter;
class MainWindow;
class QNetworkAccessManager;
class QSettings;
class QWidget;
class SessionStore;
class SettingsView;

// Owns what lives for the whole run, created in this order: the HTTP session, the
// backend client on the keychain store (which restores a stored session at once), the
// badge printer on the user preferences, the model, then the windows.
class GreetwellApp : public QObject {
    Q_OBJECT
public:
    // `store` defaults to the keychain item "<desktop file name>.session" / "session",
    // `preferences` to the user's "Greetwell" settings, `config` to this build's servers.
    explicit GreetwellApp(std::shared_ptr<SessionStore> store = {},
                          QSettings *preferences = nullptr,
                          std::optional<CloudClient::Config> config = {},
                          QObject *parent = nullptr);
    ~GreetwellApp() override;

    CloudClient *cloud() const { return m_cloud; }
    BadgePrinter *printer() const { return m_printer; }
    AppModel *model() const { return m_model; }
    MainWindow *mainWindow() const { return m_window.get(); }
    // The open settings window, if any.
    SettingsView *settingsWindow() const;

    void show();
    void showSettings();
    // Another launch asked for this desk: bring its window to the front.
    void raiseMainWindow();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QSettings *m_preferences;
    QNetworkAccessManager *m_network;
    CloudClient *m_cloud;
    BadgePrinter *m_printer;
    AppModel *m_model;
    std::unique_ptr<MainWindow> m_window;
    QPointer<SettingsView> m_settingsWindow;
};
