// How long the desk takes from a quit request to the end of its process while its
// requests hang, beside a bare Qt window measured the same way.
//
//   bench_quit [RUNS]
//
// Each run starts this program again as a child (offscreen): either the signed-in desk
// against a server here that accepts connections and never answers, or a bare window.
// Once the desk has requests in flight the child gets SIGTERM, which the desk treats as
// Quit; the figure is the time until the child has exited.
#include "cloud/CloudSession.h"
#include "ui/GreetwellApp.h"
#include "ui/QuitSignals.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>
#include <algorithm>
#include <cstdio>

namespace {
constexpr qint64 targetMs = 300;

int runDesk(int argc, char *argv[], const QString &url) {
    QApplication app(argc, argv);
    quitOnSignals(app);
    auto store = std::make_shared<MemorySessionStore>();
    store->stored =
        CloudSession{"access-token", "refresh-token", QDateTime::currentDateTimeUtc().addSecs(3600),
                     QUuid::createUuid(), "desk@example.com"};
    QTemporaryDir dir;
    QSettings preferences(dir.filePath("preferences.ini"), QSettings::IniFormat);
    GreetwellApp desk(
        store, &preferences,
        CloudClient::Config{QUrl(url), QUrl(url), "sb_publishable_bench-key-0123456789abcdef0123"});
    desk.show();
    return app.exec();
}

int runBare(int argc, char *argv[]) {
    QApplication app(argc, argv);
    quitOnSignals(app);
    QWidget window;
    window.resize(1024, 680);
    window.show();
    return app.exec();
}

struct Figures {
    qint64 median = 0, worst = 0;
};

// Starts the child, waits until it is busy, asks it to quit and times the exit.
qint64 oneRun(const QString &self, const QStringList &args, QTcpServer *hanging) {
    QList<QTcpSocket *> held;
    QProcess child;
    child.setStandardErrorFile(QProcess::nullDevice());
    child.start(self, args);
    if (!child.waitForStarted(10000))
        return -1;
    QElapsedTimer waited;
    waited.start();
    // The desk is busy once its first requests hang here; the bare window gets a while.
    while (waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        while (hanging && hanging->hasPendingConnections())
            held << hanging->nextPendingConnection();
        if (hanging ? held.size() >= 2 : waited.elapsed() >= 1500)
            break;
    }
    QThread::msleep(200);
    QElapsedTimer quitting;
    quitting.start();
    child.terminate();
    if (!child.waitForFinished(10000)) {
        child.kill();
        child.waitForFinished();
        return -1;
    }
    const qint64 ms = quitting.elapsed();
    qDeleteAll(held);
    return ms;
}

Figures measure(const QString &self, const QStringList &args, QTcpServer *hanging, int runs) {
    QList<qint64> times;
    for (int i = 0; i < runs; ++i) {
        const qint64 ms = oneRun(self, args, hanging);
        if (ms < 0) {
            std::fprintf(stderr, "run %d: the child did not start or did not exit\n", i + 1);
            continue;
        }
        times << ms;
    }
    if (times.isEmpty())
        return {};
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times.last()};
}
} // namespace

int main(int argc, char *argv[]) {
    if (argc >= 3 && qstrcmp(argv[1], "--desk") == 0)
        return runDesk(argc, argv, QString::fromLocal8Bit(argv[2]));
    if (argc >= 2 && qstrcmp(argv[1], "--bare") == 0)
        return runBare(argc, argv);

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    const int runs = argc >= 2 ? std::max(1, atoi(argv[1])) : 10;
    QTcpServer hanging;
    if (!hanging.listen(QHostAddress::LocalHost)) {
        std::fprintf(stderr, "cannot listen on loopback\n");
        return 1;
    }
    const QString url = QStringLiteral("http://127.0.0.1:%1").arg(hanging.serverPort());
    const QString self = QCoreApplication::applicationFilePath();

    const Figures desk = measure(self, {"--desk", url}, &hanging, runs);
    const Figures bare = measure(self, {"--bare"}, nullptr, runs);
    std::printf("quit to exit, %d runs each      median   worst\n", runs);
    std::printf("  desk, requests in flight  %6lld ms %5lld ms\n", (long long)desk.median,
                (long long)desk.worst);
    std::printf("  bare Qt window            %6lld ms %5lld ms\n", (long long)bare.median,
                (long long)bare.worst);
    std::printf("  target: desk worst under %lld ms: %s\n", (long long)targetMs,
                desk.worst > 0 && desk.worst < targetMs ? "met" : "MISSED");
    return 0;
}
