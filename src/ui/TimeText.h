#pragma once

#include "model/Records.h"

#include <QRegularExpression>

// A moment as the clock's locale writes a short time of day, without seconds: some
// locales (the C locale among them) put seconds into their "short" format.
inline QString shortTimeText(const QDateTime &moment, const Clock &clock) {
    static const QRegularExpression seconds(QStringLiteral("[:.]ss?"));
    QString format = clock.locale.timeFormat(QLocale::ShortFormat);
    format.remove(seconds);
    return clock.locale.toString(moment.toTimeZone(clock.zone).time(), format);
}
