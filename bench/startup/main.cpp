// How long the desk takes from process start to its first painted window, and how much
// memory it holds once idle with 500 visitors on site, each beside a bare Qt window
// measured the same way in the same run.
//
//   bench_startup --url URL --apikey KEY --email E --password P [--runs N] [--on-site N]
//
// The account is signed in once, into a keychain item of its own (run it under a private
// Secret Service: bench/startup/run does). Each run then starts this program again as a
// child: either the desk as src/app/main.cpp builds it, on that keychain item and fresh
// preferences, or a bare window of the same size. The child notes the time once its first
// window has painted; the desk then waits for its on-site list, both idle for a while,
// and report their memory. Desk and bare runs alternate, after one warm-up of each.
#include "cloud/CloudClient.h"
#include "cloud/KeychainSessionStore.h"
#include "model/AppModel.h"
#include "ui/GreetwellApp.h"
#include "ui/QuitSignals.h"

#include <QApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <qcorotask.h>

namespace {
constexpr double startTarget = 1.5, memoryTarget = 2.0;
constexpr int idleMs = 3000;

// The system-wide monotonic clock, shared by the parent and its children.
qint64 monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

qint64 procField(const char *file, const char *field) {
    QFile status(QString::fromLatin1(file));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const auto match =
        QRegularExpression(QString::fromLatin1(field) + QStringLiteral(":\\s+(\\d+) kB"))
            .match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// Prints the time when the first top-level window has painted (the queued call runs once
// the repaint, and its flush to the screen, is over), then calls `painted`.
class FirstPaint : public QObject {
public:
    std::function<void()> painted;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (!m_seen && event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget *>(watched)->isWindow()) {
            m_seen = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    std::printf("painted %lld\n", static_cast<long long>(monotonicNs()));
                    std::fflush(stdout);
                    if (painted)
                        painted();
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    bool m_seen = false;
};

void reportMemoryAndQuit() {
    std::printf("memory %lld %lld\n", procField("/proc/self/status", "VmRSS"),
                procField("/proc/self/smaps_rollup", "Pss"));
    std::fflush(stdout);
    QCoreApplication::quit();
}

// The desk, set up as src/app/main.cpp does (less the single-instance socket, which
// would hand the start to a desk already running for this user).
int runDesk(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Greetwell"));
    QApplication::setApplicationName(QStringLiteral("Greetwell"));
    QApplication::setDesktopFileName(QStringLiteral("app.greetwell.desk"));
    quitOnSignals(app);
    FirstPaint probe;
    app.installEventFilter(&probe);

    const QStringList args = app.arguments();
    const CloudClient::Config config{QUrl(args[2]), QUrl(args[2]), args[3]};
    QSettings preferences(args[5], QSettings::IniFormat);
    const qsizetype onSite = args[6].toLongLong();
    GreetwellApp desk(std::make_shared<KeychainSessionStore>(args[4]), &preferences, config);
    AppModel *model = desk.model();
    const auto idleThenReport = [] { QTimer::singleShot(idleMs, &reportMemoryAndQuit); };
    probe.painted = [&] {
        if (model->onSite().size() >= onSite)
            return idleThenReport();
        QObject::connect(model, &AppModel::onSiteChanged, &app, [&] {
            if (model->onSite().size() >= onSite) {
                QObject::disconnect(model, &AppModel::onSiteChanged, &app, nullptr);
                idleThenReport();
            }
        });
    };
    // A desk that never loads its list ends without a memory figure.
    QTimer::singleShot(60'000, &app, &QCoreApplication::quit);
    desk.show();
    return app.exec();
}

int runBare(int argc, char *argv[]) {
    QApplication app(argc, argv);
    FirstPaint probe;
    app.installEventFilter(&probe);
    probe.painted = [] { QTimer::singleShot(idleMs, &reportMemoryAndQuit); };
    QWidget window;
    window.resize(1024, 680);
    window.show();
    return app.exec();
}

struct Run {
    double startMs = -1;
    double rssMiB = -1, pssMiB = -1;
};

Run oneRun(const QString &self, const QStringList &args) {
    QProcess child;
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.setStandardErrorFile(QProcess::nullDevice());
    const qint64 started = monotonicNs();
    child.start(self, args);
    if (!child.waitForFinished(90'000)) {
        child.kill();
        child.waitForFinished();
        return {};
    }
    Run run;
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.value(0) == "painted" && words.size() == 2)
            run.startMs = (words[1].toLongLong() - started) / 1e6;
        else if (words.value(0) == "memory" && words.size() == 3) {
            run.rssMiB = words[1].toLongLong() / 1024.0;
            run.pssMiB = words[2].toLongLong() / 1024.0;
        }
    }
    return run;
}

double median(QList<double> values) {
    values.removeIf([](double v) { return v < 0; });
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QByteArray loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray("?");
}

int fail(const char *message) {
    std::fprintf(stderr, "bench_startup: %s\n", message);
    return 2;
}
} // namespace

int main(int argc, char *argv[]) {
    if (argc >= 7 && qstrcmp(argv[1], "--desk") == 0)
        return runDesk(argc, argv);
    if (argc >= 2 && qstrcmp(argv[1], "--bare") == 0)
        return runBare(argc, argv);

    QCoreApplication app(argc, argv);
    QString url, apikey, email, password;
    int runs = 5, onSite = 500;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString &name = args[i], &value = args[i + 1];
        if (name == u"--url")
            url = value;
        else if (name == u"--apikey")
            apikey = value;
        else if (name == u"--email")
            email = value;
        else if (name == u"--password")
            password = value;
        else if (name == u"--runs")
            runs = std::max(1, value.toInt());
        else if (name == u"--on-site")
            onSite = std::max(0, value.toInt());
    }
    if (url.isEmpty() || apikey.isEmpty() || email.isEmpty() || password.isEmpty())
        return fail("usage: bench_startup --url URL --apikey KEY --email E --password P "
                    "[--runs N] [--on-site N]");
    if (!QUrl(url).host().startsWith(QLatin1String("127.")))
        return fail("only a loopback backend is accepted");

    // The session goes into an item of its own, removed again at the end.
    const QString service = KeychainSessionStore::defaultService() + QStringLiteral(".bench-") +
                            QUuid::createUuid().toString(QUuid::Id128);
    {
        QNetworkAccessManager network;
        auto store = std::make_shared<KeychainSessionStore>(service);
        CloudClient client(&network, store, CloudClient::Config{QUrl(url), QUrl(url), apikey});
        try {
            QCoro::waitFor(client.signIn(email, password));
        } catch (const CloudError &error) {
            std::fprintf(stderr, "sign-in failed: %s\n", qPrintable(error.description()));
            return 2;
        }
        if (!store->flush() || !KeychainSessionStore(service).load())
            return fail("no Secret Service kept the session (run through bench/startup/run)");
    }
    QTemporaryDir home;
    const QString self = QCoreApplication::applicationFilePath();
    const QStringList deskArgs{"--desk",
                               url,
                               apikey,
                               service,
                               home.filePath(QStringLiteral("Greetwell.conf")),
                               QString::number(onSite)};

    QList<double> deskStart, bareStart, deskRss, bareRss, deskPss, barePss;
    for (int i = 0; i <= runs; ++i) {
        const Run desk = oneRun(self, deskArgs);
        const Run bare = oneRun(self, {"--bare"});
        if (desk.startMs < 0 || desk.rssMiB < 0)
            std::fprintf(stderr, "run %d: the desk did not paint or load its on-site list\n", i);
        if (i == 0) // warm-up: the binaries and libraries into the page cache
            continue;
        deskStart << desk.startMs;
        bareStart << bare.startMs;
        deskRss << desk.rssMiB;
        bareRss << bare.rssMiB;
        deskPss << desk.pssMiB;
        barePss << bare.pssMiB;
    }
    KeychainSessionStore(service).save(std::nullopt);

    const double ds = median(deskStart), bs = median(bareStart);
    const double dr = median(deskRss), br = median(bareRss);
    const double startRatio = ds > 0 && bs > 0 ? ds / bs : -1;
    const double memoryRatio = dr > 0 && br > 0 ? dr / br : -1;
    const bool startOk = startRatio > 0 && startRatio <= startTarget;
    const bool memoryOk = memoryRatio > 0 && memoryRatio <= memoryTarget;
    std::printf("platform %s; %d runs each after a warm-up; load average %s\n",
                qgetenv("QT_QPA_PLATFORM").constData(), runs, loadAverage().constData());
    std::printf("start to first painted window (median)\n");
    std::printf("  desk, signed in: %.0f ms\n", ds);
    std::printf("  bare Qt window: %.0f ms\n", bs);
    std::printf("  desk / bare: %.2fx (target at most %.1fx: %s)\n", startRatio, startTarget,
                startOk ? "met" : "MISSED");
    std::printf("idle memory, resident (median; proportional set size in brackets)\n");
    std::printf("  desk, %d visitors on site: %.1f MiB (%.1f MiB)\n", onSite, dr,
                median(deskPss));
    std::printf("  bare Qt window: %.1f MiB (%.1f MiB)\n", br, median(barePss));
    std::printf("  desk / bare: %.2fx (target at most %.1fx: %s)\n", memoryRatio, memoryTarget,
                memoryOk ? "met" : "MISSED");
    return startOk && memoryOk ? 0 : 1;
}
