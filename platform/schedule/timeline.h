// When a plan's events fall: each day's instants, by the house's wall clock and sun.
#pragma once

#include "plan.h"
#include "sun.h"

#include <QDate>

#include <map>
#include <optional>
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

// Each local day's sunrise and sunset at one place, worked out once: a schedule keeps one as long
// as its plan, since every look ahead goes over the same days again.
class Sky {
public:
    explicit Sky(const std::optional<Place> &place = std::nullopt) : place_(place) {}
    std::optional<qint64> crossing(Anchor which, const QDate &date, Polar *polar);
    // Days before `date` will not be asked for again.
    void forgetBefore(const QDate &date);

private:
    struct Day {
        std::optional<double> at;
        Polar polar = Polar::No;
    };
    std::optional<Place> place_;
    std::map<std::pair<qint64, Anchor>, Day> days_;
};

// The events that fall in [from, to). `seed` makes each day's draws for azar; the same seed, day
// and line always draw the same. `sky`, when given, is the plan's place's.
Timeline timeline(const Plan &plan, quint64 seed, qint64 from, qint64 to, Sky *sky = nullptr);

// The minutes an event with azar `spread` moves on `date`: from -spread to +spread.
int drawnMinutes(quint64 seed, const QDate &date, int line, int spread);

} // namespace platform::schedule
