#include "sun.h"

#include <libnova/julian_day.h>
#include <libnova/precession.h>
#include <libnova/sidereal_time.h>
#include <libnova/solar.h>
#include <libnova/utility.h>

#include <cmath>

namespace platform::schedule {
namespace {

constexpr double kHorizon = -0.833;      // degrees: the centre of the sun when its edge meets the horizon
constexpr double kSiderealDay = 360.985647; // degrees the sky turns in a day
// Terrestrial minus universal time. libnova's own guess for the 2020s is twice the measured
// value (IERS: 69.2 s in 2024, hardly moving since 2016); a minute of it moves the sun 0.2 s.
constexpr double kDeltaT = 69.0;

double julianDay(double instant) { return instant / 86400.0 + 2440587.5; }
double radians(double degrees) { return degrees * M_PI / 180.0; }

// libnova 0.16 gives the sun's apparent position against the equinox of J2000, while the sky's
// turning (sidereal time) is of date: the equinox has moved 0.36° since, and sunrise and sunset
// came 80 to 90 s early in 2026. Precessed to the date, they agree with NOAA's to seconds.
ln_equ_posn sunOfDate(double jd)
{
    const double jde = jd + kDeltaT / 86400.0;
    ln_equ_posn j2000{}, ofDate{};
    ln_get_solar_equ_coords(jde, &j2000);
    ln_get_equ_prec2(&j2000, JD2000, jde, &ofDate);
    return ofDate;
}

// The sun's place through one day: worked out by libnova at the day's start, middle and end, and
// drawn as the parabola through the three. Each place in full is libnova's whole theory of the
// Earth's orbit, thousands of terms: three instead of seven for each sunrise made the schedule's
// start three times cheaper, and moved 50 000 sunrises and sunsets (latitudes -45 to 70, two
// years) by 2 s at most, where the sun only grazed the horizon, and under 1 s everywhere else.
class SunPath {
public:
    SunPath(double from, double to) : from_(from), span_(to - from)
    {
        for (int i = 0; i < 3; ++i) {
            places_[i] = sunOfDate(from + span_ * i / 2);
            if (i) // through 0h, not back round
                places_[i].ra = places_[i - 1].ra + std::remainder(places_[i].ra - places_[i - 1].ra, 360.0);
        }
    }
    ln_equ_posn at(double jd) const
    {
        // Lagrange's weights for the nodes 0, 1/2 and 1.
        const double t = (jd - from_) / span_;
        const double w0 = 2 * (t - 0.5) * (t - 1), w1 = -4 * t * (t - 1), w2 = 2 * t * (t - 0.5);
        return {w0 * places_[0].ra + w1 * places_[1].ra + w2 * places_[2].ra,
                w0 * places_[0].dec + w1 * places_[1].dec + w2 * places_[2].dec};
    }

private:
    double from_, span_;
    ln_equ_posn places_[3];
};

// The sun's hour angle, -180..180 degrees, west of the meridian positive.
double hourAngle(double jd, const Place &place, const ln_equ_posn &sun)
{
    return std::remainder(ln_get_apparent_sidereal_time(jd) * 15.0 + place.longitude - sun.ra, 360.0);
}

double altitude(const Place &place, const ln_equ_posn &sun, double hourAngle)
{
    const double lat = radians(place.latitude), dec = radians(sun.dec);
    return std::asin(std::sin(lat) * std::sin(dec) + std::cos(lat) * std::cos(dec) * std::cos(radians(hourAngle))) * 180.0 / M_PI;
}

} // namespace

std::optional<double> sunCrossing(Anchor which, const Place &place, qint64 from, qint64 to, Polar *polar)
{
    *polar = Polar::No;
    const SunPath sun(julianDay(double(from)), julianDay(double(to)));
    // The transit nearest the day's middle, then the hour angle of the horizon at it.
    double jd = julianDay(double(from + to) / 2);
    for (int turn = 0; turn < 3; ++turn)
        jd -= hourAngle(jd, place, sun.at(jd)) / kSiderealDay;
    const ln_equ_posn atNoon = sun.at(jd);
    const double lat = radians(place.latitude), dec = radians(atNoon.dec);
    const double cosH0 = (std::sin(radians(kHorizon)) - std::sin(lat) * std::sin(dec)) / (std::cos(lat) * std::cos(dec));
    if (std::abs(cosH0) >= 1) {
        *polar = cosH0 > 0 ? Polar::Night : Polar::Day;
        return std::nullopt;
    }
    const double sign = which == Anchor::Sunrise ? -1 : 1;
    jd += sign * std::acos(cosH0) * 180.0 / M_PI / kSiderealDay;
    // Newton's steps on the altitude, with the sun where it is at each.
    for (int step = 0; step < 5; ++step) {
        const ln_equ_posn there = sun.at(jd);
        const double angle = hourAngle(jd, place, there);
        const double rate = kSiderealDay * std::cos(radians(there.dec)) * std::cos(lat) * std::sin(radians(angle));
        if (std::abs(rate) < 1e-6)
            break;
        const double change = (altitude(place, there, angle) - kHorizon) / rate;
        jd += change;
        if (std::abs(change) < 1e-7) // under a hundredth of a second
            break;
    }
    const double instant = (jd - 2440587.5) * 86400.0;
    if (instant < double(from) || instant >= double(to)) {
        // Near the polar circles the crossing may fall on the day before or after.
        *polar = cosH0 > 0 ? Polar::Night : Polar::Day;
        return std::nullopt;
    }
    return instant;
}

} // namespace platform::schedule
