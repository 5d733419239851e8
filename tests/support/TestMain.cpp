#include "TestMain.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <cstdio>
#include <map>
#include <string>

namespace {
struct Entry {
    TestRegistry::Factory factory;
    bool listed = true;
};

std::map<std::string, Entry> &registry() {
    static std::map<std::string, Entry> tests;
    return tests;
}

// Runs one class. When skips fail the run, QTest also logs to a file, whose SKIP lines
// are then counted as failures.
int run(QObject *test, std::vector<char *> args) {
    if (!TestRegistry::skipsFail())
        return QTest::qExec(test, int(args.size()), args.data());
    QTemporaryFile log;
    if (!log.open())
        qFatal("cannot create the test log file");
    QByteArray toFile = log.fileName().toLocal8Bit() + ",txt";
    QByteArray toConsole = "-,txt", option = "-o";
    args.insert(args.end(), {option.data(), toConsole.data(), option.data(), toFile.data()});
    int failures = QTest::qExec(test, int(args.size()), args.data());
    QFile file(log.fileName());
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.startsWith("SKIP"))
                continue;
            std::fprintf(stdout,
                         "FAIL!  : a test skipped where every service must be there:\n  %s\n",
                         line.constData());
            ++failures;
        }
    }
    std::fflush(stdout);
    return failures;
}
} // namespace

int TestRegistry::add(const char *name, Factory factory, bool listed) {
    registry().emplace(name, Entry{std::move(factory), listed});
    return 0;
}

bool TestRegistry::skipsFail() {
    const QString ci = qEnvironmentVariable("CI").trimmed().toLower();
    return !ci.isEmpty() && ci != u"0" && ci != u"false" && ci != u"no";
}

// Usage: <area>_tests [Class [QTest options and test functions]]
int TestRegistry::main(int argc, char *argv[], const ApplicationFactory &makeApplication) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // What the desk keeps on disk (sign-ins waiting for the backend) stays out of the
    // user's own data folder.
    QTemporaryDir dataHome;
    if (dataHome.isValid())
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    const std::unique_ptr<QCoreApplication> app = makeApplication(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("GreetwellTests"));
    QCoreApplication::setApplicationName(QStringLiteral("GreetwellTests"));

    if (argc > 1 && argv[1][0] != '-') {
        auto it = registry().find(argv[1]);
        if (it == registry().end()) {
            qCritical("No test class named %s", argv[1]);
            return 2;
        }
        auto test = it->second.factory();
        // QTest sees the program name followed by the remaining arguments.
        std::vector<char *> args{argv[0]};
        for (int i = 2; i < argc; ++i)
            args.push_back(argv[i]);
        return run(test.get(), args);
    }
    int failures = 0;
    for (auto &[name, entry] : registry()) {
        if (!entry.listed)
            continue;
        auto test = entry.factory();
        failures += run(test.get(), std::vector<char *>(argv, argv + argc));
    }
    return failures;
}
