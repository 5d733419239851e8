#pragma once

#include <QPointer>
#include <QWidget>
#include <optional>
#include <qcoro/qcorotask.h>

class AppModel;
class CloudClient;
class QMessageBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedLayout;

// The Account tab: who is signed in, the web dashboard, signing out, a new password and
// deleting the account. Signed out, it only points back to the main window.
class AccountSettings : public QWidget {
    Q_OBJECT
public:
    static constexpr int minimumPasswordLength = 8;

    explicit AccountSettings(CloudClient *cloud, QWidget *parent = nullptr);
    // Where sign-ins kept on this computer are counted, so signing out with some waiting
    // asks first.
    void setQueueModel(AppModel *model);

    const std::optional<QString> &message() const { return m_message; }
    bool isChangingPassword() const { return m_isChangingPassword; }
    bool isDeleting() const { return m_isDeleting; }

public slots:
    void changePassword();
    // Asks first; deletes only when the person confirms.
    void confirmDeleteAccount();
    // Signs out at once, or asks first while changes wait on this computer.
    void requestSignOut();

private:
    QCoro::Task<> runChangePassword(QString password);
    QCoro::Task<> runDeleteAccount();
    void onSessionChanged();
    void setMessage(std::optional<QString> text, bool isError);
    void updateControls();

    QPointer<CloudClient> m_cloud;
    QPointer<AppModel> m_queueModel;
    QPointer<QMessageBox> m_signOutConfirmation;
    std::optional<QString> m_message;
    bool m_isChangingPassword = false;
    bool m_isDeleting = false;

    QStackedLayout *m_pages;
    QWidget *m_signedOut;
    QLabel *m_signedOutText;
    QWidget *m_signedIn;
    QLabel *m_email;
    QLineEdit *m_password;
    QPushButton *m_changePassword;
    QPushButton *m_signOut;
    QPushButton *m_delete;
    QLabel *m_messageLabel;
};
