#include "Icons.h"

#include <QFile>
#include <QHash>
#include <QStringList>

// The icons live in this static library; the executable never references their
// registration itself, so make sure it is linked in and run.
static void registerBundledIcons() {
    Q_INIT_RESOURCE(icons);
}

namespace {
// Freedesktop names tried in order; symbolic variants first because they suit toolbars
// and list rows better than full-colour ones.
const QHash<QString, QStringList> &themeNames() {
    static const QHash<QString, QStringList> names{
        {QStringLiteral("sun.max"), {"weather-clear-symbolic", "weather-clear"}},
        {QStringLiteral("person.2"), {"system-users-symbolic", "system-users", "user-group"}},
        {QStringLiteral("envelope"), {"mail-unread-symbolic", "mail-unread", "mail-message"}},
        {QStringLiteral("person.crop.rectangle.stack"),
         {"x-office-address-book-symbolic", "x-office-address-book", "address-book-new"}},
        {QStringLiteral("sidebar.left"), {"sidebar-show-symbolic", "sidebar-show"}},
        {QStringLiteral("person.badge.plus"), {"contact-new-symbolic", "contact-new"}},
        {QStringLiteral("exclamationmark.triangle"), {"dialog-warning-symbolic", "dialog-warning"}},
        {QStringLiteral("person.2.slash"), {"system-log-out-symbolic", "system-log-out"}},
        {QStringLiteral("printer"),
         {"printer-symbolic", "document-print-symbolic", "printer", "document-print"}},
        {QStringLiteral("person.crop.circle"),
         {"avatar-default-symbolic", "avatar-default", "user-identity"}},
        {QStringLiteral("plus"), {"list-add-symbolic", "list-add"}},
        {QStringLiteral("ellipsis.circle"), {"view-more-symbolic", "view-more-horizontal-symbolic"}},
    };
    return names;
}
} // namespace

QIcon Icons::bundled(const QString &name) {
    static const bool registered = (registerBundledIcons(), true);
    Q_UNUSED(registered);
    const QString path = QStringLiteral(":/greetwell/icons/%1.svg").arg(name);
    Q_ASSERT_X(QFile::exists(path), "Icons::bundled", qPrintable(name));
    return QIcon(path);
}

QIcon Icons::symbol(const QString &name) {
    for (const QString &themeName : themeNames().value(name)) {
        if (QIcon::hasThemeIcon(themeName))
            return QIcon::fromTheme(themeName);
    }
    return bundled(name);
}

QIcon Icons::appIcon() {
    return QIcon::fromTheme(QStringLiteral("app.greetwell.desk"),
                            bundled(QStringLiteral("greetwell")));
}
