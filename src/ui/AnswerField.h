#pragma once

#include "records/Records.h"

#include <QWidget>

class QLineEdit;
class QToolButton;

// One answer of the sign-in form: a text field, plus a menu of employees for the host
// field. The menu only fills the text in; it stays freely editable.
class AnswerField : public QWidget {
    Q_OBJECT
public:
    AnswerField(const KioskField &field, const QStringList &employees, QWidget *parent = nullptr);

    // The field's label, with " (optional)" unless it is required or the name (slot 0).
    static QString labelText(const KioskField &field);

    const KioskField &field() const { return m_field; }
    QString value() const;
    // Shows the text without reporting it back as an edit.
    void setValue(const QString &value);
    QLineEdit *lineEdit() const { return m_edit; }
    QToolButton *employeeButton() const { return m_employees; }

signals:
    // The person typed or chose an employee.
    void valueEdited(qint64 slot, const QString &value);

private:
    KioskField m_field;
    QLineEdit *m_edit;
    QToolButton *m_employees = nullptr;
};
