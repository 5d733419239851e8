#pragma once

#include "cloud/CloudError.h"

#include <QString>
#include <exception>

// The text a screen shows for the exception being handled. Call only inside a catch
// block; every task a screen starts ends in one.
inline QString caughtErrorText() {
    try {
        throw;
    } catch (const std::exception &error) {
        return describeError(error);
    } catch (...) {
        return QStringLiteral("Something went wrong.");
    }
}
