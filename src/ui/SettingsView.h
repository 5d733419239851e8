#pragma once

#include <QWidget>

class AccountSettings;
class AlertSettings;
class AppModel;
class BadgeSettings;
class FormSettings;
class QSettings;
class QTabWidget;

// The settings window: Account, Form, Badges and Alerts tabs, 560 wide. Escape and
// Ctrl+W close it.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    static constexpr int contentWidth = 560;
    static constexpr int minimumContentHeight = 400;

    // `preferences` is where the test message's outcome is recorded.
    SettingsView(AppModel *model, QSettings *preferences, QWidget *parent = nullptr);

    QTabWidget *tabs() const { return m_tabs; }
    AccountSettings *account() const { return m_account; }
    FormSettings *form() const { return m_form; }
    BadgeSettings *badges() const { return m_badges; }
    AlertSettings *alerts() const { return m_alerts; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void fitCurrentTab();

    QTabWidget *m_tabs;
    AccountSettings *m_account;
    FormSettings *m_form;
    BadgeSettings *m_badges;
    AlertSettings *m_alerts;
};
