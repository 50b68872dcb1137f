#include "active_port.h"

#include "guardian.h"
#include "simulated_output.h"
#include "words.h"
#include "platform/stderr_lines.h"

#include <QMetaObject>

#include <chrono>

namespace platform::port {

ActivePort &ActivePort::instance()
{
    static ActivePort port;
    return port;
}

void ActivePort::use(Choice choice)
{
    const std::lock_guard lock(busy_);
    choice_ = std::move(choice);
    mayBeOn_ = cleared_ = false;
    // Auto mode that found nothing stands in for nothing; a port it found and could not use does.
    standIn_ = choice_.refused && (choice_.request.mode != Request::Mode::Auto || choice_.personsPortRefused);
    standInBecause_ = standIn_ ? words::standingIn(choice_) : QString();
    lastFailure_.clear();
    if (const QString notice = words::notice(choice_); !notice.isEmpty())
        say(notice);
    if (const QString refusal = words::refusal(choice_); !refusal.isEmpty())
        report(refusal);
    handOverToGuardian();
}

void ActivePort::use(std::unique_ptr<Output> output, quint16 address)
{
    use(Choice{{}, address, std::move(output), {}, false, false});
}

void ActivePort::write(quint16 address, quint16 value)
{
    const std::lock_guard lock(busy_);
    writeLocked(address, value);
    handOverToGuardian();
}

void ActivePort::writeLocked(quint16 address, quint16 value)
{
    if (!choice_.output)
        choice_.output = stdoutOutput(choice_.address = address);
    const bool first = std::exchange(choice_.provesItself, false);
    const Outcome outcome = address == choice_.address ? choice_.output->write(value)
                                                       : Outcome{Step::Address, 0, value, -1, address};
    const Where lost = choice_.output->where();
    if (first && !outcome.ok() && choice_.standby) {
        // Nothing at the port's address: the relay board takes the very same first write.
        choice_.tried.push_back({lost, outcome});
        choice_.output = std::move(choice_.standby);
        choice_.provesItself = true;
        say(words::notice(choice_));
        return writeLocked(address, value);
    }
    choice_.standby.reset();
    // A value that did not take may have reached some lines all the same.
    if (isReal(lost.kind) && (value & 0xFF) != 0)
        mayBeOn_ = true;
    else if (outcome.ok())
        mayBeOn_ = false;
    cleared_ = outcome.ok() && value == 0;
    if (value == 0 && stranded_)
        tryToSwitchOffStranded(false);
    if (outcome.ok()) {
        held_ = outcome.readBack >= 0 ? outcome.readBack : value & 0xFF;
        lastFailure_.clear();
        return;
    }
    lastFailure_ = words::notReached(lost, outcome);

    // Standard output is where every failed port goes on; once it fails too, nothing is recorded.
    auto failed = std::exchange(choice_.output, lost.kind == Kind::Stdout ? silentOutput() : stdoutOutput(choice_.address));
    // Before it is given up, every line off as far as it still answers; a board that lost its
    // power keeps nothing on.
    if (std::exchange(mayBeOn_, false) && !(poweredByItsCable(lost.kind) && outcome.step == Step::Gone)) {
        if (const Outcome off = failed->write(0); !off.ok()) {
            stranded_ = std::move(failed);
            strandedBy_ = off;
        }
    }
    if (outcome.step != Step::Address && !choice_.output->write(value).ok())
        choice_.output = silentOutput();
    held_ = value & 0xFF; // as the simulated output now has it
    // What was asked for, or found, is lost; direct I/O that auto mode tried unseen, whose first
    // write shows there is no port, was never there to lose.
    const bool wanted = choice_.request.mode != Request::Mode::Auto ||
                        (isReal(lost.kind) && !(first && lost.kind == Kind::Direct));
    if (wanted && !standIn_) {
        standIn_ = true;
        standInBecause_ = words::standingIn(lost, outcome, choice_.output->where());
    }
    report(first ? words::neverThere(choice_, lost, outcome) : words::failedWrite(lost, outcome, choice_.output->where()));
}

void ActivePort::tryToSwitchOffStranded(bool evenIfNotBusy)
{
    // While the window runs, only a port someone else held may take the write now; a silent
    // board would only make the window wait again. The exit tries whatever it is.
    if (strandedBy_.step != Step::Busy && !evenIfNotBusy)
        return;
    const Outcome outcome = stranded_->write(0);
    if (!outcome.ok()) {
        strandedBy_ = outcome;
        return;
    }
    say(words::switchedOff(stranded_->where()));
    stranded_.reset();
}

void ActivePort::handOverToGuardian()
{
    guardian::hold(0, choice_.output.get(), choice_.output ? choice_.output->switchOff() : SwitchOff{});
    guardian::hold(1, stranded_.get(), stranded_ ? stranded_->switchOff() : SwitchOff{});
}

Where ActivePort::where() const
{
    const std::lock_guard lock(busy_);
    return choice_.output ? choice_.output->where() : Where{};
}

int ActivePort::held() const
{
    const std::lock_guard lock(busy_);
    return held_;
}

bool ActivePort::available() const
{
    const std::lock_guard lock(busy_);
    return !standIn_;
}

QString ActivePort::lastFailure() const
{
    const std::lock_guard lock(busy_);
    return lastFailure_;
}

QString ActivePort::standingIn() const
{
    const std::lock_guard lock(busy_);
    return standIn_ ? standInBecause_ : QString();
}

bool ActivePort::lightsMayBeOn() const
{
    const std::lock_guard lock(busy_);
    return stranded_ || mayBeOn_;
}

bool ActivePort::switchOffForExit()
{
    std::unique_lock lock(busy_, std::defer_lock);
    // A write under way ends within its own bounds (a claim never waits long); a lock that is
    // not given in that time belongs to a thread that will not give it back.
    constexpr int kLongestWrite = 6;
    if (!lock.try_lock_for(std::chrono::seconds(kLongestWrite))) {
        say(words::writeNeverEnded(kLongestWrite));
        return false;
    }
    closing_ = true;
    if (choice_.output && !cleared_)
        writeLocked(choice_.address, 0);
    if (stranded_)
        tryToSwitchOffStranded(true);
    handOverToGuardian();
    if (stranded_) {
        say(words::mayStillBeOn(stranded_->where(), strandedBy_));
        return false;
    }
    return !mayBeOn_;
}

void ActivePort::closing()
{
    const std::lock_guard lock(busy_);
    closing_ = true;
}

void ActivePort::report(const QString &text)
{
    say(text);
    if (!closing_)
        QMetaObject::invokeMethod(this, [this, text] { emit trouble(text); }, Qt::QueuedConnection);
}

} // namespace platform::port
