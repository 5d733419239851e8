#pragma once

#include <QMetaType>
#include <QString>

// How printing one badge ended.
enum class BadgePrintResult {
    printed,
    skipped,  // automatic printing is off
    failed,   // the print job did not complete, or the print dialog was cancelled
    noPrinter // the chosen printer is gone, or there is no printer at all
};

// The text shown for a failed print, or an empty string when there is nothing to say.
QString badgePrintResultMessage(BadgePrintResult result);

Q_DECLARE_METATYPE(BadgePrintResult)
