#pragma once

#include <QObject>
#include <functional>
#include <memory>

// Each area's test executable holds several QObject test classes. GW_TEST registers one;
// the executable runs the class named by its first argument (ctest passes it), or all.
namespace TestRegistry {
using Factory = std::function<std::unique_ptr<QObject>()>;
int add(const char *name, Factory factory);
} // namespace TestRegistry

#define GW_TEST(Class)                                                                             \
    static const int gw_registered_##Class =                                                       \
        TestRegistry::add(#Class, [] { return std::unique_ptr<QObject>(new Class); });
// A test class that needs the local backend (see tests/support/BackendFixture.h).
#define GW_BACKEND_TEST(Class) GW_TEST(Class)
