#include "badge/BadgePrintResult.h"

QString badgePrintResultMessage(BadgePrintResult result) {
    switch (result) {
    case BadgePrintResult::failed:
        return QStringLiteral("The badge didn't print. Check the printer and try again.");
    case BadgePrintResult::noPrinter:
        return QStringLiteral("No printer is available. Choose one in Settings > Badges.");
    case BadgePrintResult::printed:
    case BadgePrintResult::skipped:
        break;
    }
    return {};
}
