#pragma once

#include <QByteArray>
#include <QJsonValue>

// Compact JSON with object keys in ascending order and every "/" in a string written as
// "\/"; characters outside ASCII stay UTF-8. Webhook bodies are written this way.
QByteArray compactJson(const QJsonValue &value);
