#include "ui/GreetwellApp.h"
#include "ui/SingleInstance.h"

#include <BuildConfig.h>

#include <QApplication>
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

// A session logout or Ctrl+C ends the desk the way Quit does, so pending keychain
// writes and cancellations run instead of being cut off.
void quitOnSignals(QApplication &app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, quitSignalFds) != 0)
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
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}
} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Greetwell"));
    QApplication::setApplicationName(QStringLiteral("Greetwell"));
    QApplication::setApplicationVersion(QString::fromLatin1(BuildConfig::version));
    QApplication::setDesktopFileName(QStringLiteral("app.greetwell.desk"));

    SingleInstance instance;
    if (instance.forwardToRunning())
        return 0;
    instance.listen();
    quitOnSignals(app);

    GreetwellApp greetwell;
    QObject::connect(&instance, &SingleInstance::raiseRequested, &greetwell,
                     &GreetwellApp::raiseMainWindow);
    greetwell.show();
    return app.exec();
}
