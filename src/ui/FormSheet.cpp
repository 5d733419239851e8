#include "FormSheet.h"

#include "AnswerField.h"
#include "Style.h"
#include "model/AppModel.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

FormSheet::FormSheet(AppModel *model, const QString &title, const QString &action,
                     const QString &actionName, QWidget *parent)
    : QDialog(parent), m_model(model) {
    setWindowTitle(title);
    setWindowModality(Qt::WindowModal);
    setFixedWidth(460);

    auto *titleLabel = new QLabel(title, this);
    Style::setText(titleLabel, Style::Text::title2);

    m_form = new QFormLayout;
    m_form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    m_form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Rows sit closer together than the sheet's sections.
    m_form->setVerticalSpacing(10);

    m_messageLabel = new QLabel(this);
    m_messageLabel->setObjectName(QStringLiteral("sheetMessage"));
    m_messageLabel->setTextFormat(Qt::PlainText);
    m_messageLabel->setWordWrap(true);
    Style::setText(m_messageLabel, Style::Text::callout);
    Style::setForeground(m_messageLabel, Style::errorColor(palette()));
    m_messageLabel->hide();

    m_busy = new BusyIndicator(this);
    m_busy->hide();
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    m_cancel->setAutoDefault(false);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    m_action = new QPushButton(action, this);
    m_action->setObjectName(actionName);
    m_action->setDefault(true);

    m_buttons = new QHBoxLayout;
    m_buttons->addStretch(1);
    m_buttons->addWidget(m_busy);
    m_buttons->addWidget(m_cancel);
    m_buttons->addWidget(m_action);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(16);
    layout->addWidget(titleLabel);
    layout->addLayout(m_form);
    layout->addWidget(m_messageLabel);
    layout->addLayout(m_buttons);
}

QList<KioskField> FormSheet::sortedFields() const {
    QList<KioskField> fields = m_model ? m_model->settings().fields : QList<KioskField>();
    std::stable_sort(fields.begin(), fields.end(),
                     [](const KioskField &a, const KioskField &b) { return a.slot < b.slot; });
    return fields;
}

AnswerField *FormSheet::boundAnswerField(const KioskField &field, VisitorDraft *draft) {
    const QStringList employees = m_model ? m_model->settings().employees : QStringList();
    auto *answer = new AnswerField(field, employees, this);
    answer->setValue(draft->text(field.slot));
    // The draft belongs to the sheet, which outlives its inputs.
    connect(answer, &AnswerField::valueEdited, this,
            [draft](qint64 slot, const QString &value) { draft->answers[slot] = value; });
    return answer;
}

void FormSheet::setMessage(std::optional<QString> text) {
    m_message = std::move(text);
    m_messageLabel->setText(m_message.value_or(QString()));
    m_messageLabel->setVisible(m_message.has_value());
    fitHeight();
}

void FormSheet::setBusy(bool busy, bool cancelStays) {
    m_action->setEnabled(!busy);
    m_cancel->setEnabled(!busy || cancelStays);
    m_busy->setVisible(busy);
}

void FormSheet::fitHeight() {
    // The height follows the rows and messages shown, and is fixed so the window
    // manager cannot stretch the form apart.
    layout()->activate();
    setFixedHeight(layout()->totalSizeHint().height());
}

QString FormSheet::formLabel(const KioskField &field) {
    // Labels are the account's own text: "&" is a character here, not an access key.
    QString label = AnswerField::labelText(field);
    label.replace(QLatin1Char('&'), QLatin1String("&&"));
    return label;
}
