#pragma once

// The visitor log as a file: a CSV of every record, and a printable PDF report. Both are
// pure functions of the rows (and, for the report, the clock); they never fail.

#include "records/Records.h"

#include <QByteArray>
#include <QList>
#include <QString>

// UTF-8 without a byte-order mark. Columns: Name, Visiting, one per answer label (in order
// of first appearance, "Answer" for an empty label), Signed in, Signed out, List, Device.
// Every cell is quoted; cells starting with = + - @ tab or carriage return get a leading
// apostrophe so spreadsheets do not run them as formulas. Lines end in CRLF, the last one
// in nothing.
QByteArray exportCSV(const QList<VisitorRow> &rows);

// A US Letter PDF: a header on every page (title, when it was generated and how many
// records, column headings), then fourteen rows per page. Empty when no PDF can be drawn.
QByteArray exportReport(const QList<VisitorRow> &rows, const QString &title,
                        const Clock &clock = {});

// The report's date style: the locale's abbreviated date and short time, e.g.
// "Mar 1, 2026 at 9:30 AM" in American English, in the clock's time zone.
QString reportDateText(const QDateTime &moment, const Clock &clock = {});
