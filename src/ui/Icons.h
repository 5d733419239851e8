#pragma once

#include <QIcon>
#include <QString>

// Icons by the symbol names the screens use ("sun.max", "printer", ...). The desktop's
// icon theme is asked first so the desk matches the rest of the system; a drawing
// bundled with the app stands in wherever the theme has no such icon.
namespace Icons {
QIcon symbol(const QString &name);
// The bundled drawing alone, ignoring the theme.
QIcon bundled(const QString &name);
QIcon appIcon();
} // namespace Icons
