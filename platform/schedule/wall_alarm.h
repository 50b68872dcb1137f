// One alarm on the wall clock: it rings at the instant set, and also when the clock is set or the
// machine wakes from suspend, since then every instant still to come must be looked at again.
// Between the two it costs no wake-up at all.
#pragma once

#include <QObject>

#include <memory>
#include <optional>

namespace platform::schedule {

class Alarm : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Seconds since the epoch; nullopt: none. Replaces the instant set before.
    virtual void set(std::optional<qint64> at) = 0;

signals:
    // The instant came, or the clock jumped: see what is due.
    void rang();
};

// On a timerfd of CLOCK_REALTIME, absolute and cancelled when the clock is set, read by the
// event loop. Null, with `error` set, when the kernel gives none.
std::unique_ptr<Alarm> wallAlarm(int *error);

} // namespace platform::schedule
