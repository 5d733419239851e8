#include "MainWindow.h"

#include "ContentView.h"
#include "DeskView.h"
#include "Icons.h"
#include "ProblemAlert.h"
#include "RollCall.h"
#include "badge/BadgePrinter.h"
#include "cloud/CloudClient.h"
#include "model/AppModel.h"

#include <BuildConfig.h>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMenuBar>
#include <QMessageBox>
#include <QStandardPaths>

MainWindow::MainWindow(AppModel *model, QSettings *preferences, QWidget *parent)
    : QMainWindow(parent), m_model(model) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Greetwell"));
    setWindowIcon(Icons::appIcon());

    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    m_signInVisitor = file->addAction(QStringLiteral("Sign &In Visitor…"));
    m_signInVisitor->setObjectName(QStringLiteral("signInVisitorMenuAction"));
    m_signInVisitor->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    connect(m_signInVisitor, &QAction::triggered, this, [this] {
        if (m_model)
            m_model->setSigningIn(true);
    });
    m_newInvite = file->addAction(QStringLiteral("&New Invite…"));
    m_newInvite->setObjectName(QStringLiteral("newInviteMenuAction"));
    m_newInvite->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_I));
    connect(m_newInvite, &QAction::triggered, this, [this] {
        if (m_model)
            m_model->setInviting(true);
    });
    file->addSeparator();
    m_printRollCall = file->addAction(QStringLiteral("Print &Roll Call…"));
    m_printRollCall->setObjectName(QStringLiteral("printRollCallMenuAction"));
    m_printRollCall->setShortcut(QKeySequence::Print);
    connect(m_printRollCall, &QAction::triggered, this, &MainWindow::printRollCallNow);
    m_exportRollCall = file->addAction(QStringLiteral("&Export Roll Call as PDF…"));
    m_exportRollCall->setObjectName(QStringLiteral("exportRollCallMenuAction"));
    connect(m_exportRollCall, &QAction::triggered, this, &MainWindow::exportRollCallNow);
    file->addSeparator();
    QAction *settings = file->addAction(QStringLiteral("&Settings…"));
    settings->setObjectName(QStringLiteral("settingsMenuAction"));
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settings->setMenuRole(QAction::PreferencesRole);
    connect(settings, &QAction::triggered, this, &MainWindow::settingsRequested);
    file->addSeparator();
    QAction *quit = file->addAction(QStringLiteral("&Quit"));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, qApp, &QApplication::quit);

    QMenu *view = menuBar()->addMenu(QStringLiteral("&View"));
    m_refresh = view->addAction(QStringLiteral("&Refresh"));
    m_refresh->setObjectName(QStringLiteral("refreshMenuAction"));
    m_refresh->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    // Each press starts its own refresh; overlapping runs are the model's concern.
    connect(m_refresh, &QAction::triggered, this, [this] { refreshNow(); });
    view->addSeparator();
    // The same toggle as the toolbar's sidebar button: the list narrows to its icons.
    m_toggleSidebar = view->addAction(QString());
    m_toggleSidebar->setObjectName(QStringLiteral("toggleSidebarMenuAction"));
    m_toggleSidebar->setShortcut(QKeySequence(Qt::Key_F9));
    connect(m_toggleSidebar, &QAction::triggered, this, [this] {
        if (DeskView *desk = m_content->deskView())
            desk->toggleSidebar();
    });

    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    const QList<std::pair<QString, QString>> pages{
        {QStringLiteral("Greetwell &Support"), QStringLiteral("support")},
        {QStringLiteral("&Host Notifications Guide"), QStringLiteral("guides/host-notifications")},
        {QStringLiteral("&Privacy Policy"), QStringLiteral("privacy")},
    };
    for (const auto &[title, path] : pages)
        connect(help->addAction(title), &QAction::triggered, this,
                [this, path = path] { openWebsite(path); });
    help->addSeparator();
    QAction *about = help->addAction(QStringLiteral("&About Greetwell"));
    about->setObjectName(QStringLiteral("aboutMenuAction"));
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, &MainWindow::showAbout);

    m_content = new ContentView(model, preferences, this);
    // The smallest size the screens are laid out for; the menu bar comes on top.
    m_content->setMinimumSize(860, 560);
    setCentralWidget(m_content);
    connect(m_content, &ContentView::titleChanged, this, &QWidget::setWindowTitle);
    connect(m_content, &ContentView::deskChanged, this, &MainWindow::watchDesk);
    watchDesk(m_content->deskView());
    setWindowTitle(m_content->title());

    connect(m_model->cloud(), &CloudClient::sessionChanged, this, &MainWindow::updateActions);
    updateActions();
}

QString MainWindow::aboutText() const {
    const QString backend =
        m_model ? m_model->cloud()->config().backendBaseURL.toString() : QString();
    return QStringLiteral("Greetwell %1\n\nReception-desk software: sign visitors in, print "
                          "their badges and tell their hosts.\n\nBackend: %2")
        .arg(QString::fromLatin1(BuildConfig::version), backend);
}

void MainWindow::printRollCallNow() {
    if (!m_model)
        return;
    const QString problem =
        printRollCall(RollCall::fromModel(*m_model), m_model->printer()->printerName());
    if (!problem.isEmpty())
        makeErrorAlert(this, problem)->open();
}

void MainWindow::exportRollCallNow() {
    if (!m_model)
        return;
    // Taken now: the list the person asked for, not the one after the dialog.
    const RollCall rollCall = RollCall::fromModel(*m_model);
    const QString proposed =
        QStringLiteral("Roll Call ") +
        rollCall.clock.now().toTimeZone(rollCall.clock.zone).date().toString(Qt::ISODate) +
        QStringLiteral(".pdf");
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Export Roll Call"),
        QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
            .filePath(proposed),
        QStringLiteral("PDF document (*.pdf)"));
    if (path.isEmpty())
        return;
    if (const QString problem = writeRollCallPDF(rollCall, path); !problem.isEmpty())
        makeErrorAlert(this, problem)->open();
}

void MainWindow::showAbout() {
    QMessageBox::about(this, QStringLiteral("About Greetwell"), aboutText());
}

void MainWindow::watchDesk(DeskView *desk) {
    if (desk)
        connect(desk, &DeskView::sidebarCollapsedChanged, this, &MainWindow::updateActions);
    updateActions();
}

void MainWindow::updateActions() {
    const bool signedIn = m_model && m_model->cloud()->isSignedIn();
    for (QAction *action :
         {m_signInVisitor, m_newInvite, m_refresh, m_printRollCall, m_exportRollCall})
        action->setEnabled(signedIn);
    const DeskView *desk = m_content ? m_content->deskView() : nullptr;
    m_toggleSidebar->setEnabled(desk != nullptr);
    m_toggleSidebar->setText(desk && desk->isSidebarCollapsed()
                                 ? QStringLiteral("&Expand Sidebar")
                                 : QStringLiteral("&Collapse Sidebar"));
}

void MainWindow::openWebsite(const QString &path) {
    if (m_model)
        QDesktopServices::openUrl(m_model->cloud()->websiteURL(path));
}

QCoro::Task<> MainWindow::refreshNow() {
    QPointer<AppModel> model = m_model;
    if (!model)
        co_return;
    try {
        // Failures land in the model's error banner.
        co_await model->refresh();
    } catch (...) {
    }
}
