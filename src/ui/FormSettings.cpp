#include "FormSettings.h"

#include "CaughtError.h"
#include "SettingsSection.h"
#include "Style.h"
#include "model/AppModel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {
const QString savedCaption =
    QStringLiteral("Saved to your account. iPads update on their next sync.");
}

QList<FieldSlot> FormSettings::slotsFrom(const QList<KioskField> &fields) {
    QList<FieldSlot> rows;
    for (int id = 0; id < slotCount; ++id) {
        FieldSlot slot;
        slot.id = id;
        const auto found = std::find_if(fields.begin(), fields.end(),
                                        [id](const KioskField &f) { return f.slot == id; });
        if (found != fields.end()) {
            slot.isOn = true;
            slot.label = found->label;
            slot.type = fieldTypeFromRaw(found->type);
            slot.required = found->required || id == 0;
            slot.employeeList = found->employeeList;
        } else if (id == 0) {
            // Every visitor has a name, whether or not the stored form asks for one.
            slot.isOn = true;
            slot.required = true;
        }
        rows.append(slot);
    }
    return rows;
}

QList<KioskField> FormSettings::fieldsFrom(const QList<FieldSlot> &rows) {
    QList<KioskField> fields;
    for (const FieldSlot &slot : rows)
        if (slot.isOn)
            fields.append({slot.id, slot.label, fieldTypeRawValue(slot.type), slot.required,
                           slot.employeeList});
    return fields;
}

FormSettings::FormSettings(AppModel *model, QWidget *parent) : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("formSettings"));
    auto *layout = settingsTabLayout(this);

    auto *place = new SettingsSection(QString(), this);
    m_placeField = new QLineEdit(place->box());
    m_placeField->setObjectName(QStringLiteral("placeNameField"));
    m_placeField->setPlaceholderText(QStringLiteral("Shown in invite emails"));
    place->form()->addRow(QStringLiteral("Place name"), m_placeField);
    connect(m_placeField, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_place = text;
        updateControls();
    });
    layout->addWidget(place);

    auto *questions = new SettingsSection(QStringLiteral("Sign-in questions"), this);
    auto *rows = new QVBoxLayout;
    rows->setSpacing(8);
    for (int slot = 0; slot < slotCount; ++slot) {
        Row row;
        auto *line = new QHBoxLayout;
        line->setSpacing(10);
        row.isOn = new SettingsSwitch(QString(), questions->box());
        row.isOn->setObjectName(QStringLiteral("slotSwitch%1").arg(slot));
        row.isOn->setToolTip(QStringLiteral("Ask this question"));
        row.label = new QLineEdit(questions->box());
        row.label->setObjectName(QStringLiteral("slotLabel%1").arg(slot));
        row.label->setPlaceholderText(QStringLiteral("Question %1").arg(slot + 1));
        row.type = new QComboBox(questions->box());
        row.type->setObjectName(QStringLiteral("slotType%1").arg(slot));
        for (FieldType type : allFieldTypes())
            row.type->addItem(fieldTypeRawValue(type), int(type));
        line->addWidget(row.isOn);
        line->addWidget(row.label, 1);
        line->addWidget(row.type);
        rows->addLayout(line);

        row.options = new QWidget(questions->box());
        auto *options = new QHBoxLayout(row.options);
        // Lined up under the question text.
        options->setContentsMargins(row.isOn->sizeHint().width() + line->spacing(), 0, 0, 4);
        options->setSpacing(16);
        row.required = new QCheckBox(QStringLiteral("Required"), row.options);
        row.required->setObjectName(QStringLiteral("slotRequired%1").arg(slot));
        row.employeeList = new QCheckBox(QStringLiteral("Employee List"), row.options);
        row.employeeList->setObjectName(QStringLiteral("slotEmployeeList%1").arg(slot));
        for (QCheckBox *box : {row.required, row.employeeList})
            Style::setText(box, Style::Text::callout);
        options->addWidget(row.required);
        options->addWidget(row.employeeList);
        options->addStretch(1);
        rows->addWidget(row.options);

        if (slot == 0) {
            row.isOn->setEnabled(false);
            row.required->setEnabled(false);
        }
        connect(row.isOn, &QAbstractButton::toggled, this, [this, slot] { readRow(slot); });
        connect(row.label, &QLineEdit::textEdited, this, [this, slot] { readRow(slot); });
        connect(row.type, &QComboBox::currentIndexChanged, this, [this, slot] { readRow(slot); });
        connect(row.required, &QAbstractButton::toggled, this, [this, slot] { readRow(slot); });
        connect(row.employeeList, &QAbstractButton::toggled, this, [this, slot] { readRow(slot); });
        m_rows.append(row);
    }
    questions->form()->addRow(rows);
    layout->addWidget(questions);

    auto *footer = new SettingsSection(QString(), this);
    auto *saveLine = new QHBoxLayout;
    m_caption = new QLabel(footer->box());
    m_caption->setObjectName(QStringLiteral("formCaption"));
    m_caption->setWordWrap(true);
    Style::setText(m_caption, Style::Text::caption);
    m_save = new QPushButton(QStringLiteral("Save"), footer->box());
    m_save->setObjectName(QStringLiteral("saveFormButton"));
    m_save->setAutoDefault(false);
    connect(m_save, &QPushButton::clicked, this, &FormSettings::save);
    saveLine->addWidget(m_caption, 1);
    saveLine->addWidget(m_save);
    footer->form()->addRow(saveLine);
    layout->addWidget(footer);
    layout->addStretch(1);

    connect(model, &AppModel::settingsChanged, this, &FormSettings::load);
    load();
    setMessage(std::nullopt, false);
}

