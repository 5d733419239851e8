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

namespace {
constexpr int expectedLimit = 200;
}

SignInVisitorSheet::SignInVisitorSheet(AppModel *model, std::optional<Invite> invite,
                                       QWidget *parent)
    : FormSheet(model, QStringLiteral("Sign In Visitor"), QStringLiteral("Sign In"),
                QStringLiteral("signInButton"), parent),
      m_invite(std::move(invite)) {
    if (m_invite)
        m_draft = AppModel::draftFromInvite(*m_invite);

    m_pickerLabel = new QLabel(QStringLiteral("Expected"), this);
    m_picker = new QComboBox(this);
    m_picker->setObjectName(QStringLiteral("expectedPicker"));
    form()->addRow(m_pickerLabel, m_picker);
    form()->setRowVisible(0, false);
    connect(m_picker, &QComboBox::activated, this, [this](int index) {
        chooseInvite(index > 0 && index <= m_expected.size()
                         ? std::optional<Invite>(m_expected[index - 1])
                         : std::nullopt);
    });

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
    buttonRow()->insertWidget(0, m_badgeNote);
    connect(actionButton(), &QPushButton::clicked, this, &SignInVisitorSheet::submit);

    // A form saved in the settings window while the sheet is open applies at once.
    connect(m_model, &AppModel::settingsChanged, this, &SignInVisitorSheet::rebuildFields);
    connect(m_model->printer(), &BadgePrinter::autoPrintChanged, this,
            &SignInVisitorSheet::updateBadgeNote);
    rebuildFields();
    updateBadgeNote();
    loadExpected();
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
    while (form()->rowCount() > 1)
        form()->removeRow(1);
    m_fields.clear();
    for (const KioskField &field : sortedFields()) {
        AnswerField *answer = boundAnswerField(field, &m_draft);
        form()->addRow(formLabel(field), answer);
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
    form()->setRowVisible(0, !m_expected.isEmpty());
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
    // Closing the sheet does not stop a sign-in already sent.
    setBusy(saving, true);
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
