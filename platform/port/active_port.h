// The process's one port. A write that fails is told once and the port carries on simulated, so
// the window keeps working whatever the hardware does. A real port is driven off before it is
// given up; one that could not be is not forgotten: if it was only busy, the next write of 0
// tries it again, the exit tries it once more, and says if its lights may still be on. The
// guardian always holds what to switch off should the program end without a word.
#pragma once

#include "choice.h"

#include <QObject>

#include <mutex>

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
    // False while the output in use stands in for one that was asked for or found and failed: a
    // fallback to the simulated port after a failed write, or a refused TENVALIA_PORT form. Auto
    // mode that found nothing lost nothing, and is available.
    bool available() const;
    // In one line each: why the last write did not take (empty when it did), and why the output
    // in use stands in for the one asked for (empty while available).
    QString lastFailure() const;
    QString standingIn() const;

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

private:
    void writeLocked(quint16 address, quint16 value);
    void tryToSwitchOffStranded(bool evenIfNotBusy);
    void report(const QString &text);
    void handOverToGuardian();

    mutable std::timed_mutex busy_; // the GUI's writes, and the one at exit from another thread
    Choice choice_;                 // what was asked and tried, for the words if the first write fails
    bool mayBeOn_ = false;          // the current output is real and a non-zero value went to it
    std::unique_ptr<Output> stranded_; // a real port that failed while its lights may be on
    Outcome strandedBy_;
    bool cleared_ = false;          // the last write was 0 and took
    bool closing_ = false;
    int held_ = 0;
    bool standIn_ = false;          // the output in use stands in for one asked for or found
    QString standInBecause_;        // why, in one line
    QString lastFailure_;           // the last write's failure, in one line; empty when it took
};

} // namespace platform::port
