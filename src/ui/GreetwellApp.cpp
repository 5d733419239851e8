#include "GreetwellApp.h"

#include "MainWindow.h"
#include "SettingsView.h"
#include "badge/BadgePrinter.h"
#include "cloud/CloudClient.h"
#include "cloud/KeychainSessionStore.h"
#include "model/AppModel.h"

#include <QApplication>
#include <QEvent>
#include <QNetworkAccessManager>
#include <QSettings>

GreetwellApp::GreetwellApp(std::shared_ptr<SessionStore> store, QSettings *preferences,
                           std::optional<CloudClient::Config> config, QObject *parent)
    : QObject(parent) {
    m_preferences =
        preferences ? preferences
                    : new QSettings(QStringLiteral("Greetwell"), QStringLiteral("Greetwell"), this);
    m_network = new QNetworkAccessManager(this);
    if (!store)
        store = std::make_shared<KeychainSessionStore>();
    // Restores a stored session at once, so the first window already knows.
    m_cloud = new CloudClient(m_network, std::move(store),
                              config.value_or(CloudClient::Config::fromBuild()), this);
    m_printer = new BadgePrinter(m_preferences, this);
    m_model = new AppModel(m_cloud, m_printer, m_preferences, this);
    m_window = std::make_unique<MainWindow>(m_model, m_preferences);
    connect(m_window.get(), &MainWindow::settingsRequested, this, &GreetwellApp::showSettings);
    // Quitting stops the poll and aborts what is in flight rather than waiting for it.
    connect(qApp, &QCoreApplication::aboutToQuit, m_model, &AppModel::reset);
    m_window->installEventFilter(this);
}

bool GreetwellApp::eventFilter(QObject *watched, QEvent *event) {
    // The settings belong to the main window: closing it closes them, so the
    // application quits as it would with the main window alone.
    if (watched == m_window.get() && event->type() == QEvent::Close && m_settingsWindow)
        m_settingsWindow->close();
    return QObject::eventFilter(watched, event);
}

GreetwellApp::~GreetwellApp() {
    // Windows first: their screens still hold the model.
    delete m_settingsWindow;
    m_window.reset();
}

void GreetwellApp::show() {
    m_window->resize(1024, 680);
    m_window->show();
}

void GreetwellApp::raiseMainWindow() {
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

SettingsView *GreetwellApp::settingsWindow() const {
    return m_settingsWindow;
}

void GreetwellApp::showSettings() {
    if (!m_settingsWindow) {
        m_settingsWindow = new SettingsView(m_model, m_preferences);
        m_settingsWindow->setAttribute(Qt::WA_DeleteOnClose);
        // Never what keeps the application running.
        m_settingsWindow->setAttribute(Qt::WA_QuitOnClose, false);
        // Over the middle of the main window rather than wherever the desktop puts it.
        const QRect main = m_window->frameGeometry();
        m_settingsWindow->move(main.center().x() - m_settingsWindow->width() / 2, main.top() + 60);
    }
    m_settingsWindow->show();
    m_settingsWindow->raise();
    m_settingsWindow->activateWindow();
}
