#include "model/AppModel.h"

#include "cloud/CloudClient.h"

#include <QCollator>
#include <QSet>
#include <algorithm>

KioskSettings AppModel::cleanedForm(const KioskSettings &form) {
    KioskSettings cleaned;

    QList<KioskField> fields = form.fields;
    std::stable_sort(fields.begin(), fields.end(),
                     [](const KioskField &a, const KioskField &b) { return a.slot < b.slot; });
    bool hasNameField = false;
    for (KioskField &field : fields) {
        field.label = field.label.trimmed();
        if (field.slot == 0) {
            hasNameField = true;
            field.required = true;
            if (field.label.isEmpty())
                field.label = QStringLiteral("Name");
        } else if (field.label.isEmpty()) {
            field.label = QStringLiteral("Field %1").arg(field.slot + 1);
        }
    }
    // Every visitor record needs a name, so the form always asks for one.
    if (!hasNameField)
        fields.prepend(KioskSettings::defaults().fields.first());
    cleaned.fields = fields;

    QSet<QString> seen;
    for (const QString &raw : form.employees) {
        const QString name = raw.trimmed();
        if (name.isEmpty())
            continue;
        const QString key = name.toLower();
        if (seen.contains(key))
            continue;
        seen.insert(key);
        cleaned.employees.append(name);
    }
    // The order a file browser shows: case ignored, "Item 2" before "Item 10". The C
    // locale's collator compares code points only, so it stands in with English rules.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(
        cleaned.employees.begin(), cleaned.employees.end(),
        [&collator](const QString &a, const QString &b) { return collator.compare(a, b) < 0; });

    if (form.placeName) {
        const QString place = form.placeName->trimmed();
        if (!place.isEmpty())
            cleaned.placeName = place;
    }
    return cleaned;
}

QCoro::Task<void> AppModel::saveForm(KioskSettings form) {
    QPointer<AppModel> self(this);
    const KioskSettings cleaned = cleanedForm(form);
    co_await m_cloud->upsertSettings(QStringLiteral("kiosk_settings"), cleaned.toJson());
    if (!self)
        co_return;
    setSettings(cleaned);
    setHasSavedForm(true);
}

QCoro::Task<void> AppModel::saveNotifications(NotificationSettings notifications) {
    QPointer<AppModel> self(this);
    co_await m_cloud->upsertSettings(QStringLiteral("notification_settings"),
                                     notifications.toJson());
    if (!self)
        co_return;
    setNotifications(notifications);
}

QCoro::Task<void> AppModel::saveEmployee(std::optional<QString> oldName,
                                         std::optional<QString> newName, QString webhook) {
    QPointer<AppModel> self(this);
    KioskSettings settings = m_settings;
    NotificationSettings notifications = m_notifications;

    if (oldName)
        settings.employees.removeAll(*oldName);
    const QString trimmedName = newName ? newName->trimmed() : QString();
    if (!trimmedName.isEmpty())
        settings.employees.append(trimmedName);

    // The personal webhook follows the name: moved on a rename, dropped on removal or
    // when the field is cleared.
    if (oldName)
        notifications.employeeWebhooks.remove(*oldName);
    const QString trimmedWebhook = webhook.trimmed();
    if (!trimmedName.isEmpty() && !trimmedWebhook.isEmpty())
        notifications.employeeWebhooks.insert(trimmedName, trimmedWebhook);

    co_await saveForm(settings);
    if (!self)
        co_return;
    if (notifications != m_notifications)
        co_await saveNotifications(notifications);
}
