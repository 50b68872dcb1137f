// The schedule as a door to the window: each event of horario.conf selects its box through the
// switchboard, with origin "horario", as a selection from D-Bus or MQTT does; what the schedule
// holds is there for the session bus to tell.
#pragma once

#include "schedule.h"

#include <QObject>
#include <QPointer>

#include <vector>

namespace platform::schedule {

struct Upcoming {
    qint64 at = 0;   // seconds since the epoch
    int offset = 0;  // seconds the house's wall clock is ahead of UTC then
    QString box;     // a box's ASCII name, or kNoBox
    int line = 0;    // in the file, from 1
    QString text;    // that line, as the file writes it
};

struct Listing {
    bool on = false;
    QString file;   // where the schedule is read from, as the person may read it
    QString whyOff; // why it is off, as standard error said it; empty while on, or with no file
    std::vector<Upcoming> events;
};

class ScheduleDoor : public QObject {
    Q_OBJECT
public:
    static ScheduleDoor &instance();

    // Reads the file, watches it, and from then on selects at each event. Once, in the copy that
    // has remote control, after the window has shown and made its start's write.
    void start();
    // The next `seconds`, soonest first.
    Listing listing(qint64 seconds) const;
    bool on() const;

signals:
    // On, off, or another schedule.
    void changed();

private:
    ScheduleDoor() = default;
    QPointer<Schedule> schedule_; // the application's child: it goes before the event loop does
    QString whyNone_;             // why it could not start
};

// azar's seed: the same on this machine at every start, so that a restart keeps the day's draws,
// and unrelated to any other machine's.
quint64 machineSeed();

} // namespace platform::schedule
