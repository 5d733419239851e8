#include "ui/MainWindow.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Greetwell"));
    QApplication::setApplicationName(QStringLiteral("Greetwell"));
    QApplication::setDesktopFileName(QStringLiteral("app.greetwell.desk"));

    MainWindow window;
    window.resize(1024, 680);
    window.show();
    return app.exec();
}
