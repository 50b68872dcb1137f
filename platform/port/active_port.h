// The process's one port. A write that fails is told once and the port carries on simulated, so
// the window keeps working whatever the hardware does. A real port is driven off before it is
// given up; one that could not be is not forgotten: if it was only busy, the next write of 0
// tries it again, the exit tries it once more, and says if its lights may still be on. The
// guardian always holds what to switch off should the program end without a word.
//
// An output that can come back (a relay board, a serial or ppdev device) is remembered by what it
// is. While it is away the writes go to the simulated record only; when the kernel tells of a
// device that may be it, it is opened again with every check of the first time and given one
// write, of the value the window holds then, and the port goes on with it.
#pragma once

#include "choice.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <chrono>
#include <functional>
#include <mutex>

class QTimer;

namespace platform::port {

class ActivePort : public QObject {
    Q_OBJECT
public:
    static ActivePort &instance();

    // Tells what the choice could not do as asked, or where it found the port.
    void use(Choice choice);
    void use(std::unique_ptr<Output> output, quint16 address);
    void write(quint16 address, quint16 value);
    Where where() const;
    // The lines after the last write: as read back where the output could tell, else as written.
    int held() const;
    // Whether the output in use is the one asked for or found: false while a simulated record
    // stands in for one that failed, was refused, or is away. Auto mode that found nothing lost
    // nothing, and is available.
    bool available() const;
    // In one line each: why the last write did not take (empty when it did), and why the output
    // in use stands in for the one asked for (empty while available).
    QString lastFailure() const;
    QString standingIn() const;

    // From here on, an output that goes away is noticed as it goes and taken again as it comes
    // back, and auto mode that found nothing takes the first USB relay board plugged in; all from
    // the kernel's events, on the event loop of the thread that calls this (the window's). Call
    // once the window shows; `paths` as for the choice.
    void watchForReturns(const SystemPaths &paths = {});

    // Whether a real port may still have lines high that the program set: its last write did
    // not take, and no write of 0 has taken since.
    bool lightsMayBeOn() const;
    // For the very end of the process, from any thread: every line low where it can be, waiting
    // at most a moment for a write under way. False when lights may still be on.
    bool switchOffForExit();
    // The close has begun: trouble is said on standard error only, never in a box that would
    // wait for a person.
    void closing();

signals:
    // Delivered through the event loop, so that the window hears of trouble found before it
    // existed, and never from inside one of its own handlers.
    void trouble(const QString &text);
    // The output in use went away or came back: not after a write (which tells by itself).
    void outputChanged();

private:
    enum class Away {
        No,     // the output in use is the one remembered, or there is nothing to remember
        Failed, // refused or failing while still there: passed over until it goes or is made anew
        Gone,   // not there: any device that appears may be it
    };

    void writeLocked(quint16 address, quint16 value);
    void giveUpLocked(const Outcome &outcome, quint16 value, bool record,
                      const std::function<QString(const Where &next)> &said);
    void letGo(std::unique_ptr<Output> failed, const Outcome &outcome, bool mayBeOn);
    void tryToSwitchOffStranded(bool evenIfNotBusy);
    void report(const QString &text);
    void sayOnce(const QString &text);
    void handOverToGuardian();

    // What a search that found nothing tried: the device wanted, not there at all.
    static bool notThere(const Attempt &attempt);
    // A board that goes again soon after its return is looked for less and less often.
    void slowDownIfNotStaying();
    void refuse(const QByteArray &device);
    void rewatch();
    void appeared(const QByteArray &node);
    void vanished(const QByteArray &node);
    void pace();
    void lookForReturn();

    mutable std::timed_mutex busy_; // the GUI's writes, and the one at exit from another thread
    Choice choice_;                 // what was asked and tried, for the words if the first write fails
    bool mayBeOn_ = false;          // the current output is real and a non-zero value went to it
    std::unique_ptr<Output> stranded_; // a real port that failed while its lights may be on
    Outcome strandedBy_;
    bool cleared_ = false;          // the last write was 0 and took
    bool closing_ = false;
    int held_ = 0;
    QString standInBecause_;        // while not available: why, in one line
    QString lastFailure_;           // the last write's failure, in one line; empty when it took
    quint16 value_ = 0;             // the window's last value: what an output that comes back is given

    Request remembered_;            // what finds the output again; Unknown: nothing can come back
    Away away_ = Away::No;
    // Devices (nodes, or a serial path) that were refused or failed while there, each with how it
    // was then (its inode and change time): not opened again until they go or are made anew, or
    // their owner or mode changes, so that the search goes on to another board, and one that
    // fails is not given the window's value at every event (its own arrival's among them).
    QHash<QByteArray, QByteArray> refused_;
    bool available_ = true;
    bool lostBefore_ = false;       // a loss was told in a box: the next ones only on standard error
    QSet<QString> said_;            // what was said while away, not said again until it is back

    // The event loop's side.
    SystemPaths paths_;
    bool watching_ = false;
    QPointer<QObject> watch_;
    QPointer<QTimer> retry_;        // armed only by an event, for an attempt that must wait its turn
    std::chrono::steady_clock::time_point lastLook_{}, backAt_{};
    std::chrono::seconds gap_{1};   // between attempts; doubled for a board that will not stay
};

} // namespace platform::port
