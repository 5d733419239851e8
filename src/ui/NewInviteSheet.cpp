#include "NewInviteSheet.h"

#include "AnswerField.h"
#include "CaughtError.h"
#include "TimeText.h"
#include "cloud/CloudClient.h"
#include "model/AppModel.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QFormLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextBoundaryFinder>
#include <QTimeEdit>
#include <algorithm>

namespace {
constexpr int noteMinLines = 2;
constexpr int noteMaxLines = 4;

QString trimSpacesAndTabs(QString text) {
    static const QRegularExpression ends(QStringLiteral("^[ \t]+|[ \t]+$"));
    return text.remove(ends);
}

bool isInviteAddress(const QString &address) {
    static const QRegularExpression pattern(QStringLiteral(R"(\A[^\s@]+@[^\s@]+\.[^\s@]+\z)"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern.match(address).hasMatch();
}
} // namespace

NewInviteSheet::NewInviteSheet(AppModel *model, QWidget *parent)
    : FormSheet(model, QStringLiteral("New Invite"), QStringLiteral("Send Invite"),
                QStringLiteral("sendInviteButton"), parent) {
    const Clock &clock = m_model->clock();
    const QDateTime now = clock.now().toTimeZone(clock.zone);
    QFormLayout *rows = form();

    m_email = new QLineEdit(this);
    m_email->setObjectName(QStringLiteral("inviteEmailEdit"));
    m_email->setPlaceholderText(QStringLiteral("Email to send the invite to"));
    m_email->setAccessibleName(QStringLiteral("Email to send the invite to"));
    m_email->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase);
    rows->addRow(QString(), m_email);

    m_hasDate = new QCheckBox(QStringLiteral("Set a visit date"), this);
    m_hasDate->setObjectName(QStringLiteral("visitDateSwitch"));
    rows->addRow(QString(), m_hasDate);
    m_date = new QDateEdit(now.date(), this);
    m_date->setObjectName(QStringLiteral("visitDateEdit"));
    m_date->setCalendarPopup(true);
    // Today and later days only: an invite for a past day would be expired at once.
    m_date->setMinimumDate(now.date());
    m_date->setDisplayFormat(clock.locale.dateFormat(QLocale::ShortFormat));
    rows->addRow(QStringLiteral("Visit date"), m_date);
    m_hasTime = new QCheckBox(QStringLiteral("Set a time"), this);
    m_hasTime->setObjectName(QStringLiteral("visitTimeSwitch"));
    rows->addRow(QString(), m_hasTime);
    m_time = new QTimeEdit(QTime(now.time().hour(), now.time().minute()), this);
    m_time->setObjectName(QStringLiteral("visitTimeEdit"));
    m_time->setDisplayFormat(shortTimeFormat(clock.locale));
    rows->addRow(QStringLiteral("Visit time"), m_time);
    connect(m_hasDate, &QCheckBox::toggled, this, &NewInviteSheet::updateRows);
    connect(m_hasTime, &QCheckBox::toggled, this, &NewInviteSheet::updateRows);

    m_note = new QPlainTextEdit(this);
    m_note->setObjectName(QStringLiteral("inviteNoteEdit"));
    m_note->setPlaceholderText(QStringLiteral("Note for the visitor (optional)"));
    m_note->setAccessibleName(QStringLiteral("Note for the visitor (optional)"));
    m_note->setTabChangesFocus(true);
    m_note->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    connect(m_note, &QPlainTextEdit::textChanged, this, &NewInviteSheet::fitNote);
    rows->addRow(QString(), m_note);

    connect(actionButton(), &QPushButton::clicked, this, &NewInviteSheet::send);

    // A form saved in the settings window while the sheet is open applies at once.
    connect(m_model, &AppModel::settingsChanged, this, &NewInviteSheet::rebuildFields);
    rebuildFields();
    fitNote();
    updateRows();
}

std::optional<KioskField> NewInviteSheet::emailField(const QList<KioskField> &sortedFields) {
    for (const KioskField &field : sortedFields) {
        if (field.label == QLatin1String("Email"))
            return field;
    }
    return std::nullopt;
}

AnswerField *NewInviteSheet::answerField(qint64 slot) const {
    for (AnswerField *field : m_fields) {
        if (field->field().slot == slot)
            return field;
    }
    return nullptr;
}

void NewInviteSheet::rebuildFields() {
    if (!m_model)
        return;
    for (qsizetype i = 0; i < m_fields.size(); ++i)
        form()->removeRow(0);
    m_fields.clear();
    const QList<KioskField> fields = sortedFields();
    const std::optional<KioskField> address = emailField(fields);
    for (const KioskField &field : fields) {
        AnswerField *answer = boundAnswerField(field, &m_draft);
        // The invite goes to this field's answer, so it is not optional here.
        QString label = address && address->slot == field.slot ? field.label
                                                               : AnswerField::labelText(field);
        // Labels are the account's own text: "&" is a character here, not an access key.
        label.replace(QLatin1Char('&'), QLatin1String("&&"));
        form()->insertRow(int(m_fields.size()), label, answer);
        m_fields.append(answer);
    }
    if (!m_fields.isEmpty())
        m_fields.first()->setFocus();
    updateRows();
}

void NewInviteSheet::updateRows() {
    if (!m_model)
        return;
    const int first = int(m_fields.size());
    form()->setRowVisible(first, !emailField(sortedFields()));
    form()->setRowVisible(first + 2, m_hasDate->isChecked());
    form()->setRowVisible(first + 3, m_hasDate->isChecked());
    form()->setRowVisible(first + 4, m_hasDate->isChecked() && m_hasTime->isChecked());
    fitHeight();
}

void NewInviteSheet::fitNote() {
    // Grows with its text from two lines to four, then scrolls.
    const int lines = std::clamp(int(m_note->document()->size().height()), noteMinLines,
                                 noteMaxLines);
    const QMargins margins = m_note->contentsMargins();
    const int height = lines * m_note->fontMetrics().lineSpacing() +
                       int(2 * m_note->document()->documentMargin()) + margins.top() +
                       margins.bottom();
    if (m_note->height() != height || m_note->minimumHeight() != height) {
        m_note->setFixedHeight(height);
        fitHeight();
    }
}

void NewInviteSheet::setSending(bool sending) {
    m_isSending = sending;
    setBusy(sending, false);
}

void NewInviteSheet::reject() {
    if (!m_isSending)
        QDialog::reject();
}

NewInviteSheet::Input NewInviteSheet::input() const {
    Input input{m_draft, m_email->text(), std::nullopt, std::nullopt, m_note->toPlainText()};
    if (m_hasDate->isChecked()) {
        input.date = m_date->date();
        if (m_hasTime->isChecked())
            input.time = m_time->time();
    }
    return input;
}

QString NewInviteSheet::firstCharacters(const QString &text, int count) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (int taken = 0; taken < count; ++taken) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            return text;
        end = next;
    }
    return text.left(end);
}

