#pragma once

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <optional>

using QueryItems = QList<QPair<QString, QString>>;

// The visitor log filter: free text and an optional sign-in window [from, to).
struct VisitorQuery {
    QString search;
    std::optional<QDateTime> from;
    std::optional<QDateTime> to;
    bool operator==(const VisitorQuery &) const = default;

    // signed_in_at gte./lt. items, then search_text ilike. when the search is not blank
    // (imatch. when it holds a "*", which a like pattern cannot match literally).
    QueryItems queryItems() const;
    // The trimmed, lower-cased search with \, % and _ escaped, enclosed in %.
    QString searchPattern() const;
    // The trimmed, lower-cased search as a regular expression matching it literally.
    QString searchRegex() const;
};
