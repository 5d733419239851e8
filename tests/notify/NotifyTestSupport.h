#pragma once

#include "model/Records.h"
#include "notify/VisitorAlert.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

// Pinned to 2026-01-15 14:41:07.250 UTC, shown in New York (9:41 AM) in US English.
inline Clock fixedClock(const char *zone = "America/New_York", const char *locale = "en_US") {
    Clock clock;
    clock.now = [] {
        return QDateTime(QDate(2026, 1, 15), QTime(14, 41, 7, 250), QTimeZone::utc());
    };
    clock.zone = QTimeZone(zone);
    clock.locale = QLocale(QString::fromLatin1(locale));
    return clock;
}

// Some locales put a (narrow) no-break space before AM/PM; compare with a plain one.
inline QString plainSpaces(QString text) {
    return text.replace(QChar(0x202F), u' ').replace(QChar(0x00A0), u' ');
}

// Visitor V for host H, answers Company = C and an unlabelled 3.
inline VisitorRow sampleRow(std::optional<QString> host = QStringLiteral("H")) {
    VisitorRow row;
    row.visitorName = QStringLiteral("V");
    row.hostName = std::move(host);
    row.answers = {{QStringLiteral("Company"), QStringLiteral("C")},
                   {QString(), QStringLiteral("3")}};
    row.signedInAt = fixedClock().now();
    return row;
}

inline QJsonValue nodeAt(QJsonValue value, const QString &path) {
    for (const QString &step : path.split('/', Qt::SkipEmptyParts))
        value = value.isArray() ? value.toArray().at(step.toInt()) : value.toObject().value(step);
    return value;
}

// Compact JSON text of a value, for readable comparisons.
inline QString describe(const QJsonValue &value) {
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return plainSpaces(QString::fromUtf8(text.mid(1, text.size() - 2)));
}
inline QString describeAt(const QJsonValue &value, const QString &path) {
    return describe(nodeAt(value, path));
}
// An object as its sorted keys in braces, an array as its size in brackets.
inline QString describeShape(const QJsonValue &root, const QString &path) {
    const QJsonValue value = nodeAt(root, path);
    if (value.isArray())
        return '[' + QString::number(value.toArray().size()) + ']';
    QStringList keys = value.toObject().keys();
    keys.sort();
    return '{' + keys.join(',') + '}';
}
