// Sunrise and sunset: the instant the sun's upper edge meets a level horizon (its centre 0.833°
// below it: refraction and the sun's radius), from libnova's solar positions.
#pragma once

#include "plan.h"

#include <optional>

namespace platform::schedule {

enum class Polar { No, Day, Night }; // a day without that crossing: the sun never sets, or never rises

// The sunrise (or sunset) between the instants `from` and `to` (a local day), in seconds since
// the epoch; nullopt, with `polar` saying why, when the sun does not cross the horizon that way
// then.
std::optional<double> sunCrossing(Anchor which, const Place &place, qint64 from, qint64 to, Polar *polar);

} // namespace platform::schedule