std::variant<NewInvite, QString> NewInviteSheet::makeInvite(const Input &input,
                                                            const QList<KioskField> &sortedFields) {
    if (std::optional<QString> problem = AppModel::problem(input.draft, sortedFields))
        return *problem;
    const std::optional<KioskField> addressField = emailField(sortedFields);
    const QString address = addressField ? input.draft.text(addressField->slot).trimmed()
                                         : trimSpacesAndTabs(input.email);
    if (!isInviteAddress(address))
        return QStringLiteral("Please enter a valid email address to send the invite to.");

    NewInvite invite;
    for (const KioskField &field : sortedFields) {
        const QString text = input.draft.text(field.slot).trimmed();
        if (!text.isEmpty())
            invite.answers.append({field.slot, firstCharacters(text, answerLimit)});
    }
    invite.email = address;
    // The website reads these exactly so, whatever the desk's language.
    const QLocale posix = QLocale::c();
    if (input.date) {
        invite.visitDate = posix.toString(*input.date, QStringLiteral("yyyy-MM-dd"));
        if (input.time)
            invite.visitTime = posix.toString(*input.time, QStringLiteral("HH:mm"));
    }
    const QString note = input.note.trimmed();
    if (!note.isEmpty())
        invite.note = firstCharacters(note, noteLimit);
    return invite;
}

void NewInviteSheet::send() {
    if (m_isSending || !m_model)
        return;
    std::variant<NewInvite, QString> outcome = makeInvite(input(), sortedFields());
    if (const QString *problem = std::get_if<QString>(&outcome)) {
        setMessage(*problem);
        return;
    }
    setSending(true);
    setMessage(std::nullopt);
    runCreate(std::get<NewInvite>(std::move(outcome)));
}

QCoro::Task<> NewInviteSheet::runCreate(NewInvite invite) {
    QPointer<NewInviteSheet> self(this);
    QPointer<AppModel> model = m_model;
    std::optional<QString> failure;
    try {
        co_await model->cloud()->createInvite(invite);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    setSending(false);
    if (failure) {
        // Everything typed stays for another try.
        setMessage(*failure);
        co_return;
    }
    accept();
}
