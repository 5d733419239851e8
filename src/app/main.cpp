#include "ui/GreetwellApp.h"
#include "ui/QuitSignals.h"
#include "ui/SingleInstance.h"

#include <BuildConfig.h>

#include <QApplication>

#ifdef GREETWELL_TEST_HOOKS
#include "TestDriver.h"
#endif

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

    std::optional<CloudClient::Config> servers;
#ifdef GREETWELL_TEST_HOOKS
    servers = TestHooks::serversFromEnvironment();
    TestHooks::trustTestCertificates();
    TestDriver driver;
    driver.listen();
#endif
    GreetwellApp greetwell({}, nullptr, servers);
    QObject::connect(&instance, &SingleInstance::raiseRequested, &greetwell,
                     &GreetwellApp::raiseMainWindow);
    greetwell.show();
    return app.exec();
}
