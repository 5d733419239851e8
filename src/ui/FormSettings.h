#pragma once

#include "records/Records.h"

#include <QPointer>
#include <QWidget>
#include <optional>
#include <qcoro/qcorotask.h>

class AppModel;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class SettingsSwitch;

// One of the six question rows of the sign-in form; slot 0 is the visitor's name.
struct FieldSlot {
    int id = 0;
    bool isOn = false;
    QString label;
    FieldType type = FieldType::plainText;
    bool required = false;
    bool employeeList = false;
    bool operator==(const FieldSlot &) const = default;
};

// The Form tab: the place name and the six questions the sign-in form asks, edited as a
// copy of the model's settings and saved through it.
class FormSettings : public QWidget {
    Q_OBJECT
public:
    static constexpr int slotCount = 6;

    explicit FormSettings(AppModel *model, QWidget *parent = nullptr);

    // The rows the model's fields give: the first field of each slot, slot 0 always on
    // and required.
    static QList<FieldSlot> slotsFrom(const QList<KioskField> &fields);
    // The fields of the rows that are on, in slot order.
    static QList<KioskField> fieldsFrom(const QList<FieldSlot> &rows);

    const QList<FieldSlot> &fieldSlots() const { return m_slots; }
    const QString &place() const { return m_place; }
    bool isSaving() const { return m_isSaving; }
    const std::optional<QString> &message() const { return m_message; }
    bool hasChanges() const;

public slots:
    // Replaces every edit with what the model holds.
    void load();
    void save();

private:
    struct Row {
        SettingsSwitch *isOn;
        QLineEdit *label;
        QComboBox *type;
        QWidget *options;
        QCheckBox *required;
        QCheckBox *employeeList;
    };
    QCoro::Task<> runSave(KioskSettings form);
    void showSlots();
    void readRow(int slot);
    void setMessage(std::optional<QString> text, bool isError);
    void updateControls();

    QPointer<AppModel> m_model;
    QString m_place;
    QList<FieldSlot> m_slots;
    bool m_isSaving = false;
    std::optional<QString> m_message;
    bool m_showing = false; // set while controls are filled from the rows

    QLineEdit *m_placeField;
    QList<Row> m_rows;
    QLabel *m_caption;
    QPushButton *m_save;
};
