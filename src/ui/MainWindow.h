#pragma once

#include <QMainWindow>
#include <QPointer>
#include <qcoro/qcorotask.h>

class AppModel;
class ContentView;
class DeskView;
class QAction;
class QSettings;

// The desk's single main window, "Greetwell", with its menu bar. The content is the
// account/desk gate.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(AppModel *model, QSettings *preferences, QWidget *parent = nullptr);

    ContentView *contentView() const { return m_content; }
    QAction *signInVisitorAction() const { return m_signInVisitor; }
    QAction *newInviteAction() const { return m_newInvite; }
    QAction *refreshAction() const { return m_refresh; }
    QAction *toggleSidebarAction() const { return m_toggleSidebar; }
    QAction *printRollCallAction() const { return m_printRollCall; }
    // Version, what the program is for, and the backend this build talks to.
    QString aboutText() const;

signals:
    void settingsRequested();

private:
    QCoro::Task<> refreshNow();
    void openWebsite(const QString &path);
    void updateActions();
    void showAbout();
    void printRollCallNow();
    void exportRollCallNow();
    void watchDesk(DeskView *desk);

    QPointer<AppModel> m_model;
    ContentView *m_content = nullptr;
    QAction *m_signInVisitor;
    QAction *m_newInvite;
    QAction *m_refresh;
    QAction *m_toggleSidebar;
    QAction *m_printRollCall;
    QAction *m_exportRollCall;
};
