#include "JsonWriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace {
void writeString(const QString &text, QByteArray &out) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20) {
                out += "\\u00";
                out += hex[byte >> 4];
                out += hex[byte & 0xF];
            } else {
                out += c; // UTF-8 continuation and lead bytes pass through untouched
            }
        }
    }
    out += '"';
}

void write(const QJsonValue &value, QByteArray &out) {
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        out += "null";
        break;
    case QJsonValue::Bool:
        out += value.toBool() ? "true" : "false";
        break;
    case QJsonValue::Double: {
        // Numbers are rare here; let Qt's own writer pick their shortest exact form.
        const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        out += text.mid(1, text.size() - 2);
        break;
    }
    case QJsonValue::String:
        writeString(value.toString(), out);
        break;
    case QJsonValue::Array: {
        out += '[';
        bool first = true;
        for (const QJsonValue &item : value.toArray()) {
            if (!first)
                out += ',';
            first = false;
            write(item, out);
        }
        out += ']';
        break;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        // Sort by code point: comparing the UTF-8 bytes gives exactly that order.
        QList<QByteArray> keys;
        for (const QString &key : object.keys())
            keys.append(key.toUtf8());
        std::sort(keys.begin(), keys.end());
        out += '{';
        bool first = true;
        for (const QByteArray &key : keys) {
            if (!first)
                out += ',';
            first = false;
            const QString name = QString::fromUtf8(key);
            writeString(name, out);
            out += ':';
            write(object.value(name), out);
        }
        out += '}';
        break;
    }
    }
}
} // namespace

QByteArray compactJson(const QJsonValue &value) {
    QByteArray out;
    write(value, out);
    return out;
}
