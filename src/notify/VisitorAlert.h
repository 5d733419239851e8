#pragma once

#include "records/Records.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

// One sign-in or sign-out, as the hosts are told about it.
struct VisitorAlert {
    enum class Event { signIn, signOut };

    Event event = Event::signIn;
    QString visitorName;
    QList<VisitorAnswer> answers;
    std::optional<QString> hostName;
    QDateTime date;
    bool operator==(const VisitorAlert &) const = default;

    // "sign_in" / "sign_out", the values the generic JSON receiver sees.
    static QString rawValue(Event event);
    static std::optional<Event> eventFromRaw(const QString &raw);

    // Copies name, answers and host from the record. A sign-in is dated by its sign-in
    // time; a sign-out by its sign-out time, or `now` when the record has none yet.
    // A blank host name counts as no host, so no text ever reads "has arrived to see ".
    static VisitorAlert fromRow(const VisitorRow &row, Event event,
                                const QDateTime &now = QDateTime::currentDateTime());
};

// The fixed message the Alerts settings send to try a webhook.
VisitorAlert testAlert(const QDateTime &moment = QDateTime::currentDateTime());