void FormSettings::load() {
    if (!m_model)
        return;
    m_place = m_model->settings().placeName.value_or(QString());
    m_slots = slotsFrom(m_model->settings().fields);
    showSlots();
}

bool FormSettings::hasChanges() const {
    if (!m_model)
        return false;
    return m_slots != slotsFrom(m_model->settings().fields) ||
           m_place != m_model->settings().placeName.value_or(QString());
}

void FormSettings::showSlots() {
    m_showing = true;
    if (m_placeField->text() != m_place)
        m_placeField->setText(m_place);
    for (int slot = 0; slot < slotCount; ++slot) {
        const FieldSlot &value = m_slots[slot];
        const Row &row = m_rows[slot];
        row.isOn->setChecked(value.isOn);
        if (row.label->text() != value.label)
            row.label->setText(value.label);
        row.type->setCurrentIndex(row.type->findData(int(value.type)));
        row.required->setChecked(value.required);
        row.employeeList->setChecked(value.employeeList);
        row.label->setEnabled(value.isOn);
        row.type->setEnabled(value.isOn);
        row.options->setVisible(value.isOn);
    }
    m_showing = false;
    updateControls();
}

void FormSettings::readRow(int slot) {
    if (m_showing)
        return;
    const Row &row = m_rows[slot];
    FieldSlot &value = m_slots[slot];
    value.isOn = slot == 0 || row.isOn->isChecked();
    value.label = row.label->text();
    value.type = FieldType(row.type->currentData().toInt());
    value.required = slot == 0 || row.required->isChecked();
    value.employeeList = row.employeeList->isChecked();
    showSlots();
}

void FormSettings::setMessage(std::optional<QString> text, bool isError) {
    m_message = std::move(text);
    // The caption always says something: the last problem, or where the form goes.
    showSettingsMessage(m_caption, m_message ? m_message : std::optional(savedCaption), isError);
}

void FormSettings::updateControls() {
    m_save->setEnabled(!m_isSaving && hasChanges());
}

void FormSettings::save() {
    if (!m_model || m_isSaving || !hasChanges())
        return;
    KioskSettings form;
    form.fields = fieldsFrom(m_slots);
    form.employees = m_model->settings().employees;
    form.placeName = m_place;
    m_isSaving = true;
    updateControls();
    runSave(form);
}

QCoro::Task<> FormSettings::runSave(KioskSettings form) {
    QPointer<FormSettings> self(this);
    std::optional<QString> failure;
    try {
        co_await m_model->saveForm(form);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    m_isSaving = false;
    if (failure) {
        setMessage(failure, true);
        updateControls();
        co_return;
    }
    setMessage(std::nullopt, false);
    // The model only announces a change; a save that cleaned the rows back into what
    // it already held still shows the saved form.
    load();
}
