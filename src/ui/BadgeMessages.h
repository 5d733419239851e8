#pragma once

#include "badge/BadgePrinter.h"

#include <QString>
#include <optional>

// What the screens tell the operator about a badge that did not print; nothing when it
// printed or was not meant to.
inline std::optional<QString> badgeProblemText(BadgePrintResult result) {
    switch (result) {
    case BadgePrintResult::failed:
        return QStringLiteral("The badge didn't print. Check the printer and try again.");
    case BadgePrintResult::noPrinter:
        return QStringLiteral("No printer is available. Choose one in Settings > Badges.");
    case BadgePrintResult::printed:
    case BadgePrintResult::skipped:
        break;
    }
    return std::nullopt;
}
