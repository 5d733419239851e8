#pragma once

#include <QByteArray>

// JSON written with single quotes, which read better in C++ strings.
inline QByteArray J(const char *text) {
    return QByteArray(text).replace('\'', '"');
}
