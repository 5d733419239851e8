#include "AccountSettings.h"

#include "CaughtError.h"
#include "ContentView.h"
#include "ProblemAlert.h"
#include "SettingsSection.h"
#include "Style.h"
#include "cloud/CloudClient.h"
#include "model/AppModel.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedLayout>
#include <QVBoxLayout>

namespace {
const QString deleteQuestion =
    QStringLiteral("Delete this account and all of its online data? This can't be undone.");
const QString deleteCaption = QStringLiteral("Removes the account and all of its online visitors, "
                                             "invites and setup. iPads keep their own logs.");

void makeDestructive(QPushButton *button) {
    QPalette p = button->palette();
    p.setColor(QPalette::ButtonText, Style::errorColor(p));
    button->setPalette(p);
}
} // namespace

AccountSettings::AccountSettings(CloudClient *cloud, QWidget *parent)
    : QWidget(parent), m_cloud(cloud) {
    setObjectName(QStringLiteral("accountSettings"));
    m_pages = new QStackedLayout(this);

    m_signedOut = new QWidget(this);
    {
        auto *layout = settingsTabLayout(m_signedOut);
        auto *text = new QLabel(m_signedOut);
        m_signedOutText = text;
        text->setObjectName(QStringLiteral("signedOutText"));
        text->setAlignment(Qt::AlignCenter);
        Style::setSecondary(text);
        layout->addWidget(text, 1);
    }
    m_pages->addWidget(m_signedOut);

    m_signedIn = new QWidget(this);
    auto *layout = settingsTabLayout(m_signedIn);

    auto *account = new SettingsSection(QStringLiteral("Signed in as"), m_signedIn);
    m_email = new QLabel(account->box());
    m_email->setObjectName(QStringLiteral("accountEmail"));
    m_email->setTextInteractionFlags(Qt::TextSelectableByMouse);
    account->form()->addRow(QStringLiteral("Email"), m_email);
    auto *dashboard = new QLabel(account->box());
    dashboard->setObjectName(QStringLiteral("dashboardLink"));
    dashboard->setText(QStringLiteral("<a href=\"%1\">Open Web Dashboard</a>")
                           .arg(cloud->websiteURL(QStringLiteral("dashboard"))
                                    .toString(QUrl::FullyEncoded)
                                    .toHtmlEscaped()));
    dashboard->setTextFormat(Qt::RichText);
    dashboard->setOpenExternalLinks(true);
    m_signOut = new QPushButton(QStringLiteral("Sign Out"), account->box());
    m_signOut->setObjectName(QStringLiteral("signOutButton"));
    m_signOut->setAutoDefault(false);
    connect(m_signOut, &QPushButton::clicked, this, &AccountSettings::requestSignOut);
    account->form()->addRow(dashboard, m_signOut);
    account->form()->setAlignment(m_signOut, Qt::AlignRight);
    layout->addWidget(account);

    auto *password = new SettingsSection(QStringLiteral("Password"), m_signedIn);
    m_password = new QLineEdit(password->box());
    m_password->setObjectName(QStringLiteral("newPasswordField"));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setPlaceholderText(QStringLiteral("At least 8 characters"));
    m_password->setInputMethodHints(Qt::ImhSensitiveData | Qt::ImhNoPredictiveText |
                                    Qt::ImhNoAutoUppercase | Qt::ImhHiddenText);
    password->form()->addRow(QStringLiteral("New password"), m_password);
    m_changePassword = new QPushButton(QStringLiteral("Change Password"), password->box());
    m_changePassword->setObjectName(QStringLiteral("changePasswordButton"));
    m_changePassword->setAutoDefault(false);
    password->form()->addRow(QString(), m_changePassword);
    password->form()->setAlignment(m_changePassword, Qt::AlignRight);
    connect(m_password, &QLineEdit::textChanged, this, &AccountSettings::updateControls);
    connect(m_password, &QLineEdit::returnPressed, this, &AccountSettings::changePassword);
    connect(m_changePassword, &QPushButton::clicked, this, &AccountSettings::changePassword);
    layout->addWidget(password);

    auto *danger = new SettingsSection(QStringLiteral("Danger zone"), m_signedIn);
    m_delete = new QPushButton(QStringLiteral("Delete Account…"), danger->box());
    m_delete->setObjectName(QStringLiteral("deleteAccountButton"));
    m_delete->setAutoDefault(false);
    makeDestructive(m_delete);
    connect(m_delete, &QPushButton::clicked, this, &AccountSettings::confirmDeleteAccount);
    danger->form()->addRow(m_delete);
    danger->form()->setAlignment(m_delete, Qt::AlignLeft);
    auto *caption = new QLabel(deleteCaption, danger->box());
    caption->setObjectName(QStringLiteral("deleteAccountCaption"));
    caption->setWordWrap(true);
    Style::setText(caption, Style::Text::caption);
    Style::setSecondary(caption);
    danger->form()->addRow(caption);
    layout->addWidget(danger);

    m_messageLabel = new QLabel(m_signedIn);
    m_messageLabel->setObjectName(QStringLiteral("accountMessage"));
    m_messageLabel->setWordWrap(true);
    Style::setText(m_messageLabel, Style::Text::callout);
    layout->addWidget(m_messageLabel);
    layout->addStretch(1);
    m_pages->addWidget(m_signedIn);

    connect(cloud, &CloudClient::sessionChanged, this, &AccountSettings::onSessionChanged);
    connect(cloud, &CloudClient::restoringChanged, this, &AccountSettings::onSessionChanged);
    onSessionChanged();
    setMessage(std::nullopt, false);
}

