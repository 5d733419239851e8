#include "SignInVisitorSheet.h"

#include "AnswerField.h"
#include "CaughtError.h"
#include "Icons.h"
#include "Style.h"
#include "badge/BadgePrinter.h"
#include "cloud/CloudClient.h"
#include "model/AppModel.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {
constexpr int expectedLimit = 200;
}

SignInVisitorSheet::SignInVisitorSheet(AppModel *model, std::optional<Invite> invite,
                                       QWidget *parent)
    : QDialog(parent), m_model(model), m_invite(std::move(invite)) {
    setWindowTitle(QStringLiteral("Sign In Visitor"));
    setWindowModality(Qt::WindowModal);
    setFixedWidth(460);
    if (m_invite)
        m_draft = AppModel::draftFromInvite(*m_invite);

    auto *title = new QLabel(QStringLiteral("Sign In Visitor"), this);
    Style::setText(title, Style::Text::title2);

    m_form = new QFormLayout;
    m_form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    m_form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Rows sit closer together than the screen's sections.
    m_form->setVerticalSpacing(10);
    m_pickerLabel = new QLabel(QStringLiteral("Expected"), this);
    m_picker = new QComboBox(this);
    m_picker->setObjectName(QStringLiteral("expectedPicker"));
    m_form->addRow(m_pickerLabel, m_picker);
    m_form->setRowVisible(0, false);
    connect(m_picker, &QComboBox::activated, this, [this](int index) {
        chooseInvite(index > 0 && index <= m_expected.size()
                         ? std::optional<Invite>(m_expected[index - 1])
                         : std::nullopt);
    });

    m_messageLabel = new QLabel(this);
    m_messageLabel->setObjectName(QStringLiteral("sheetMessage"));
    m_messageLabel->setWordWrap(true);
    Style::setText(m_messageLabel, Style::Text::callout);
    Style::setForeground(m_messageLabel, Style::errorColor(palette()));
    m_messageLabel->hide();

    m_badgeNote = new QWidget(this);
    m_badgeNote->setObjectName(QStringLiteral("badgeNote"));
    {
        auto *icon = new QLabel(m_badgeNote);
        icon->setPixmap(Icons::symbol(QStringLiteral("printer")).pixmap(16, 16));
        auto *text = new QLabel(QStringLiteral("A badge will print"), m_badgeNote);
        Style::setText(text, Style::Text::callout);
        Style::setSecondary(text);
        auto *noteLayout = new QHBoxLayout(m_badgeNote);
        noteLayout->setContentsMargins(0, 0, 0, 0);
        noteLayout->setSpacing(6);
        noteLayout->addWidget(icon);
        noteLayout->addWidget(text);
    }
    m_busy = new BusyIndicator(this);
    m_busy->hide();
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    m_cancel->setAutoDefault(false);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    m_signIn = new QPushButton(QStringLiteral("Sign In"), this);
    m_signIn->setObjectName(QStringLiteral("signInButton"));
    m_signIn->setDefault(true);
    connect(m_signIn, &QPushButton::clicked, this, &SignInVisitorSheet::submit);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_badgeNote);
    buttons->addStretch(1);
    buttons->addWidget(m_busy);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_signIn);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(16);
    layout->addWidget(title);
    layout->addLayout(m_form);
    layout->addWidget(m_messageLabel);
    layout->addLayout(buttons);

    // A form saved in the settings window while the sheet is open applies at once.
    connect(m_model, &AppModel::settingsChanged, this, &SignInVisitorSheet::rebuildFields);
    connect(m_model->printer(), &BadgePrinter::autoPrintChanged, this,
            &SignInVisitorSheet::updateBadgeNote);
    rebuildFields();
    updateBadgeNote();
    loadExpected();
}

QList<KioskField> SignInVisitorSheet::sortedFields() const {
    QList<KioskField> fields = m_model->settings().fields;
    std::stable_sort(fields.begin(), fields.end(),
                     [](const KioskField &a, const KioskField &b) { return a.slot < b.slot; });
    return fields;
}

void SignInVisitorSheet::rebuildFields() {
    if (!m_model)
        return;
    const QWidget *focused = focusWidget();
    std::optional<qint64> focusedSlot;
    for (AnswerField *field : std::as_const(m_fields)) {
        if (field->isAncestorOf(focused))
            focusedSlot = field->field().slot;
    }
    while (m_form->rowCount() > 1)
        m_form->removeRow(1);
    m_fields.clear();
    const QStringList employees = m_model->settings().employees;
    for (const KioskField &field : sortedFields()) {
        auto *answer = new AnswerField(field, employees, this);
        answer->setValue(m_draft.text(field.slot));
        connect(answer, &AnswerField::valueEdited, this,
                [this](qint64 slot, const QString &value) { m_draft.answers[slot] = value; });
        // Labels are the account's own text: "&" is a character here, not an access key.
        QString label = AnswerField::labelText(field);
        label.replace(QLatin1Char('&'), QLatin1String("&&"));
        m_form->addRow(label, answer);
        m_fields.append(answer);
        if (focusedSlot == field.slot)
            answer->setFocus();
    }
    if (!focusedSlot && !m_fields.isEmpty() && !m_picker->hasFocus())
        m_fields.first()->setFocus();
    fitHeight();
}

