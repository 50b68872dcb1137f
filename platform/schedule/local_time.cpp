#include "local_time.h"

#include <QDateTime>

#include <algorithm>
#include <ctime>
#include <vector>

namespace platform::schedule {
namespace {

std::tm brokenDown(qint64 instant)
{
    const std::time_t time = std::time_t(instant);
    std::tm local{};
    localtime_r(&time, &local);
    return local;
}

// What the wall clock shows at `instant`, counted as if it were UTC: comparable to a date and
// time wanted, and growing with the instant but where the clock is set back.
qint64 wallAt(qint64 instant) { return instant + brokenDown(instant).tm_gmtoff; }

} // namespace

qint64 localInstant(const QDate &date, int minuteOfDay)
{
    const qint64 wanted = QDateTime(date, QTime(0, 0), Qt::UTC).toSecsSinceEpoch() + qint64(minuteOfDay) * 60;
    // The offsets in force around then: one change of offset at most lies between them.
    std::vector<qint64> candidates;
    for (const qint64 around : {wanted - 36 * 3600, wanted, wanted + 36 * 3600})
        candidates.push_back(wanted - brokenDown(around).tm_gmtoff);
    std::sort(candidates.begin(), candidates.end());
    for (const qint64 instant : candidates)
        if (wallAt(instant) == wanted)
            return instant;
    // Skipped: the clock jumps from before it to after it somewhere between the candidates. The
    // first instant it shows a later time is when the skip ends.
    qint64 before = candidates.front(), after = candidates.back();
    while (after - before > 1) {
        const qint64 middle = before + (after - before) / 2;
        (wallAt(middle) >= wanted ? after : before) = middle;
    }
    return after;
}

QDate localDate(qint64 instant)
{
    const std::tm local = brokenDown(instant);
    return QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

int localOffset(qint64 instant) { return int(brokenDown(instant).tm_gmtoff); }

QString localClock(qint64 instant)
{
    const std::tm local = brokenDown(instant);
    return QStringLiteral("%1:%2").arg(local.tm_hour, 2, 10, QLatin1Char('0')).arg(local.tm_min, 2, 10, QLatin1Char('0'));
}

} // namespace platform::schedule
