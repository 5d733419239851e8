#include "Icons.h"

#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPalette>
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
        {QStringLiteral("info.circle"), {"dialog-information-symbolic", "dialog-information"}},
        {QStringLiteral("bell"),
         {"preferences-system-notifications-symbolic", "preferences-system-notifications"}},
        {QStringLiteral("plus"), {"list-add-symbolic", "list-add"}},
        {QStringLiteral("pencil"), {"document-edit-symbolic", "document-edit"}},
        {QStringLiteral("minus"), {"list-remove-symbolic", "list-remove"}},
        {QStringLiteral("list.bullet.rectangle"),
         {"view-list-bullet-symbolic", "view-list-symbolic", "view-list-details"}},
        {QStringLiteral("ellipsis.circle"), {"view-more-symbolic", "view-more-horizontal-symbolic"}},
    };
    return names;
}
} // namespace

namespace {
// Symbol icons are drawn in one colour. Themes ship them dark, which vanishes on a dark
// palette, so each pixmap takes the palette's text colour when it is drawn.
class TintedIconEngine : public QIconEngine {
public:
    explicit TintedIconEngine(QIcon base) : m_base(std::move(base)) {}

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        QPixmap pixmap =
            m_base.pixmap(size, scale, mode == QIcon::Selected ? QIcon::Normal : mode, state);
        if (pixmap.isNull())
            return pixmap;
        const QPalette palette = QGuiApplication::palette();
        QColor color = palette.color(QPalette::Active, QPalette::WindowText);
        if (mode == QIcon::Disabled)
            color = palette.color(QPalette::Disabled, QPalette::WindowText);
        else if (mode == QIcon::Selected)
            color = palette.color(QPalette::Active, QPalette::HighlightedText);
        QPainter tint(&pixmap);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(pixmap.rect(), color);
        return pixmap;
    }
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, scaledPixmap(rect.size(), mode, state, ratio));
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override {
        return m_base.actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return m_base.availableSizes(mode, state);
    }
    QIconEngine *clone() const override { return new TintedIconEngine(m_base); }
    QString key() const override { return QStringLiteral("greetwell-tinted"); }

private:
    QIcon m_base;
};
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
            return QIcon(new TintedIconEngine(QIcon::fromTheme(themeName)));
    }
    return QIcon(new TintedIconEngine(bundled(name)));
}

QIcon Icons::appIcon() {
    return QIcon::fromTheme(QStringLiteral("app.greetwell.desk"),
                            bundled(QStringLiteral("greetwell")));
}
