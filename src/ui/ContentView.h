#pragma once

#include <QPointer>
#include <QUuid>
#include <QWidget>
#include <optional>

class AppModel;
class AuthView;
class DeskView;
class QLabel;
class QSettings;

// What the window and the Account tab say while the saved sign-in is being read.
QString openingSavedSignInText();

// The main window's root: the account screen while there is no session, the desk
// while there is one, and a line saying so while the saved sign-in is still being read. It also
// runs the model's lifecycle step whenever the signed-in user changes (sign-in, sign-out, another
// account), and when the window first shows.
class ContentView : public QWidget {
    Q_OBJECT
public:
    ContentView(AppModel *model, QSettings *preferences, QWidget *parent = nullptr);

    AuthView *authView() const;
    DeskView *deskView() const;
    // "Today — Greetwell" while the desk shows a section, "Greetwell" otherwise.
    QString title() const;

signals:
    void titleChanged(const QString &title);
    // The desk appeared or went (sign-in, sign-out).
    void deskChanged(DeskView *desk);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void onSessionChanged();
    void updateGate();
    void runLifecycle();

    QPointer<AppModel> m_model;
    QSettings *m_preferences;
    QPointer<AuthView> m_auth;
    QPointer<DeskView> m_desk;
    QPointer<QLabel> m_opening;
    // The user the lifecycle last ran for; empty until it first runs.
    std::optional<std::optional<QUuid>> m_lifecycleKey;
};
