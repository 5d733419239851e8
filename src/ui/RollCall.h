#pragma once

#include "records/Records.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPageSize>
#include <QString>
#include <optional>

class AppModel;
class QPagedPaintDevice;

// The fire roll call: everyone the desk holds as on site, on full pages, with a box to
// tick by hand beside each name. Drawn from the desk's last list, so it works with the
// backend out of reach, and then says how old that list is.
struct RollCall {
    QString placeName;
    QList<VisitorRow> onSite;
    std::optional<QDateTime> asOf; // the last refresh that worked; none before the first
    bool offline = false;          // that refresh is not the latest attempt
    Clock clock;

    // What the desk holds right now.
    static RollCall fromModel(const AppModel &model);

    // "as of Dec 7, 2026 at 9:41 AM", or "Offline — list as of 09:41".
    QString asOfText() const;
};

// A4, or US Letter where the locale's country uses it.
QPageSize rollCallPageSize(const QLocale &locale);

// Draws every page onto `device` (already set up with its page size); false when a page
// could not be started.
bool paintRollCall(QPagedPaintDevice &device, const RollCall &rollCall);

// The same pages as a PDF document; empty when no PDF could be drawn.
QByteArray rollCallPDF(const RollCall &rollCall);

// Writes the PDF to `path` atomically: empty on success, else what went wrong (an earlier
// file there is then left as it was).
QString writeRollCallPDF(const RollCall &rollCall, const QString &path);

// The printer a roll call goes to: the default unless it is the label printer, else the
// first other installed printer; empty when there is none.
QString chooseRollCallPrinter(const QString &defaultPrinter, const QStringList &installed,
                              const QString &labelPrinter);

// Prints to `printerName`, or to the system's default printer unless that is the badge
// printer (`labelPrinter`), in which case to another full-page printer. Empty on
// success, else what went wrong.
QString printRollCall(const RollCall &rollCall, const QString &labelPrinter,
                      const QString &printerName = {});
