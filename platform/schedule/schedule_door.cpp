#include "schedule_door.h"

#include "local_time.h"
#include "platform/port/words.h"
#include "platform/remote/switchboard.h"
#include "platform/small_file.h"
#include "platform/stderr_lines.h"

#include <QCoreApplication>
#include <QFile>
#include <QMessageAuthenticationCode>
#include <QSysInfo>

#include <cstring>

namespace platform::schedule {

namespace {

QString shownPath(const QString &path) { return port::words::shown(QFile::encodeName(path)); }

} // namespace

quint64 machineSeed()
{
    // systemd asks that the machine's ID never be shown as it is, only hashed with a key of the
    // program's own: the draws can be seen from outside.
    QByteArray id;
    for (const char *path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        id = readSmallFile(QString::fromLatin1(path), 64).bytes.trimmed();
        if (!id.isEmpty())
            break;
    }
    if (id.isEmpty())
        id = QSysInfo::machineHostName().toUtf8();
    const QByteArray mac = QMessageAuthenticationCode::hash(id, "tenvalia azar", QCryptographicHash::Sha256);
    quint64 seed = 0;
    std::memcpy(&seed, mac.constData(), sizeof seed);
    return seed;
}

ScheduleDoor &ScheduleDoor::instance()
{
    static ScheduleDoor door;
    return door;
}

void ScheduleDoor::start()
{
    // A window that closed before the bus answered has no boxes left to name, nor to select.
    if (schedule_ || !whyNone_.isEmpty() || remote::Switchboard::instance().names().isEmpty())
        return;
    int error = 0;
    auto alarm = wallAlarm(&error);
    if (!alarm) {
        whyNone_ = QStringLiteral("el sistema no da alarmas de reloj (timerfd: %1); el horario queda apagado")
                       .arg(QString::fromLocal8Bit(std::strerror(error)));
        say(QStringLiteral("horario: ") + whyNone_);
        emit changed();
        return;
    }
    using remote::Switchboard;
    Schedule::Hooks hooks;
    hooks.boxes.find = [](const QString &written) {
        const Switchboard &board = Switchboard::instance();
        return board.nameOf(board.lookUp(written));
    };
    hooks.boxes.names = Switchboard::instance().names();
    hooks.select = [](const QString &box) {
        Switchboard &board = Switchboard::instance();
        const remote::Result result = board.select(board.lookUp(box), remote::Origin::Schedule);
        return result.done() ? QString() : result.reason;
    };
    hooks.seed = machineSeed();
    schedule_ = new Schedule(std::move(hooks), std::move(alarm), QCoreApplication::instance());
    connect(schedule_, &Schedule::changed, this, &ScheduleDoor::changed);
    schedule_->watch(horarioSource());
    schedule_->start();
}

Listing ScheduleDoor::listing(qint64 seconds) const
{
    Listing listing;
    listing.file = shownPath(horarioSource().path);
    if (!schedule_) {
        listing.whyOff = whyNone_.isEmpty() ? QStringLiteral("el horario aún no está en marcha") : whyNone_;
        return listing;
    }
    listing.whyOff = schedule_->whyOff();
    const Plan *plan = schedule_->plan();
    listing.on = plan;
    for (const Occurrence &occurrence : schedule_->upcoming(seconds).occurrences) {
        const Event &event = plan->events[size_t(occurrence.event)];
        listing.events.push_back({occurrence.at, localOffset(occurrence.at), event.box, event.line, event.text});
    }
    return listing;
}

bool ScheduleDoor::on() const { return schedule_ && schedule_->plan(); }

} // namespace platform::schedule
