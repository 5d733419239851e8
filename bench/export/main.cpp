// Times the two visitor-log exports on a large log and reports their peak memory.
// Usage: bench_export [ROWS] [--keep DIR] [--only csv|pdf]
// (default 100000 rows; --keep writes the two files into DIR)

#include "model/Export.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <cstdio>
#include <ctime>

namespace {

// Peak resident memory since the last reset, in MiB (Linux: VmHWM).
double peakMiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const auto match = QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+) kB"))
                           .match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toDouble() / 1024 : -1;
}

QByteArray loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').value(0) : QByteArray("?");
}

// Processor time of this process so far, in seconds: on a busy machine the wall-clock
// figure also counts time spent waiting for a core.
double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

// Starts a new peak from the current resident size.
void resetPeak() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

QList<VisitorRow> makeRows(int count) {
    static const char *first[] = {"Ada", "Grace",   "Alan",   "Katherine", "Linus",  "Margaret",
                                  "Tim", "Barbara", "Dennis", "Frances",   "Edsger", "Radia"};
    static const char *last[] = {"Lovelace", "Hopper",      "Turing", "Johnson", "Torvalds",
                                 "Hamilton", "Berners-Lee", "Liskov", "Ritchie", "Allen"};
    static const char *hosts[] = {"Jordan Lee", "Sam Patel", "Priya Nair", "Chris Müller"};
    static const char *companies[] = {"Initech", "Globex, Inc.",     "Umbrella \"Labs\"",
                                      "=Hooli",  "Stark Industries", "Wayne Enterprises"};
    const QDateTime start(QDate(2025, 1, 6), QTime(8, 0), QTimeZone::utc());
    QList<VisitorRow> rows;
    rows.reserve(count);
    for (int i = 0; i < count; ++i) {
        VisitorRow row;
        row.id = QUuid::createUuid();
        row.visitorName = QString::fromUtf8(first[i % 12]) + QLatin1Char(' ') +
                          QString::fromUtf8(last[(i / 12) % 10]);
        if (i % 3 != 0)
            row.hostName = QString::fromUtf8(hosts[i % 4]);
        row.answers = {
            {QStringLiteral("Email"), QStringLiteral("visitor%1@example.com").arg(i)},
            {QStringLiteral("Phone"), QStringLiteral("+1 555 %1").arg(1000000 + i)},
            {QStringLiteral("Company"), QString::fromUtf8(companies[i % 6])},
        };
        if (i % 7 == 0)
            row.answers.append({QStringLiteral("Reason for visit"),
                                QStringLiteral("Quarterly planning review with the finance "
                                               "team, then a tour of the new lab on floor 3")});
        row.signedInAt = start.addSecs(qint64(i) * 317);
        if (i % 10 != 0)
            row.signedOutAt = row.signedInAt.addSecs(3600 + (i % 5) * 900);
        if (i % 5 == 0)
            row.listName = QStringLiteral("Contractors");
        row.deviceName = i % 2 ? QStringLiteral("Front Desk") : QStringLiteral("Lobby iPad");
        rows.append(row);
    }
    return rows;
}

void save(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
}

} // namespace

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    int count = 100000;
    QString keep, only;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--keep") && i + 1 < args.size())
            keep = args[++i];
        else if (args[i] == QLatin1String("--only") && i + 1 < args.size())
            only = args[++i];
        else
            count = args[i].toInt();
    }
    if (count < 0) {
        std::fprintf(stderr, "usage: bench_export [ROWS] [--keep DIR] [--only csv|pdf]\n");
        return 2;
    }

    const QList<VisitorRow> rows = makeRows(count);
    std::printf("rows: %d (resident after building them: %.0f MiB); load average %s\n", count,
                peakMiB(), loadAverage().constData());

    bool csvOk = true, pdfOk = true;
    if (only != QLatin1String("pdf")) {
        resetPeak();
        const double base = peakMiB();
        QElapsedTimer timer;
        const double cpu = cpuSeconds();
        timer.start();
        const QByteArray csv = exportCSV(rows);
        const double seconds = timer.nsecsElapsed() / 1e9;
        const double peak = peakMiB();
        std::printf("csv: %.3f s (%.3f s CPU), %.1f MiB written, peak resident %.0f MiB (+%.0f "
                    "MiB)\n",
                    seconds, cpuSeconds() - cpu, csv.size() / 1048576.0, peak, peak - base);
        csvOk = seconds < 1.0;
        std::printf("target: CSV under 1 s %s\n", csvOk ? "met" : "MISSED");
        if (!keep.isEmpty())
            save(QDir(keep).filePath(QStringLiteral("visitor-log.csv")), csv);
    }
    if (only != QLatin1String("csv")) {
        resetPeak();
        const double base = peakMiB();
        QElapsedTimer timer;
        const double cpu = cpuSeconds();
        timer.start();
        const QByteArray pdf = exportReport(rows, QStringLiteral("Visitor Log"));
        const double seconds = timer.nsecsElapsed() / 1e9;
        const double peak = peakMiB();
        const qsizetype pages = pdf.count("/Type /Page\n");
        std::printf("pdf: %.3f s (%.3f s CPU), %lld pages, %.1f MiB written, peak resident %.0f "
                    "MiB (+%.0f MiB)\n",
                    seconds, cpuSeconds() - cpu, static_cast<long long>(pages),
                    pdf.size() / 1048576.0, peak, peak - base);
        pdfOk = seconds <= 15.0;
        std::printf("target: PDF at most 15 s %s\n", pdfOk ? "met" : "MISSED");
        if (!keep.isEmpty())
            save(QDir(keep).filePath(QStringLiteral("visitor-log.pdf")), pdf);
    }
    return csvOk && pdfOk ? 0 : 1;
}
