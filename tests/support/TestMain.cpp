#include "TestMain.h"

#include <QApplication>
#include <QTest>
#include <map>
#include <string>

namespace {
std::map<std::string, TestRegistry::Factory> &registry() {
    static std::map<std::string, TestRegistry::Factory> tests;
    return tests;
}
} // namespace

int TestRegistry::add(const char *name, Factory factory) {
    registry().emplace(name, std::move(factory));
    return 0;
}

// Usage: <area>_tests [Class [QTest options and test functions]]
int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("GreetwellTests"));
    QApplication::setApplicationName(QStringLiteral("GreetwellTests"));

    if (argc > 1 && argv[1][0] != '-') {
        auto it = registry().find(argv[1]);
        if (it == registry().end()) {
            qCritical("No test class named %s", argv[1]);
            return 2;
        }
        auto test = it->second();
        // QTest sees the program name followed by the remaining arguments.
        std::vector<char *> args{argv[0]};
        for (int i = 2; i < argc; ++i)
            args.push_back(argv[i]);
        return QTest::qExec(test.get(), int(args.size()), args.data());
    }
    int failures = 0;
    for (auto &[name, factory] : registry()) {
        auto test = factory();
        failures += QTest::qExec(test.get(), argc, argv);
    }
    return failures;
}
