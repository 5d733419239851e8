#pragma once

#include <QCoreApplication>
#include <QObject>
#include <functional>
#include <memory>

// Each area's test executable holds several QObject test classes. GW_TEST registers one;
// the executable runs the class named by its first argument (ctest passes it), or all.
//
// Tests skip only when a service they need (keychain, print system, local backend) is
// missing. Where every service must be there (CI set to a true value, as CI and
// scripts/test do), a skip fails the run, so a broken install step cannot pass as green.
namespace TestRegistry {
using Factory = std::function<std::unique_ptr<QObject>()>;
// An unlisted class runs only when named, never in a run of all classes.
int add(const char *name, Factory factory, bool listed = true);
// True when a skip must fail the run.
bool skipsFail();
// The body of each area's main (support/main/): runs the classes the command line names
// inside the application `makeApplication` makes.
using ApplicationFactory = std::function<std::unique_ptr<QCoreApplication>(int &, char **)>;
int main(int argc, char *argv[], const ApplicationFactory &makeApplication);
} // namespace TestRegistry

#define GW_TEST(Class)                                                                             \
    static const int gw_registered_##Class =                                                       \
        TestRegistry::add(#Class, [] { return std::unique_ptr<QObject>(new Class); });
// A test class that needs the local backend (see tests/support/BackendFixture.h).
#define GW_BACKEND_TEST(Class) GW_TEST(Class)
