#include "AnswerField.h"

#include "Icons.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QToolButton>

AnswerField::AnswerField(const KioskField &field, const QStringList &employees, QWidget *parent)
    : QWidget(parent), m_field(field), m_edit(new QLineEdit(this)) {
    setObjectName(QStringLiteral("answerField%1").arg(field.slot));
    m_edit->setObjectName(QStringLiteral("answerEdit%1").arg(field.slot));
    m_edit->setAccessibleName(labelText(field));
    if (field.type == fieldTypeRawValue(FieldType::email))
        m_edit->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase);
    connect(m_edit, &QLineEdit::textEdited, this,
            [this](const QString &text) { emit valueEdited(m_field.slot, text); });

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(m_edit, 1);

    if (field.employeeList && !employees.isEmpty()) {
        m_employees = new QToolButton(this);
        m_employees->setObjectName(QStringLiteral("employeeMenuButton"));
        m_employees->setIcon(Icons::symbol(QStringLiteral("person.crop.circle")));
        m_employees->setToolTip(QStringLiteral("Choose an employee"));
        m_employees->setAccessibleName(QStringLiteral("Choose an employee"));
        m_employees->setPopupMode(QToolButton::InstantPopup);
        m_employees->setAutoRaise(true);
        // No menu arrow: the icon alone says what the button does.
        m_employees->setStyleSheet(
            QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
        auto *menu = new QMenu(m_employees);
        for (const QString &name : employees) {
            // "&" would otherwise mark a shortcut letter.
            QString shown = name;
            shown.replace(QLatin1Char('&'), QLatin1String("&&"));
            connect(menu->addAction(shown), &QAction::triggered, this, [this, name] {
                m_edit->setText(name);
                emit valueEdited(m_field.slot, name);
            });
        }
        m_employees->setMenu(menu);
        layout->addWidget(m_employees);
    }
    setFocusProxy(m_edit);
}

QString AnswerField::labelText(const KioskField &field) {
    if (field.required || field.slot == 0)
        return field.label;
    return field.label + QStringLiteral(" (optional)");
}

QString AnswerField::value() const {
    return m_edit->text();
}

void AnswerField::setValue(const QString &value) {
    if (m_edit->text() != value)
        m_edit->setText(value);
}
