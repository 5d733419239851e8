#include "cloud/VisitorQuery.h"

#include "records/Records.h"

QueryItems VisitorQuery::queryItems() const {
    QueryItems items;
    if (from)
        items.append(
            {QStringLiteral("signed_in_at"), QStringLiteral("gte.") + formatTimestamp(*from)});
    if (to)
        items.append(
            {QStringLiteral("signed_in_at"), QStringLiteral("lt.") + formatTimestamp(*to)});
    if (search.trimmed().isEmpty())
        return items;
    // The REST interface reads "*" in a like pattern as a wildcard, with no escape for it;
    // a search holding one goes as a case-insensitive regular expression of the literal
    // text instead, which the trigram index serves as well.
    if (search.contains(u'*'))
        items.append({QStringLiteral("search_text"), QStringLiteral("imatch.") + searchRegex()});
    else
        items.append({QStringLiteral("search_text"), QStringLiteral("ilike.") + searchPattern()});
    return items;
}

QString VisitorQuery::searchRegex() const {
    const QString text = search.trimmed().toLower();
    QString regex;
    regex.reserve(text.size() * 2);
    for (const QChar c : text) {
        // A backslash before anything but a letter or digit makes it literal.
        if (!c.isLetterOrNumber())
            regex += QLatin1Char('\\');
        regex += c;
    }
    return regex;
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
