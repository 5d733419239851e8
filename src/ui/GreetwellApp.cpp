#include "GreetwellApp.h"

#include "MainWindow.h"
#include "Style.h"
#include "badge/BadgePrinter.h"
#include "cloud/CloudClient.h"
#include "cloud/KeychainSessionStore.h"
#include "model/AppModel.h"

#include <QApplication>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QVBoxLayout>

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

void GreetwellApp::showSettings() {
    if (!m_settingsWindow) {
        // The settings tabs are not part of this build yet: an empty window keeps its place.
        auto *window = new QWidget(nullptr, Qt::Window);
        window->setObjectName(QStringLiteral("settingsWindow"));
        window->setWindowTitle(QStringLiteral("Settings"));
        window->setAttribute(Qt::WA_DeleteOnClose);
        auto *layout = new QVBoxLayout(window);
        layout->setContentsMargins(24, 24, 24, 24);
        auto *title = new QLabel(QStringLiteral("Settings"), window);
        Style::setText(title, Style::Text::title2);
        layout->addWidget(title);
        layout->addStretch(1);
        window->resize(560, 420);
        m_settingsWindow = window;
    }
    m_settingsWindow->show();
    m_settingsWindow->raise();
    m_settingsWindow->activateWindow();
}
