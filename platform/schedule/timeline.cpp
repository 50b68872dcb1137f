#include "timeline.h"

#include "local_time.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace platform::schedule {
namespace {

// splitmix64: a well-mixed number from any other, so that neighbouring days and lines draw
// unrelated amounts.
quint64 mixed(quint64 x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

} // namespace

std::optional<qint64> Sky::crossing(Anchor which, const QDate &date, Polar *polar)
{
    const auto key = std::pair(date.toJulianDay(), which);
    auto found = days_.find(key);
    if (found == days_.end()) {
        Day day;
        day.at = sunCrossing(which, *place_, localInstant(date, 0), localInstant(date.addDays(1), 0), &day.polar);
        found = days_.emplace(key, day).first;
    }
    *polar = found->second.polar;
    if (!found->second.at)
        return std::nullopt;
    return qint64(std::llround(*found->second.at));
}

void Sky::forgetBefore(const QDate &date)
{
    days_.erase(days_.begin(), days_.lower_bound(std::pair(date.toJulianDay(), Anchor::Clock)));
}

int drawnMinutes(quint64 seed, const QDate &date, int line, int spread)
{
    const quint64 draw = mixed(mixed(seed ^ quint64(date.toJulianDay())) ^ quint64(line));
    return int(draw % quint64(2 * spread + 1)) - spread;
}

Timeline timeline(const Plan &plan, quint64 seed, qint64 from, qint64 to, Sky *given)
{
    Timeline result;
    Sky own(plan.place);
    Sky &sky = given ? *given : own;
    // An event belongs to the day it is written for, and may land on the day before or after
    // (atardecer+300, azar): those days are looked at too.
    const QDate first = localDate(from), last = localDate(to);
    for (QDate date = first.addDays(-1); date <= last.addDays(1); date = date.addDays(1)) {
        const unsigned weekday = 1u << (date.dayOfWeek() - 1);
        for (int index = 0; index < int(plan.events.size()); ++index) {
            const Event &event = plan.events[size_t(index)];
            if (!(event.days & weekday))
                continue;
            qint64 at = 0;
            if (event.anchor == Anchor::Clock) {
                at = localInstant(date, event.minutes);
            } else {
                Polar polar = Polar::No;
                const auto sun = sky.crossing(event.anchor, date, &polar);
                if (!sun) {
                    if (date >= first && date <= last)
                        result.skips.push_back({index, date, polar});
                    continue;
                }
                at = *sun + qint64(event.minutes) * 60;
            }
            if (event.spread)
                at += qint64(drawnMinutes(seed, date, event.line, event.spread)) * 60;
            if (at >= from && at < to)
                result.occurrences.push_back({at, index});
        }
    }
    std::stable_sort(result.occurrences.begin(), result.occurrences.end(),
                     [](const Occurrence &a, const Occurrence &b) { return a.at < b.at; });
    return result;
}

} // namespace platform::schedule
