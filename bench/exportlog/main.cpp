// bench_exportlog: the desk's visitor-log export against a real greetwell-backend, beside
// psql's \copy of the same rows. Started by bench/exportlog/run, which creates the server
// and the data; see there.
//
//   bench_exportlog --info INFO.json --email E --password P --out DIR [--keep DIR] [--no-pdf]
//
// Prints the time of each, their ratio, the export's peak memory against the JSON it
// received, and the longest stretch the main thread did not get to run its event loop.

#include "cloud/CloudClient.h"
#include "model/LogExport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <cstdio>
#include <memory>

namespace {

// A /proc/self/status figure in MiB (VmHWM, VmRSS).
double statusMiB(const char *key) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const auto match = QRegularExpression(QString::fromLatin1(key) + QStringLiteral(":\\s+(\\d+) kB"))
                           .match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toDouble() / 1024 : -1;
}

// Starts a new peak from the current resident size.
void resetPeak() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// Counts the body bytes of every answer: the JSON the export received.
class MeteredNetwork : public QNetworkAccessManager {
public:
    qint64 received = 0;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *data) override {
        QNetworkReply *reply = QNetworkAccessManager::createRequest(op, request, data);
        auto last = std::make_shared<qint64>(0);
        connect(reply, &QNetworkReply::downloadProgress, this, [this, last](qint64 bytes, qint64) {
            received += bytes - *last;
            *last = bytes;
        });
        return reply;
    }
};

// Ticks every 2 ms on the main thread and keeps the longest gap between two ticks.
class StallMeter : public QObject {
public:
    StallMeter() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(2);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_longest = qMax(m_longest, m_clock.restart());
        });
    }
    void start() {
        m_longest = 0;
        m_clock.start();
        m_timer.start();
    }
    qint64 stop() {
        m_timer.stop();
        return qMax(m_longest, m_clock.elapsed());
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
};

struct Run {
    double seconds = 0;
    double fetchSeconds = 0;
    qint64 pages = 0;
    double peakMiB = 0;
    qint64 stallMs = 0;
    qint64 jsonBytes = 0;
    QString error;
};

QCoro::Task<void> exportInto(CloudClient *cloud, LogFormat format, QString path,
                             std::shared_ptr<Run> run, QElapsedTimer *timer, QEventLoop *loop) {
    // Named locals, not temporaries, in the co_await: GCC 12 destroys some of those twice.
    std::function<void(qsizetype)> progress = [run, timer](qsizetype) {
        run->fetchSeconds = timer->nsecsElapsed() / 1e9;
        ++run->pages;
    };
    VisitorQuery everything;
    CancellationToken never;
    Clock clock;
    try {
        co_await exportVisitorLog(cloud, std::move(everything), format, path, never,
                                  std::move(progress), std::move(clock));
    } catch (const std::exception &error) {
        run->error = describeError(error);
    }
    loop->quit();
}

Run measure(CloudClient *cloud, MeteredNetwork *network, LogFormat format, const QString &path) {
    auto run = std::make_shared<Run>();
    StallMeter stalls;
    QEventLoop loop;
    resetPeak();
    const double base = statusMiB("VmRSS");
    const qint64 receivedBefore = network->received;
    QElapsedTimer clock;
    clock.start();
    stalls.start();
    exportInto(cloud, format, path, run, &clock, &loop);
    loop.exec();
    run->stallMs = stalls.stop();
    run->seconds = clock.nsecsElapsed() / 1e9;
    run->peakMiB = statusMiB("VmHWM") - base;
    run->jsonBytes = network->received - receivedBefore;
    return *run;
}

QCoro::Task<void> signIn(CloudClient *cloud, QString email, QString password, QString *error,
                         QEventLoop *loop) {
    try {
        co_await cloud->signIn(email, password);
    } catch (const std::exception &e) {
        *error = describeError(e);
    }
    loop->quit();
}

// psql's \copy of the same rows in the same order, as CSV with a header; seconds, or -1.
double timeCopy(const QString &dsn, const QUuid &owner, const QString &path) {
    const QString sql =
        QStringLiteral("\\copy (select visitor_name, host_name, answers, signed_in_at, "
                       "signed_out_at, list_name, device_name from public.visitors where "
                       "owner_id = '%1' order by signed_in_at desc) to '%2' with (format csv, "
                       "header)")
            .arg(owner.toString(QUuid::WithoutBraces), path);
    QProcess psql;
    QElapsedTimer clock;
    clock.start();
    psql.start(QStringLiteral("psql"),
               {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-d"), dsn,
                QStringLiteral("-c"), sql});
    if (!psql.waitForFinished(300000) || psql.exitCode() != 0) {
        std::fprintf(stderr, "psql failed: %s\n", psql.readAllStandardError().constData());
        return -1;
    }
    return clock.nsecsElapsed() / 1e9;
}

