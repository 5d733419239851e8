#include "VisitorAlert.h"

QString VisitorAlert::rawValue(Event event) {
    switch (event) {
    case Event::signIn:
        return QStringLiteral("sign_in");
    case Event::signOut:
        return QStringLiteral("sign_out");
    }
    return {};
}

std::optional<VisitorAlert::Event> VisitorAlert::eventFromRaw(const QString &raw) {
    if (raw == QLatin1String("sign_in"))
        return Event::signIn;
    if (raw == QLatin1String("sign_out"))
        return Event::signOut;
    return std::nullopt;
}

VisitorAlert VisitorAlert::fromRow(const VisitorRow &row, Event event, const QDateTime &now) {
    VisitorAlert alert;
    alert.event = event;
    alert.visitorName = row.visitorName;
    alert.answers = row.answers;
    if (row.hostName && !row.hostName->trimmed().isEmpty())
        alert.hostName = row.hostName;
    alert.date = event == Event::signIn ? row.signedInAt : row.signedOutAt.value_or(now);
    return alert;
}

VisitorAlert testAlert(const QDateTime &moment) {
    VisitorAlert alert;
    alert.event = VisitorAlert::Event::signIn;
    alert.visitorName = QStringLiteral("Test Visitor");
    alert.answers = {{QStringLiteral("Note"), QStringLiteral("This is a test from Greetwell.")}};
    alert.date = moment;
    return alert;
}
