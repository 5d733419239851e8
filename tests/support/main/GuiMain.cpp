// The main of the areas that draw (badges, reports) or watch the application's state
// without showing a window: a QGuiApplication, no widgets.

#include "support/TestMain.h"

#include <QGuiApplication>

int main(int argc, char *argv[]) {
    return TestRegistry::main(argc, argv, [](int &count, char **args) {
        return std::unique_ptr<QCoreApplication>(new QGuiApplication(count, args));
    });
}
