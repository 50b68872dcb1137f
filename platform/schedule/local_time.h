// The wall clock of the house: the system's time zone, as the C library reads it (TZ, else
// /etc/localtime), daylight saving and all. Instants are seconds since the epoch, UTC.
#pragma once

#include <QDate>
#include <QString>

namespace platform::schedule {

// The instant the wall clock shows `minuteOfDay` on `date`. A time the clock skips (the hour
// lost in spring) is the first instant after the skip; a time it shows twice (the hour repeated
// in autumn) is the first of the two.
qint64 localInstant(const QDate &date, int minuteOfDay);
QDate localDate(qint64 instant);
// Seconds the wall clock is ahead of UTC at `instant`.
int localOffset(qint64 instant);
// "19:42", as the wall clock shows it then.
QString localClock(qint64 instant);

} // namespace platform::schedule
