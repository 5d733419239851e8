#pragma once

#include <QPointer>
#include <QWidget>
#include <optional>
#include <qcoro/qcorotask.h>

class BusyIndicator;
class CloudClient;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;

// The account screen shown while there is no session: sign in, create an account or
// ask for a password-reset mail. Once the client holds a session the window switches
// to the desk by itself, so this screen never navigates.
class AuthView : public QWidget {
    Q_OBJECT
public:
    enum class Mode { signIn, create };

    explicit AuthView(CloudClient *cloud, QWidget *parent = nullptr);

    static QString modeLabel(Mode mode);
    // Trimmed, then one or more non-space non-"@" characters, "@", the same, a dot, the same.
    static bool isValidEmail(const QString &email);

    Mode mode() const { return m_mode; }
    bool isWorking() const { return m_isWorking; }
    const std::optional<QString> &message() const { return m_message; }
    bool isError() const { return m_isError; }
    bool canSubmit() const;

public slots:
    // The user's choice of mode; clears the message, keeps what was typed.
    void chooseMode(AuthView::Mode mode);
    void submit();
    void forgotPassword();

protected:
    void focusInEvent(QFocusEvent *event) override;

private:
    QCoro::Task<> runSignIn(QString email, QString password);
    QCoro::Task<> runCreateAccount(QString name, QString email, QString password);
    QCoro::Task<> runPasswordReset(QString email);
    void begin();
    void fail(const QString &text);
    void setMode(Mode mode);
    void setWorking(bool working);
    void setMessage(std::optional<QString> text, bool isError);
    void updateControls();

    QPointer<CloudClient> m_cloud;
    Mode m_mode = Mode::signIn;
    bool m_isWorking = false;
    std::optional<QString> m_message;
    bool m_isError = false;

    QFormLayout *m_form;
    QPushButton *m_signInMode;
    QPushButton *m_createMode;
    QLabel *m_nameLabel;
    QLineEdit *m_name;
    QLineEdit *m_email;
    QLineEdit *m_password;
    QLabel *m_passwordHint;
    QLabel *m_messageLabel;
    QPushButton *m_forgot;
    BusyIndicator *m_busy;
    QPushButton *m_submit;
};
