#pragma once

#include "records/Records.h"

#include <QPointer>
#include <QWidget>
#include <optional>
#include <qcoro/qcorotask.h>

class AppModel;
class QLabel;
class QLineEdit;
class QPushButton;
class QSettings;
class SettingsSwitch;

// The Alerts tab: the office webhook and when hosts are told, edited as a copy of the
// model's notification settings; a test message tries the address as typed.
class AlertSettings : public QWidget {
    Q_OBJECT
public:
    // `preferences` records the test message's outcome like any delivery's.
    AlertSettings(AppModel *model, QSettings *preferences, QWidget *parent = nullptr);

    const NotificationSettings &draft() const { return m_draft; }
    bool isTesting() const { return m_isTesting; }
    const std::optional<QString> &message() const { return m_message; }
    // Empty, or accepted as a webhook address.
    bool isOfficeWebhookAcceptable() const;
    bool canSave() const;
    bool canTest() const;

public slots:
    // Replaces the draft with the model's settings.
    void load();
    void save();
    void sendTestMessage();

private:
    QCoro::Task<> runSave(NotificationSettings settings);
    QCoro::Task<> runTest(QUrl url);
    void showDraft();
    void setMessage(std::optional<QString> text, bool isError);
    void updateControls();

    QPointer<AppModel> m_model;
    QPointer<QSettings> m_preferences;
    NotificationSettings m_draft;
    bool m_isTesting = false;
    std::optional<QString> m_message;

    QLineEdit *m_webhook;
    QLabel *m_serviceLabel;
    QLabel *m_service;
    QLabel *m_webhookProblem;
    SettingsSwitch *m_notifySignIn;
    SettingsSwitch *m_notifySignOut;
    QPushButton *m_save;
    QPushButton *m_test;
    QLabel *m_messageLabel;
};