const char *verdict(bool met) {
    return met ? "met" : "MISSED";
}

} // namespace

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QString infoPath, email, password, out, keep;
    bool pdf = true;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString &arg = args[i];
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (arg == QLatin1String("--info"))
            infoPath = next, ++i;
        else if (arg == QLatin1String("--email"))
            email = next, ++i;
        else if (arg == QLatin1String("--password"))
            password = next, ++i;
        else if (arg == QLatin1String("--out"))
            out = next, ++i;
        else if (arg == QLatin1String("--keep"))
            keep = next, ++i;
        else if (arg == QLatin1String("--no-pdf"))
            pdf = false;
    }
    QFile infoFile(infoPath);
    if (infoPath.isEmpty() || out.isEmpty() || !infoFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "usage: bench_exportlog --info INFO.json --email E --password P "
                             "--out DIR [--keep DIR] [--no-pdf]\n");
        return 2;
    }
    const QJsonObject info = QJsonDocument::fromJson(infoFile.readAll()).object();
    const QUrl url(info.value(QStringLiteral("url")).toString());
    if (url.host() != QLatin1String("127.0.0.1") && url.host() != QLatin1String("localhost")) {
        std::fprintf(stderr, "only a loopback backend is accepted\n");
        return 2;
    }

    MeteredNetwork network;
    CloudClient cloud(&network, std::make_shared<MemorySessionStore>(),
                      {url, url, info.value(QStringLiteral("apikey")).toString()});
    QString error;
    {
        QEventLoop loop;
        signIn(&cloud, email, password, &error, &loop);
        if (error.isEmpty() && !cloud.isSignedIn())
            loop.exec();
    }
    if (!error.isEmpty() || !cloud.isSignedIn()) {
        std::fprintf(stderr, "sign-in failed: %s\n", qPrintable(error));
        return 1;
    }
    const QString dsn = info.value(QStringLiteral("database")).toString();
    const QString dir = keep.isEmpty() ? out : keep;

    // The first \copy warms the database's cache for both sides; the second is timed.
    timeCopy(dsn, cloud.session()->userID, QDir(out).filePath(QStringLiteral("warm.csv")));
    const double copySeconds =
        timeCopy(dsn, cloud.session()->userID, QDir(dir).filePath(QStringLiteral("copy.csv")));

    const Run csv = measure(&cloud, &network, LogFormat::csv,
                            QDir(dir).filePath(QStringLiteral("Visitor Log.csv")));
    if (!csv.error.isEmpty()) {
        std::fprintf(stderr, "CSV export failed: %s\n", qPrintable(csv.error));
        return 1;
    }
    const double jsonMiB = csv.jsonBytes / 1048576.0;
    QFile written(QDir(dir).filePath(QStringLiteral("Visitor Log.csv")));
    // Lines are joined by CRLF after the header: one per row.
    qint64 rows = 0;
    if (written.open(QIODevice::ReadOnly))
        rows = written.readAll().count("\r\n");
    std::printf("rows: %lld (%lld pages of 1,000), %.1f MiB of JSON received\n",
                static_cast<long long>(rows), static_cast<long long>(csv.pages),
                jsonMiB);
    std::printf("psql \\copy: %.3f s\n", copySeconds);
    std::printf("CSV export: %.3f s (fetch and decode %.3f s, build and write %.3f s), "
                "%.1f MiB written\n",
                csv.seconds, csv.fetchSeconds, csv.seconds - csv.fetchSeconds,
                written.size() / 1048576.0);
    const double ratio = copySeconds > 0 ? csv.seconds / copySeconds : 0;
    const double memoryRatio = jsonMiB > 0 ? csv.peakMiB / jsonMiB : 0;
    std::printf("CSV export / psql \\copy: %.2fx (target at most 3x: %s)\n", ratio,
                verdict(ratio > 0 && ratio <= 3));
    std::printf("peak memory of the export: %.1f MiB = %.2fx the JSON (target at most 2x: %s)\n",
                csv.peakMiB, memoryRatio, verdict(memoryRatio <= 2));
    std::printf("longest main-thread stall: %lld ms (target at most 100 ms: %s)\n",
                static_cast<long long>(csv.stallMs), verdict(csv.stallMs <= 100));
    bool met = ratio > 0 && ratio <= 3 && memoryRatio <= 2 && csv.stallMs <= 100;

    if (pdf) {
        const Run report = measure(&cloud, &network, LogFormat::pdf,
                                   QDir(dir).filePath(QStringLiteral("Visitor Log.pdf")));
        if (!report.error.isEmpty()) {
            std::fprintf(stderr, "PDF export failed: %s\n", qPrintable(report.error));
            return 1;
        }
        std::printf("PDF export: %.3f s (fetch and decode %.3f s, build and write %.3f s), "
                    "peak memory %.1f MiB, longest main-thread stall %lld ms (target at most "
                    "100 ms: %s)\n",
                    report.seconds, report.fetchSeconds, report.seconds - report.fetchSeconds,
                    report.peakMiB, static_cast<long long>(report.stallMs),
                    verdict(report.stallMs <= 100));
        met = met && report.stallMs <= 100;
    }
    return met ? 0 : 1;
}
