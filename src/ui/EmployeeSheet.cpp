#include "EmployeeSheet.h"

#include "CaughtError.h"
#include "Style.h"
#include "model/AppModel.h"
#include "notify/WebhookDelivery.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

EmployeeSheet::EmployeeSheet(AppModel *model, EmployeeEdit edit, QWidget *parent)
    : QDialog(parent), m_model(model), m_edit(std::move(edit)) {
    const QString heading =
        m_edit.original ? QStringLiteral("Edit Employee") : QStringLiteral("Add Employee");
    setWindowTitle(heading);
    setWindowModality(Qt::WindowModal);
    setFixedWidth(420);

    auto *title = new QLabel(heading, this);
    title->setObjectName(QStringLiteral("sheetTitle"));
    Style::setText(title, Style::Text::title);

    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("employeeNameField"));
    m_webhook = new QLineEdit(this);
    m_webhook->setObjectName(QStringLiteral("employeeWebhookField"));
    m_webhookProblem = new QLabel(QStringLiteral("Webhook addresses start with https://"), this);
    m_webhookProblem->setObjectName(QStringLiteral("webhookProblem"));
    Style::setText(m_webhookProblem, Style::Text::caption);
    Style::setForeground(m_webhookProblem, Style::errorColor(palette()));
    m_webhookProblem->hide();

    // Labels above their fields: the webhook label is too long to share a 420-wide row.
    auto *form = new QFormLayout;
    form->setRowWrapPolicy(QFormLayout::WrapAllRows);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form->setVerticalSpacing(6);
    form->addRow(QStringLiteral("Name"), m_name);
    auto *webhookColumn = new QVBoxLayout;
    webhookColumn->setSpacing(4);
    webhookColumn->addWidget(m_webhook);
    webhookColumn->addWidget(m_webhookProblem);
    form->addRow(QStringLiteral("Personal webhook (optional)"), webhookColumn);

    m_messageLabel = new QLabel(this);
    m_messageLabel->setObjectName(QStringLiteral("sheetMessage"));
    m_messageLabel->setWordWrap(true);
    m_messageLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Style::setText(m_messageLabel, Style::Text::callout);
    Style::setForeground(m_messageLabel, Style::errorColor(palette()));
    m_messageLabel->hide();

    m_busy = new BusyIndicator(this);
    m_busy->hide();
    auto *cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    m_save = new QPushButton(QStringLiteral("Save"), this);
    m_save->setObjectName(QStringLiteral("saveButton"));
    m_save->setDefault(true);
    connect(m_save, &QPushButton::clicked, this, &EmployeeSheet::save);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_busy);
    buttons->addWidget(cancel);
    buttons->addWidget(m_save);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(16);
    layout->addWidget(title);
    layout->addLayout(form);
    layout->addWidget(m_messageLabel);
    layout->addLayout(buttons);

    if (m_edit.original) {
        m_name->setText(*m_edit.original);
        if (m_model)
            m_webhook->setText(m_model->notifications().employeeWebhooks.value(*m_edit.original));
    }
    connect(m_name, &QLineEdit::textChanged, this, &EmployeeSheet::updateControls);
    connect(m_webhook, &QLineEdit::textChanged, this, &EmployeeSheet::updateControls);
    m_name->setFocus();
    updateControls();
}

QString EmployeeSheet::name() const {
    return m_name->text();
}

QString EmployeeSheet::webhook() const {
    return m_webhook->text();
}

bool EmployeeSheet::isAcceptableWebhook(const QString &text) {
    return text.trimmed().isEmpty() || parseWebhookURL(text).has_value();
}

bool EmployeeSheet::canSave() const {
    return !m_isSaving && !m_name->text().trimmed().isEmpty() &&
           isAcceptableWebhook(m_webhook->text());
}

void EmployeeSheet::updateControls() {
    m_webhookProblem->setVisible(!isAcceptableWebhook(m_webhook->text()));
    m_save->setEnabled(canSave());
    m_busy->setVisible(m_isSaving);
    fitHeight();
}

void EmployeeSheet::setMessage(std::optional<QString> text) {
    m_message = std::move(text);
    m_messageLabel->setText(m_message.value_or(QString()));
    m_messageLabel->setVisible(m_message.has_value());
    fitHeight();
}

void EmployeeSheet::fitHeight() {
    // The width is fixed; the height follows the captions shown.
    layout()->activate();
    resize(width(), layout()->totalSizeHint().height());
}

std::optional<QString> EmployeeSheet::clashingName(const QStringList &employees,
                                                   const std::optional<QString> &original,
                                                   const QString &typed) {
    const QString name = typed.trimmed();
    for (const QString &other : employees) {
        if (other != original && other.compare(name, Qt::CaseInsensitive) == 0)
            return other;
    }
    return std::nullopt;
}

void EmployeeSheet::save() {
    if (!canSave() || !m_model)
        return;
    // The saved list keeps one of two names that differ only in letter case, so saving
    // would quietly drop this one (or merge a rename into the other employee) and file
    // its webhook under a name no visitor can choose.
    if (const std::optional<QString> other =
            clashingName(m_model->settings().employees, m_edit.original, m_name->text())) {
        setMessage(*other + QStringLiteral(" is already on the list."));
        return;
    }
    m_isSaving = true;
    setMessage(std::nullopt);
    updateControls();
    runSave(m_edit.original, m_name->text(), m_webhook->text());
}

QCoro::Task<> EmployeeSheet::runSave(std::optional<QString> original, QString name,
                                     QString webhook) {
    QPointer<EmployeeSheet> self(this);
    QPointer<AppModel> model = m_model;
    std::optional<QString> failure;
    try {
        co_await model->saveEmployee(original, name, webhook);
    } catch (...) {
        failure = caughtErrorText();
    }
    // Closed meanwhile (Escape, or the desk went away): the save stands on its own.
    if (!self)
        co_return;
    m_isSaving = false;
    updateControls();
    if (failure) {
        setMessage(*failure);
        co_return;
    }
    accept();
}
