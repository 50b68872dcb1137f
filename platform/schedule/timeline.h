// When a plan's events fall: each day's instants, by the house's wall clock and sun.
#pragma once

#include "plan.h"
#include "sun.h"

#include <QDate>

#include <vector>

namespace platform::schedule {

struct Occurrence {
    qint64 at;  // seconds since the epoch
    int event;  // index into the plan's events
};

// A day whose sunrise or sunset an event needs and does not have.
struct Skip {
    int event;
    QDate date;
    Polar polar;
};

struct Timeline {
    std::vector<Occurrence> occurrences; // by time, then in the file's order
    std::vector<Skip> skips;             // by date
};

// The events that fall in [from, to). `seed` makes each day's draws for azar; the same seed, day
// and line always draw the same.
Timeline timeline(const Plan &plan, quint64 seed, qint64 from, qint64 to);

// The minutes an event with azar `spread` moves on `date`: from -spread to +spread.
int drawnMinutes(quint64 seed, const QDate &date, int line, int spread);

} // namespace platform::schedule
