#include "active_port.h"

#include "guardian.h"
#include "simulated_output.h"
#include "words.h"
#include "platform/stderr_lines.h"

#include <QMetaObject>

namespace platform::port {
namespace {

// What is kept of a port whose device went while its lines may be on: its name and the truth for
// the exit. Not its descriptor: nothing reaches the port through that again, and holding it would
// keep the device's name (parport0, ttyUSB0) from the port when it comes back.
class GoneOutput final : public Output {
public:
    explicit GoneOutput(Where where) : where_(std::move(where)) {}
    Outcome write(quint16 value) override { return {Step::Gone, 0, value}; }
    Where where() const override { return where_; }

private:
    Where where_;
};

} // namespace

ActivePort &ActivePort::instance()
{
    static ActivePort port;
    return port;
}

void ActivePort::use(Choice choice)
{
    {
        const std::lock_guard lock(busy_);
        choice_ = std::move(choice);
        mayBeOn_ = cleared_ = lostBefore_ = false;
        said_.clear();
        remembered_ = rememberedAs(choice_);
        const bool found = isReal(choice_.output->where().kind);
        const bool waiting = !found && remembered_.mode != Request::Mode::Unknown;
        available_ = found || !choice_.refused || remembered_.mode == Request::Mode::Board;
        standInBecause_ = available_ ? QString() : words::standingIn(choice_);
        lastFailure_.clear();
        const Attempt last = choice_.tried.empty() ? Attempt{} : choice_.tried.back();
        away_ = !waiting ? Away::No : remembered_.mode == Request::Mode::Board || notThere(last) ? Away::Gone : Away::Failed;
        // What was there and refused is not tried again as it stands.
        refused_.clear();
        for (const Attempt &attempt : choice_.tried)
            if (waiting && !notThere(attempt))
                refuse(attempt.where.path);
        if (const QString notice = words::notice(choice_); !notice.isEmpty())
            say(notice);
        if (const QString refusal = words::refusal(choice_); !refusal.isEmpty())
            report(waiting ? refusal + QStringLiteral("\n\n") + words::untilBack(remembered_, away_ == Away::Gone) : refusal);
        handOverToGuardian();
    }
    if (watching_)
        rewatch();
}

void ActivePort::use(std::unique_ptr<Output> output, quint16 address)
{
    // As given: nothing asked, nothing to look for should it go.
    use(Choice{{Request::Mode::Stdout}, address, std::move(output), {}, false, false});
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
    value_ = value;
    const bool first = std::exchange(choice_.provesItself, false);
    const Outcome outcome = address == choice_.address ? choice_.output->write(value)
                                                       : Outcome{Step::Address, 0, value, -1, address};
    const Where lost = choice_.output->where();
    if (first && !outcome.ok() && choice_.standby) {
        // Nothing at the port's address: the relay board takes the very same first write.
        choice_.tried.push_back({lost, outcome});
        choice_.output = std::move(choice_.standby);
        choice_.provesItself = true;
        remembered_ = rememberedAs(choice_);
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
    if (first) {
        // Never there: looked for as asked from now on (auto mode: the first relay board).
        Choice asked{choice_.request, choice_.address};
        asked.personsPortRefused = choice_.personsPortRefused;
        remembered_ = rememberedAs(asked);
    }
    giveUpLocked(outcome, value, true, [&](const Where &next) {
        return first ? words::neverThere(choice_, lost, outcome) : words::failedWrite(lost, outcome, next);
    });
}

// The output in use is given up after `outcome`, told in what `said` makes of what follows it.
// The writes go on simulated (standard output, and once that fails too, nothing recorded), the
// failed value recorded there when it came from a write.
void ActivePort::giveUpLocked(const Outcome &outcome, quint16 value, bool record,
                              const std::function<QString(const Where &next)> &said)
{
    using Mode = Request::Mode;
    const Where lost = choice_.output->where();
    auto failed = std::exchange(choice_.output, lost.kind == Kind::Stdout ? silentOutput() : stdoutOutput(choice_.address));
    letGo(std::move(failed), outcome, std::exchange(mayBeOn_, false));
    if (record && outcome.step != Step::Address && !choice_.output->write(value).ok())
        choice_.output = silentOutput();
    held_ = value & 0xFF; // as the simulated output now has it
    // What was asked for, or found, is lost. Auto mode that found nothing that works stands in
    // for nothing asked: it waits for a board.
    const bool wanted = choice_.request.mode != Mode::Auto || isReal(lost.kind);
    if (wanted && remembered_.mode != Mode::Board && std::exchange(available_, false))
        standInBecause_ = words::standingIn(lost, outcome, choice_.output->where());
    if (isReal(lost.kind)) {
        if (remembered_.mode == Mode::Board)
            away_ = Away::Gone;
        else if (remembered_.mode != Mode::Unknown)
            away_ = outcome.step == Step::Gone ? Away::Gone : Away::Failed;
        if (outcome.step != Step::Gone)
            refuse(lost.path);
        slowDownIfNotStaying();
    }
    QString text = said(choice_.output->where());
    if (away_ != Away::No)
        text += QStringLiteral("\n\n") + words::untilBack(remembered_, away_ == Away::Gone);
    if (std::exchange(lostBefore_, true) && away_ != Away::No)
        say(text); // once told in a box, a board that comes and goes is not a box each time
    else
        report(text);
}

// Before a real output is given up, every line off as far as it still answers; a board that lost
// its power keeps nothing on. One that could not be switched off is kept for another try, unless
// its device has gone.
void ActivePort::letGo(std::unique_ptr<Output> failed, const Outcome &outcome, bool mayBeOn)
{
    if (!mayBeOn || (poweredByItsCable(failed->where().kind) && outcome.step == Step::Gone))
        return;
    if (const Outcome off = failed->write(0); !off.ok()) {
        const bool gone = outcome.step == Step::Gone || off.step == Step::Gone;
        stranded_ = gone ? std::make_unique<GoneOutput>(failed->where()) : std::move(failed);
        strandedBy_ = off;
    }
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

bool ActivePort::available() const
{
    const std::lock_guard lock(busy_);
    return available_;
}

QString ActivePort::lastFailure() const
{
    const std::lock_guard lock(busy_);
    return lastFailure_;
}

QString ActivePort::standingIn() const
{
    const std::lock_guard lock(busy_);
    return available_ ? QString() : standInBecause_;
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
