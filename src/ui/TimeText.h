#pragma once

#include "model/Records.h"

#include <QRegularExpression>

// The locale's short time-of-day format without seconds: some locales (the C locale
// among them) put seconds into their "short" format.
inline QString shortTimeFormat(const QLocale &locale) {
    static const QRegularExpression seconds(QStringLiteral("[:.]ss?"));
    QString format = locale.timeFormat(QLocale::ShortFormat);
    format.remove(seconds);
    return format;
}

// A moment as the clock's locale writes a short time of day, without seconds.
inline QString shortTimeText(const QDateTime &moment, const Clock &clock) {
    return clock.locale.toString(moment.toTimeZone(clock.zone).time(),
                                 shortTimeFormat(clock.locale));
}
