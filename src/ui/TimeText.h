#pragma once

#include "records/Records.h"

// A moment as the clock's locale writes a short time of day, without seconds.
inline QString shortTimeText(const QDateTime &moment, const Clock &clock) {
    return clock.locale.toString(moment.toTimeZone(clock.zone).time(),
                                 shortTimeFormat(clock.locale));
}
