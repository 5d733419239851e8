#include "cloud/VisitorQuery.h"

#include "model/Records.h"

QueryItems VisitorQuery::queryItems() const {
    QueryItems items;
    if (from)
        items.append(
            {QStringLiteral("signed_in_at"), QStringLiteral("gte.") + formatTimestamp(*from)});
    if (to)
        items.append(
            {QStringLiteral("signed_in_at"), QStringLiteral("lt.") + formatTimestamp(*to)});
    if (!search.trimmed().isEmpty())
        items.append({QStringLiteral("search_text"), QStringLiteral("ilike.") + searchPattern()});
    return items;
}

QString VisitorQuery::searchPattern() const {
    // The typed text matches literally: escape the pattern's own metacharacters.
    const QString text = search.trimmed().toLower();
    QString pattern;
    pattern.reserve(text.size() + 8);
    pattern += QLatin1Char('%');
    for (const QChar c : text) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('%') || c == QLatin1Char('_'))
            pattern += QLatin1Char('\\');
        pattern += c;
    }
    pattern += QLatin1Char('%');
    return pattern;
}