void SignInVisitorSheet::showDraft() {
    for (AnswerField *field : std::as_const(m_fields))
        field->setValue(m_draft.text(field->field().slot));
}

void SignInVisitorSheet::rebuildPicker() {
    QSignalBlocker block(m_picker);
    m_picker->clear();
    m_picker->addItem(QStringLiteral("Walk-in"));
    int current = 0;
    for (qsizetype i = 0; i < m_expected.size(); ++i) {
        m_picker->addItem(m_expected[i].visitorName);
        if (m_invite && *m_invite == m_expected[i] && current == 0)
            current = int(i) + 1;
    }
    m_picker->setCurrentIndex(current);
    m_form->setRowVisible(0, !m_expected.isEmpty());
    fitHeight();
}

void SignInVisitorSheet::chooseInvite(std::optional<Invite> invite) {
    m_invite = std::move(invite);
    // Whatever was typed belongs to the previous choice.
    m_draft = m_invite ? AppModel::draftFromInvite(*m_invite) : VisitorDraft{};
    showDraft();
    rebuildPicker();
}

QList<Invite> SignInVisitorSheet::expectedInvites(const QList<Invite> &fetched,
                                                  const std::optional<Invite> &current,
                                                  const Clock &clock) {
    QList<Invite> waiting;
    for (const Invite &invite : fetched) {
        if (invite.status(clock).kind == Invite::Status::Kind::waiting)
            waiting.append(invite);
    }
    if (current && !waiting.contains(*current))
        waiting.prepend(*current);
    return waiting;
}

QCoro::Task<> SignInVisitorSheet::loadExpected() {
    QPointer<SignInVisitorSheet> self(this);
    QPointer<AppModel> model = m_model;
    QList<Invite> fetched;
    try {
        fetched = co_await model->cloud()->fetchInvites(true, expectedLimit);
    } catch (...) {
        // Without the list the sheet simply offers no expected visitors.
        fetched.clear();
    }
    if (!self || !m_model)
        co_return;
    m_expected = expectedInvites(fetched, m_invite, m_model->clock());
    rebuildPicker();
    emit expectedLoaded();
}

void SignInVisitorSheet::setMessage(std::optional<QString> text) {
    m_message = std::move(text);
    m_messageLabel->setText(m_message.value_or(QString()));
    m_messageLabel->setVisible(m_message.has_value());
    fitHeight();
}

void SignInVisitorSheet::fitHeight() {
    // The width is fixed and the height follows the rows and messages shown, so the
    // window manager cannot stretch the form apart.
    layout()->activate();
    setFixedHeight(layout()->totalSizeHint().height());
}

void SignInVisitorSheet::focusField(std::optional<qint64> slot) {
    for (AnswerField *field : std::as_const(m_fields)) {
        if (!slot || field->field().slot == *slot) {
            field->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

void SignInVisitorSheet::setSaving(bool saving) {
    m_isSaving = saving;
    m_signIn->setEnabled(!saving);
    m_busy->setVisible(saving);
}

void SignInVisitorSheet::updateBadgeNote() {
    m_badgeNote->setVisible(m_model && m_model->printer()->autoPrint());
    fitHeight();
}

void SignInVisitorSheet::submit() {
    if (m_isSaving || !m_model)
        return;
    if (std::optional<AppModel::Problem> problem =
            AppModel::problemField(m_draft, sortedFields())) {
        setMessage(problem->message);
        focusField(problem->slot);
        return;
    }
    setSaving(true);
    setMessage(std::nullopt);
    runSignIn(m_draft, m_invite);
}

QCoro::Task<> SignInVisitorSheet::runSignIn(VisitorDraft draft, std::optional<Invite> invite) {
    QPointer<SignInVisitorSheet> self(this);
    QPointer<AppModel> model = m_model;
    std::optional<BadgePrintResult> result;
    std::optional<QString> failure;
    try {
        result = co_await model->signIn(draft, invite);
    } catch (...) {
        failure = caughtErrorText();
    }
    // A sheet closed meanwhile leaves the sign-in standing; there is nobody to tell.
    if (!self)
        co_return;
    setSaving(false);
    if (failure) {
        setMessage(*failure);
        co_return;
    }
    const QString badgeProblem = badgePrintResultMessage(*result);
    if (!badgeProblem.isEmpty()) {
        // The visitor is in; empty the form so they are not signed in twice.
        setMessage(draft.text(0).trimmed() + QStringLiteral(" is signed in, but: ") + badgeProblem);
        m_invite.reset();
        m_draft = {};
        showDraft();
        rebuildPicker();
        // Ready for the next visitor.
        focusField(std::nullopt);
        co_return;
    }
    accept();
}
