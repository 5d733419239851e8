#pragma once

#include <QList>
#include <QString>

// The sidebar's sections, in the order they are listed.
enum class DeskSection { today, visitors, invites, employees };

inline QList<DeskSection> allDeskSections() {
    return {DeskSection::today, DeskSection::visitors, DeskSection::invites,
            DeskSection::employees};
}

// Also the section's identifier.
inline QString deskSectionLabel(DeskSection section) {
    switch (section) {
    case DeskSection::today:
        return QStringLiteral("Today");
    case DeskSection::visitors:
        return QStringLiteral("Visitors");
    case DeskSection::invites:
        return QStringLiteral("Invites");
    case DeskSection::employees:
        return QStringLiteral("Employees");
    }
    return {};
}

// A symbol name for Icons::symbol.
inline QString deskSectionIcon(DeskSection section) {
    switch (section) {
    case DeskSection::today:
        return QStringLiteral("sun.max");
    case DeskSection::visitors:
        return QStringLiteral("person.2");
    case DeskSection::invites:
        return QStringLiteral("envelope");
    case DeskSection::employees:
        return QStringLiteral("person.crop.rectangle.stack");
    }
    return {};
}
