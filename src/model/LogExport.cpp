#include "model/LogExport.h"

#include "cloud/CloudClient.h"
#include "model/Export.h"

#include <QFuture>
#include <QPromise>
#include <QSaveFile>
#include <QThreadPool>
#include <atomic>
#include <memory>
#include <qcoro/qcorofuture.h>
#include <stdexcept>

QString logFileSuffix(LogFormat format) {
    return format == LogFormat::pdf ? QStringLiteral("pdf") : QStringLiteral("csv");
}

QString proposedLogName(const QDate &today) {
    return QStringLiteral("Visitor Log ") + today.toString(Qt::ISODate);
}

namespace {

// What the worker thread hands back: the reason the file could not be written, if any.
struct WriteOutcome {
    bool cancelled = false;
    QString error;
};

// Builds the file and replaces `path` with it, unless the export is cancelled before the
// new file takes the old one's place. Runs on a worker thread; owns its rows, so they are
// also freed there.
WriteOutcome buildAndWrite(const QList<VisitorRow> &rows, LogFormat format, const QString &path,
                           const Clock &clock, const std::atomic_bool &cancelled) {
    const QByteArray bytes = format == LogFormat::pdf
                                 ? exportReport(rows, QStringLiteral("Visitor Log"), clock)
                                 : exportCSV(rows);
    if (cancelled)
        return {true, {}};
    // The report writer gives nothing when it cannot make a PDF; an empty file is no export.
    if (bytes.isEmpty())
        return {false, QStringLiteral("The PDF could not be created.")};
    QSaveFile file(path);
    // Written beside the target and renamed over it: a failure leaves the old file whole.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return {false, file.errorString()};
    // In pieces, so a cancel during a long write still stops before the file is replaced.
    constexpr qsizetype chunk = 4 << 20;
    for (qsizetype at = 0; at < bytes.size(); at += chunk) {
        if (cancelled) {
            file.cancelWriting();
            return {true, {}};
        }
        const QByteArrayView piece = QByteArrayView(bytes).sliced(at, qMin(chunk, bytes.size() - at));
        if (file.write(piece.data(), piece.size()) != piece.size())
            return {false, file.errorString()};
    }
    if (cancelled) {
        file.cancelWriting();
        return {true, {}};
    }
    if (!file.commit())
        return {false, file.errorString()};
    return {};
}

} // namespace

QCoro::Task<void> exportVisitorLog(CloudClient *cloud, VisitorQuery query, LogFormat format,
                                   QString path, CancellationToken cancel,
                                   std::function<void(qsizetype)> progress, Clock clock) {
    QList<VisitorRow> rows = co_await cloud->allVisitors(query, cancel, std::move(progress));
    cancel.throwIfCancelled();

    // The worker cannot read the token (it belongs to this thread); it watches a flag the
    // token sets.
    auto cancelled = std::make_shared<std::atomic_bool>(false);
    QObject watcher;
    const auto connection = cancel.onCancel(&watcher, [cancelled] { *cancelled = true; });

    auto promise = std::make_shared<QPromise<WriteOutcome>>();
    QFuture<WriteOutcome> done = promise->future();
    promise->start();
    auto work = [promise, cancelled, format, path, clock, rows = std::move(rows)]() mutable {
        WriteOutcome outcome;
        try {
            outcome = buildAndWrite(rows, format, path, clock, *cancelled);
        } catch (const std::exception &error) {
            outcome.error = QString::fromStdString(error.what());
        }
        rows = {};
        promise->addResult(outcome);
        promise->finish();
    };
    // Qt 6 draws text on any thread, so the report is built off the main thread too.
    QThreadPool::globalInstance()->start(std::move(work));
    const WriteOutcome outcome = co_await done;
    QObject::disconnect(connection);
    if (outcome.cancelled || cancel.isCancelled())
        throw Cancelled();
    if (!outcome.error.isEmpty())
        throw std::runtime_error(
            (QStringLiteral("The file could not be saved: ") + outcome.error).toStdString());
}
