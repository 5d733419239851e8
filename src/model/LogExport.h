#pragma once

// Saving the visitor log as a file: every record of a query, fetched page by page, built
// into a CSV or a PDF report and written atomically. The building and writing run on a
// worker thread so a long log never freezes the window.

#include "cloud/Cancellation.h"
#include "cloud/VisitorQuery.h"
#include "records/Records.h"

#include <QDate>
#include <QString>
#include <functional>
#include <qcoro/qcorotask.h>

class CloudClient;

enum class LogFormat { csv, pdf };

// "csv" or "pdf", without the dot.
QString logFileSuffix(LogFormat format);
// "Visitor Log 2026-03-01": the name the save dialog proposes, without the extension.
QString proposedLogName(const QDate &today);

// Fetches every row matching `query` (allVisitors), builds the file and writes it to
// `path`. `progress` hears the rows fetched so far after each page. Fails with the
// fetch's or the write's error, leaving any earlier file untouched; a cancelled export
// writes nothing and throws Cancelled. Callers inside a coroutine pass named locals, not
// temporaries: GCC 12 destroys some temporaries of a co_await expression twice.
QCoro::Task<void> exportVisitorLog(CloudClient *cloud, VisitorQuery query, LogFormat format,
                                   QString path, CancellationToken cancel = {},
                                   std::function<void(qsizetype)> progress = {}, Clock clock = {});