void AccountSettings::onSessionChanged() {
    const bool signedIn = m_cloud && m_cloud->isSignedIn();
    if (!signedIn) {
        // Nothing typed for one account carries over to the next.
        m_password->clear();
        setMessage(std::nullopt, false);
    }
    m_email->setText(signedIn ? m_cloud->session()->email : QString());
    m_signedOutText->setText(m_cloud && m_cloud->isRestoring()
                                 ? openingSavedSignInText()
                                 : QStringLiteral("Sign in from the main window."));
    m_pages->setCurrentWidget(signedIn ? m_signedIn : m_signedOut);
    updateControls();
}

void AccountSettings::setMessage(std::optional<QString> text, bool isError) {
    m_message = std::move(text);
    showSettingsMessage(m_messageLabel, m_message, isError);
}

void AccountSettings::updateControls() {
    const bool busy = m_isChangingPassword || m_isDeleting;
    m_changePassword->setEnabled(!m_isChangingPassword && !m_isDeleting &&
                                 m_password->text().size() >= minimumPasswordLength);
    m_delete->setEnabled(!busy);
    m_signOut->setEnabled(!m_isDeleting);
}

void AccountSettings::changePassword() {
    if (!m_changePassword->isEnabled() || !m_cloud)
        return;
    m_isChangingPassword = true;
    setMessage(std::nullopt, false);
    updateControls();
    runChangePassword(m_password->text());
}

QCoro::Task<> AccountSettings::runChangePassword(QString password) {
    QPointer<AccountSettings> self(this);
    std::optional<QString> failure;
    try {
        co_await m_cloud->changePassword(password);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    m_isChangingPassword = false;
    if (failure) {
        setMessage(failure, true);
    } else {
        m_password->clear();
        setMessage(QStringLiteral("Password changed."), false);
    }
    updateControls();
}

void AccountSettings::confirmDeleteAccount() {
    if (m_isDeleting || !m_cloud || !m_cloud->isSignedIn())
        return;
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Delete Account"),
                                deleteQuestion, QMessageBox::Cancel, this);
    box->setObjectName(QStringLiteral("deleteAccountConfirmation"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *confirm =
        box->addButton(QStringLiteral("Delete Account"), QMessageBox::DestructiveRole);
    confirm->setObjectName(QStringLiteral("confirmDeleteButton"));
    makeDestructive(confirm);
    box->setDefaultButton(QMessageBox::Cancel);
    connect(confirm, &QPushButton::clicked, this, [this] {
        if (m_isDeleting || !m_cloud || !m_cloud->isSignedIn())
            return;
        m_isDeleting = true;
        setMessage(std::nullopt, false);
        updateControls();
        runDeleteAccount();
    });
    box->open();
}

QCoro::Task<> AccountSettings::runDeleteAccount() {
    QPointer<AccountSettings> self(this);
    std::optional<QString> failure;
    try {
        co_await m_cloud->deleteAccount();
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    m_isDeleting = false;
    // On success the session has ended and the signed-out text shows.
    if (failure)
        setMessage(failure, true);
    updateControls();
}

void AccountSettings::setQueueModel(AppModel *model) {
    m_queueModel = model;
}

void AccountSettings::requestSignOut() {
    if (!m_cloud || m_signOutConfirmation)
        return;
    const qsizetype waiting = m_queueModel ? m_queueModel->queuedChanges().size() : 0;
    if (waiting == 0) {
        m_cloud->signOut();
        return;
    }
    m_signOutConfirmation = askToConfirm(
        this, QStringLiteral("signOutWaitingConfirmation"), QStringLiteral("Sign Out"),
        waiting == 1 ? QStringLiteral("1 sign-in or sign-out has not reached the server yet.")
                     : QStringLiteral("%1 sign-ins and sign-outs have not reached the server yet.")
                           .arg(waiting),
        QStringLiteral("They stay on this computer and sync the next time you sign in to this "
                       "account here. Sign out anyway?"),
        QStringLiteral("Sign Out"), QStringLiteral("confirmSignOutButton"), [this] {
            if (m_cloud)
                m_cloud->signOut();
        });
}
