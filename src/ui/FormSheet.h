#pragma once

#include "records/Records.h"

#include <QDialog>
#include <QPointer>
#include <optional>

class AnswerField;
class AppModel;
class BusyIndicator;
class QFormLayout;
class QHBoxLayout;
class QLabel;
class QPushButton;

// What the sign-in and invite sheets share: a title, a form of the account's fields, a
// red message under it, and a button row ending in Cancel and the sheet's action, with
// a busy indicator while the action runs. The width is fixed; the height follows.
class FormSheet : public QDialog {
    Q_OBJECT
public:
    const std::optional<QString> &message() const { return m_message; }

protected:
    // `action` labels the default button, whose object name is `actionName`.
    FormSheet(AppModel *model, const QString &title, const QString &action,
              const QString &actionName, QWidget *parent);

    QFormLayout *form() const { return m_form; }
    // Notes go at its leading end, before the flexible gap.
    QHBoxLayout *buttonRow() const { return m_buttons; }
    QPushButton *cancelButton() const { return m_cancel; }
    QPushButton *actionButton() const { return m_action; }
    // The form's fields in slot order.
    QList<KioskField> sortedFields() const;
    // An input for `field` showing and editing `draft`'s text for its slot.
    AnswerField *boundAnswerField(const KioskField &field, VisitorDraft *draft);
    void setMessage(std::optional<QString> text);
    // Busy: the action is disabled (Cancel too unless `cancelStays`) and the indicator turns.
    void setBusy(bool busy, bool cancelStays);
    void fitHeight();
    // The form row label for `field`.
    static QString formLabel(const KioskField &field);

    QPointer<AppModel> m_model;

private:
    std::optional<QString> m_message;
    QFormLayout *m_form;
    QLabel *m_messageLabel;
    QHBoxLayout *m_buttons;
    BusyIndicator *m_busy;
    QPushButton *m_cancel;
    QPushButton *m_action;
};
