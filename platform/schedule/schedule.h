// The house's schedule: each event of the file, at its time, selects its box through whoever the
// program hands it. One alarm on the wall clock waits for the next event; nothing else wakes.
#pragma once

#include "horario_file.h"
#include "plan.h"
#include "timeline.h"
#include "wall_alarm.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <map>

namespace platform::schedule {

// An event more than this late (the machine slept, the program was not running) is missed.
constexpr qint64 kLatest = 60;

class Schedule : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        Boxes boxes;
        // Selects a box (its ASCII name, or kNoBox); says why it was not done, empty when it was.
        std::function<QString(const QString &box)> select;
        std::function<qint64()> now;                    // seconds since the epoch
        quint64 seed = 0;                               // azar's draws
        std::function<void(const QString &line)> tell;  // one line for standard error
    };
    Schedule(Hooks hooks, std::unique_ptr<Alarm> alarm, QObject *parent = nullptr);

    // Reads the file now, and again each time it changes.
    void watch(const Source &source);
    // A file's text as read; nullopt: none, the schedule is off, and `refused` says why when
    // there is a file but it was refused. `name` names it on standard error. The same text again
    // changes nothing.
    void use(const std::optional<QByteArray> &text, const QString &name, const QString &refused = {});
    // Call once the program has made its start's write: runs what is due, and with
    // al_iniciar = ultimo selects what the latest event missed in the last 24 hours selected.
    void start();

    // What the next `seconds` hold.
    Timeline upcoming(qint64 seconds) const;
    // The schedule in force; null when it is off.
    const Plan *plan() const { return plan_ ? &*plan_ : nullptr; }
    // Why it is off, as standard error heard it: the file refused, or its first wrong line. Empty
    // while it is on, and while there is no file.
    QString whyOff() const { return whyOff_; }

signals:
    // The file was read again and the schedule is another, or off, or on again.
    void changed();

private:
    void catchUp(bool starting);
    void run(const Event &event, qint64 at, const QString &why = {});
    void arm(qint64 now);
    void tellSkips(const Timeline &timeline);
    void tell(const QString &line) const;
    // A file was there when last read, good, wrong or refused.
    bool hadFile() const { return text_ || !whyOff_.isEmpty(); }

    Hooks hooks_;
    std::unique_ptr<Alarm> alarm_;
    std::unique_ptr<FileWatch> watch_;
    std::optional<Plan> plan_;
    mutable Sky sky_; // the plan's place's: each look ahead goes over the same days
    std::optional<QByteArray> text_; // as last read
    QString whyOff_;
    qint64 doneUntil_ = 0;           // every event up to here has run or was missed
    bool started_ = false;
    std::map<int, QDate> toldPolar_; // lines whose sunless days were said, from which day
};

} // namespace platform::schedule
