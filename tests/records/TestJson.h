#pragma once

#include <QByteArray>

// JSON written with single quotes, which read better in C++ strings (and moc cannot
// parse raw string literals).
inline QByteArray J(const char *text) {
    return QByteArray(text).replace('\'', '"');
}
