#pragma once

#include "FormSheet.h"
#include "records/Records.h"

#include <QDate>
#include <QPointer>
#include <QTime>
#include <optional>
#include <qcoro/qcorotask.h>
#include <variant>

class AnswerField;
class AppModel;
class QCheckBox;
class QDateEdit;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimeEdit;

// The form that invites a visitor ahead of time: the sign-in form's answers, where to
// send the invite, an optional day and time, and a note. The website stores the invite
// and e-mails it; the sheet closes once it has.
class NewInviteSheet : public FormSheet {
    Q_OBJECT
public:
    static constexpr int answerLimit = 200;
    static constexpr int noteLimit = 500;

    explicit NewInviteSheet(AppModel *model, QWidget *parent = nullptr);

    // What the person has entered; a day or time only while its switch is on.
    struct Input {
        VisitorDraft draft;
        QString email;
        std::optional<QDate> date;
        std::optional<QTime> time;
        QString note;
    };
    Input input() const;
    bool isSending() const { return m_isSending; }

    // The first field, in slot order, labelled exactly "Email"; its answer is where the
    // invite goes. Without one the sheet asks for the address separately.
    static std::optional<KioskField> emailField(const QList<KioskField> &sortedFields);
    // The first `count` user-perceived characters: an emoji sequence or a letter with
    // its combining marks counts once and is never split.
    static QString firstCharacters(const QString &text, int count);
    // The invite to send for this input, or the message that stops it.
    static std::variant<NewInvite, QString> makeInvite(const Input &input,
                                                       const QList<KioskField> &sortedFields);

    AnswerField *answerField(qint64 slot) const;
    QLineEdit *emailEdit() const { return m_email; }
    QCheckBox *dateSwitch() const { return m_hasDate; }
    QCheckBox *timeSwitch() const { return m_hasTime; }
    QDateEdit *dateEdit() const { return m_date; }
    QTimeEdit *timeEdit() const { return m_time; }
    QPlainTextEdit *noteEdit() const { return m_note; }
    QPushButton *sendButton() const { return actionButton(); }

public slots:
    void send();
    // Escape and Cancel do nothing while the invite is being sent.
    void reject() override;

private:
    QCoro::Task<> runCreate(NewInvite invite);
    void rebuildFields();
    void updateRows();
    void fitNote();
    void setSending(bool sending);

    VisitorDraft m_draft;
    bool m_isSending = false;

    QList<AnswerField *> m_fields;
    QLineEdit *m_email;
    QCheckBox *m_hasDate;
    QDateEdit *m_date;
    QCheckBox *m_hasTime;
    QTimeEdit *m_time;
    QPlainTextEdit *m_note;
};
