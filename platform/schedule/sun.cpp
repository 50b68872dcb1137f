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
    // The transit nearest the day's middle, then the hour angle of the horizon at it.
    double jd = julianDay(double(from + to) / 2);
    for (int turn = 0; turn < 3; ++turn)
        jd -= hourAngle(jd, place, sunOfDate(jd)) / kSiderealDay;
    const ln_equ_posn atNoon = sunOfDate(jd);
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
        const ln_equ_posn sun = sunOfDate(jd);
        const double angle = hourAngle(jd, place, sun);
        const double rate = kSiderealDay * std::cos(radians(sun.dec)) * std::cos(lat) * std::sin(radians(angle));
        if (std::abs(rate) < 1e-6)
            break;
        const double change = (altitude(place, sun, angle) - kHorizon) / rate;
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
