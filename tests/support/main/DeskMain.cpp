// The main of the areas that test the desk: its widgets need a QApplication.

#include "support/TestMain.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    return TestRegistry::main(argc, argv, [](int &count, char **args) {
        return std::unique_ptr<QCoreApplication>(new QApplication(count, args));
    });
}
