#include "AlertSettings.h"

#include "CaughtError.h"
#include "SettingsSection.h"
#include "Style.h"
#include "cloud/CloudClient.h"
#include "model/AppModel.h"
#include "notify/VisitorAlert.h"
#include "notify/WebhookDelivery.h"
#include "notify/WebhookService.h"

#include <QDesktopServices>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

AlertSettings::AlertSettings(AppModel *model, QSettings *preferences, QWidget *parent)
    : QWidget(parent), m_model(model), m_preferences(preferences) {
    setObjectName(QStringLiteral("alertSettings"));
    auto *layout = settingsTabLayout(this);

    auto *settings = new SettingsSection(QString(), this);
    QFormLayout *form = settings->form();
    m_webhook = new QLineEdit(settings->box());
    m_webhook->setObjectName(QStringLiteral("officeWebhookField"));
    m_webhook->setPlaceholderText(QStringLiteral("https://hooks.slack.com/services/…"));
    m_webhook->setInputMethodHints(Qt::ImhUrlCharactersOnly | Qt::ImhNoAutoUppercase |
                                   Qt::ImhNoPredictiveText);
    form->addRow(QStringLiteral("Office webhook"), m_webhook);
    m_serviceLabel = new QLabel(QStringLiteral("Service"), settings->box());
    m_service = new QLabel(settings->box());
    m_service->setObjectName(QStringLiteral("webhookService"));
    form->addRow(m_serviceLabel, m_service);
    m_webhookProblem =
        new QLabel(QStringLiteral("Webhook addresses start with https://"), settings->box());
    m_webhookProblem->setObjectName(QStringLiteral("webhookProblem"));
    Style::setText(m_webhookProblem, Style::Text::caption);
    Style::setForeground(m_webhookProblem, Style::errorColor(palette()));
    form->addRow(QString(), m_webhookProblem);
    m_notifySignIn =
        new SettingsSwitch(QStringLiteral("Alert when a visitor signs in"), settings->box());
    m_notifySignIn->setObjectName(QStringLiteral("notifySignInSwitch"));
    form->addRow(m_notifySignIn);
    m_notifySignOut =
        new SettingsSwitch(QStringLiteral("Alert when a visitor signs out"), settings->box());
    m_notifySignOut->setObjectName(QStringLiteral("notifySignOutSwitch"));
    form->addRow(m_notifySignOut);
    settings->setFooter(QStringLiteral(
        "Saved to your account and shared with your iPads. Anyone who has a webhook address "
        "can post to that channel, so treat it like a password."));
    layout->addWidget(settings);

    auto *actions = new SettingsSection(QString(), this);
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    m_save = new QPushButton(QStringLiteral("Save"), actions->box());
    m_save->setObjectName(QStringLiteral("saveAlertsButton"));
    m_test = new QPushButton(QStringLiteral("Send Test Message"), actions->box());
    m_test->setObjectName(QStringLiteral("sendTestMessageButton"));
    auto *guide = new QPushButton(QStringLiteral("Setup Guide"), actions->box());
    guide->setObjectName(QStringLiteral("setupGuideButton"));
    for (QPushButton *button : {m_save, m_test, guide}) {
        button->setAutoDefault(false);
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    actions->form()->addRow(buttons);
    m_messageLabel = new QLabel(actions->box());
    m_messageLabel->setObjectName(QStringLiteral("alertsMessage"));
    m_messageLabel->setWordWrap(true);
    Style::setText(m_messageLabel, Style::Text::callout);
    actions->form()->addRow(m_messageLabel);
    layout->addWidget(actions);
    layout->addStretch(1);

    connect(m_webhook, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_draft.officeWebhook = text;
        showDraft();
    });
    connect(m_notifySignIn, &QAbstractButton::toggled, this, [this](bool on) {
        m_draft.notifySignIn = on;
        updateControls();
    });
    connect(m_notifySignOut, &QAbstractButton::toggled, this, [this](bool on) {
        m_draft.notifySignOut = on;
        updateControls();
    });
    connect(m_save, &QPushButton::clicked, this, &AlertSettings::save);
    connect(m_test, &QPushButton::clicked, this, &AlertSettings::sendTestMessage);
    connect(guide, &QPushButton::clicked, this, [this] {
        if (m_model)
            QDesktopServices::openUrl(
                m_model->cloud()->websiteURL(QStringLiteral("guides/host-notifications")));
    });
    connect(model, &AppModel::notificationsChanged, this, &AlertSettings::load);
    load();
    setMessage(std::nullopt, false);
}

void AlertSettings::load() {
    if (!m_model)
        return;
    m_draft = m_model->notifications();
    showDraft();
}

void AlertSettings::showDraft() {
    if (m_webhook->text() != m_draft.officeWebhook)
        m_webhook->setText(m_draft.officeWebhook);
    m_notifySignIn->setChecked(m_draft.notifySignIn);
    m_notifySignOut->setChecked(m_draft.notifySignOut);
    const std::optional<QUrl> url = parseWebhookURL(m_draft.officeWebhook);
    if (url)
        m_service->setText(displayName(detectService(*url)));
    auto *form = qobject_cast<QFormLayout *>(m_service->parentWidget()->layout());
    form->setRowVisible(m_service, url.has_value());
    form->setRowVisible(m_webhookProblem, !isOfficeWebhookAcceptable());
    updateControls();
}

bool AlertSettings::isOfficeWebhookAcceptable() const {
    return m_draft.officeWebhook.trimmed().isEmpty() ||
           parseWebhookURL(m_draft.officeWebhook).has_value();
}

bool AlertSettings::canSave() const {
    return m_model && m_draft != m_model->notifications() && isOfficeWebhookAcceptable();
}

bool AlertSettings::canTest() const {
    return !m_isTesting && parseWebhookURL(m_draft.officeWebhook).has_value();
}

void AlertSettings::updateControls() {
    m_save->setEnabled(canSave());
    m_test->setEnabled(canTest());
}

void AlertSettings::setMessage(std::optional<QString> text, bool isError) {
    m_message = std::move(text);
    showSettingsMessage(m_messageLabel, m_message, isError);
}

void AlertSettings::save() {
    if (!canSave())
        return;
    NotificationSettings settings = m_draft;
    settings.officeWebhook = settings.officeWebhook.trimmed();
    runSave(settings);
}

QCoro::Task<> AlertSettings::runSave(NotificationSettings settings) {
    QPointer<AlertSettings> self(this);
    std::optional<QString> failure;
    try {
        co_await m_model->saveNotifications(settings);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    // On success the model's new settings have already replaced the draft.
    setMessage(failure ? failure : std::optional<QString>(QStringLiteral("Saved.")),
               failure.has_value());
}

void AlertSettings::sendTestMessage() {
    if (!canTest() || !m_model)
        return;
    m_isTesting = true;
    setMessage(std::nullopt, false);
    updateControls();
    runTest(*parseWebhookURL(m_draft.officeWebhook));
}

QCoro::Task<> AlertSettings::runTest(QUrl url) {
    QPointer<AlertSettings> self(this);
    // sendAlert never throws and records its outcome itself. The options are passed as
    // a named value: GCC 12 mishandles a defaulted class argument of a coroutine.
    const DeliveryOptions options;
    const std::optional<NotifyError> outcome =
        co_await sendAlert(testAlert(QDateTime::currentDateTime()), url,
                           m_model->cloud()->network(), m_preferences, options);
    if (!self)
        co_return;
    m_isTesting = false;
    setMessage(outcome ? outcome->message() : QStringLiteral("Test message sent."),
               outcome.has_value());
    updateControls();
}
