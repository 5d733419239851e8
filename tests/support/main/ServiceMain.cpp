// The main of the areas that test the backend over HTTP alone: no desk, no GUI.

#include "support/TestMain.h"

int main(int argc, char *argv[]) {
    return TestRegistry::main(argc, argv, [](int &count, char **args) {
        return std::make_unique<QCoreApplication>(count, args);
    });
}
