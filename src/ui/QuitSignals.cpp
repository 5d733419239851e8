#include "QuitSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int quitSignalFds[2] = {-1, -1};

void onQuitSignal(int) {
    const char byte = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] const ssize_t written = ::write(quitSignalFds[0], &byte, 1);
}
} // namespace

void quitOnSignals(QCoreApplication &app) {
    if (quitSignalFds[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, quitSignalFds) != 0)
        return;
    auto *notifier = new QSocketNotifier(quitSignalFds[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier] {
        notifier->setEnabled(false);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
}
