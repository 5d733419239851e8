#include "ui/GreetwellApp.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Greetwell"));
    QApplication::setApplicationName(QStringLiteral("Greetwell"));
    QApplication::setDesktopFileName(QStringLiteral("app.greetwell.desk"));

    GreetwellApp greetwell;
    greetwell.show();
    return app.exec();
}
