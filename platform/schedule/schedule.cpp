#include "schedule.h"

#include "local_time.h"
#include "platform/port/words.h"
#include "platform/stderr_lines.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>

namespace platform::schedule {
namespace {

constexpr qint64 kDay = 24 * 3600;

QString sunWord(Anchor anchor) { return anchor == Anchor::Sunrise ? QStringLiteral("amanecer") : QStringLiteral("atardecer"); }

} // namespace

Schedule::Schedule(Hooks hooks, std::unique_ptr<Alarm> alarm, QObject *parent)
    : QObject(parent), hooks_(std::move(hooks)), alarm_(std::move(alarm))
{
    if (!hooks_.tell)
        hooks_.tell = [](const QString &line) { platform::say(line); };
    if (!hooks_.now)
        hooks_.now = [] { return QDateTime::currentSecsSinceEpoch(); };
    connect(alarm_.get(), &Alarm::rang, this, [this] { catchUp(false); });
}

void Schedule::tell(const QString &line) const { hooks_.tell(QStringLiteral("horario: ") + line); }

void Schedule::watch(const Source &source)
{
    const QString name = port::words::shown(QFile::encodeName(source.path));
    const auto read = [this, source, name] {
        QString why;
        const auto text = readHorario(source, &why);
        if (!text && why.isEmpty() && hadFile())
            tell(QStringLiteral("%1 ya no está: el horario queda apagado").arg(name));
        use(text, name, why);
    };
    watch_ = std::make_unique<FileWatch>(source.path);
    connect(watch_.get(), &FileWatch::changed, this, read);
    read();
}

void Schedule::use(const std::optional<QByteArray> &text, const QString &name, const QString &refused)
{
    if (text == text_ && (text || refused == whyOff_))
        return;
    const bool again = hadFile();
    text_ = text;
    plan_.reset();
    toldPolar_.clear();
    whyOff_ = refused;
    if (!refused.isEmpty())
        tell(refused);
    if (text) {
        ParseError error;
        plan_ = parsePlan(*text, hooks_.boxes, &error);
        sky_ = Sky(plan_ ? plan_->place : std::nullopt);
        if (!plan_) {
            whyOff_ = QStringLiteral("%1:%2: %3; el horario queda apagado").arg(name).arg(error.line).arg(error.why);
            tell(whyOff_);
        } else if (again) {
            tell(QStringLiteral("%1 leído de nuevo: %n eventos").arg(name).replace(QLatin1String("%n"), QString::number(plan_->events.size())));
        }
    }
    if (started_)
        arm(hooks_.now());
    emit changed();
}

void Schedule::start()
{
    started_ = true;
    catchUp(true);
}

// Everything that fell due since the last look: on time (at most kLatest late) it runs; later
// than that it is missed, and with al_iniciar = ultimo the latest missed selects in its stead.
void Schedule::catchUp(bool starting)
{
    const qint64 now = hooks_.now();
    // A clock set back replays nothing: what is behind it was done. A month asleep is enough to
    // count what was missed.
    const qint64 from = starting ? now - kDay : std::clamp(doneUntil_, now - 30 * kDay, now);
    doneUntil_ = now;
    if (!plan_) {
        alarm_->set(std::nullopt);
        return;
    }
    // Copies: a selection may let the event loop run, and an edit of the file replace the plan.
    std::vector<std::pair<qint64, Event>> missed, due;
    for (const Occurrence &occurrence : timeline(*plan_, hooks_.seed, from + 1, now + 1, &sky_).occurrences)
        (occurrence.at < now - kLatest ? missed : due).emplace_back(occurrence.at, plan_->events[size_t(occurrence.event)]);
    if (!missed.empty() && !starting)
        tell(QStringLiteral("%1 eventos pasaron sin ejecutarse, el último a las %2 (línea %3): la máquina estaba "
                           "suspendida, el reloj cambió o el programa no pudo atenderlos a tiempo")
                .arg(missed.size())
                .arg(localClock(missed.back().first))
                .arg(missed.back().second.line));
    if (!missed.empty() && due.empty() && plan_->restoreAtStart && missed.back().first > now - kDay)
        run(missed.back().second, missed.back().first, QStringLiteral("al_iniciar = ultimo: "));
    for (const auto &[at, event] : due)
        run(event, at);
    arm(hooks_.now());
}

void Schedule::run(const Event &event, qint64 at, const QString &why)
{
    const QString clock = localClock(at);
    const QString line = clock == event.when ? QStringLiteral("línea %1").arg(event.line)
                                             : QStringLiteral("línea %1, %2").arg(event.line).arg(event.when);
    const QString what = QStringLiteral("%1%2 (%3): %4").arg(why, clock, line, event.box);
    // Said before the selection: a message box it may open must not hold up the journal's line.
    tell(what);
    // A sunset again after the sunless days: the next such days are said again.
    if (const auto told = toldPolar_.find(event.line); told != toldPolar_.end() && localDate(at) > told->second)
        toldPolar_.erase(told);
    if (const QString failed = hooks_.select(event.box); !failed.isEmpty())
        tell(QStringLiteral("%1 no se hizo: %2").arg(what, failed));
}

// The alarm at the next event; the sky's gaps found on the way are said.
void Schedule::arm(qint64 now)
{
    if (!plan_ || plan_->events.empty()) {
        alarm_->set(std::nullopt);
        return;
    }
    sky_.forgetBefore(localDate(now).addDays(-2));
    // Near the poles the next sunset may be months away.
    for (const qint64 span : {2 * kDay, 9 * kDay, 40 * kDay, 400 * kDay}) {
        const Timeline ahead = timeline(*plan_, hooks_.seed, now + 1, now + span, &sky_);
        tellSkips(ahead);
        if (!ahead.occurrences.empty()) {
            alarm_->set(ahead.occurrences.front().at);
            return;
        }
    }
    alarm_->set(std::nullopt);
}

void Schedule::tellSkips(const Timeline &timeline)
{
    for (const Skip &skip : timeline.skips) {
        const Event &event = plan_->events[size_t(skip.event)];
        if (!toldPolar_.emplace(event.line, skip.date).second)
            continue;
        tell(QStringLiteral("línea %1: el %2 no hay %3 en %4, %5 (%6): el evento no se ejecuta los días sin él")
                .arg(event.line)
                .arg(skip.date.toString(QStringLiteral("dd/MM/yyyy")), sunWord(event.anchor))
                .arg(plan_->place->latitude)
                .arg(plan_->place->longitude)
                .arg(skip.polar == Polar::Day ? QStringLiteral("el sol no se pone") : QStringLiteral("el sol no sale")));
    }
}

Timeline Schedule::upcoming(qint64 seconds) const
{
    if (!plan_)
        return {};
    const qint64 now = hooks_.now();
    return timeline(*plan_, hooks_.seed, now, now + seconds, &sky_);
}

} // namespace platform::schedule
