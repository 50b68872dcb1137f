// The port's side of outputs that come back: the watch on the kernel's events, at most one
// attempt at a time and a second apart, and the one write that takes an output back.
#include "active_port.h"

#include "device_watch.h"
#include "words.h"
#include "platform/stderr_lines.h"

#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <sys/stat.h>

namespace platform::port {
namespace {

using Clock = std::chrono::steady_clock;

// A board that goes again this soon after its return is not staying: it is looked for less often.
constexpr std::chrono::seconds kStaying{10}, kLongestGap{64};

// A device as it is now: made anew, or given another owner or mode, it is stamped otherwise.
QByteArray stampOf(const QByteArray &device)
{
    struct stat info;
    if (::stat(device.constData(), &info) != 0)
        return {};
    return QByteArray::number(qulonglong(info.st_ino)) + ' ' + QByteArray::number(qlonglong(info.st_ctim.tv_sec)) + '.' +
           QByteArray::number(qlonglong(info.st_ctim.tv_nsec));
}

} // namespace

bool ActivePort::notThere(const Attempt &attempt)
{
    const Outcome &outcome = attempt.outcome;
    return outcome.step == Step::NoDevice ||
           (outcome.step == Step::Open && (outcome.error == ENOENT || outcome.error == ENODEV || outcome.error == ENXIO));
}

void ActivePort::slowDownIfNotStaying()
{
    gap_ = Clock::now() - backAt_ < kStaying ? std::min(gap_ * 2, kLongestGap) : std::chrono::seconds(1);
}

void ActivePort::refuse(const QByteArray &device)
{
    if (!device.isEmpty())
        refused_.insert(device, stampOf(device));
}

void ActivePort::sayOnce(const QString &text)
{
    if (!text.isEmpty() && !said_.contains(text)) {
        said_.insert(text);
        say(text);
    }
}

void ActivePort::watchForReturns(const SystemPaths &paths)
{
    {
        const std::lock_guard lock(busy_);
        paths_ = paths;
        watching_ = true;
    }
    rewatch();
}

// The watch the remembered output needs: the kernel's USB or ppdev devices, or the folders of a
// serial path. Whatever came or went before it began is looked at once.
void ActivePort::rewatch()
{
    using Mode = Request::Mode;
    if (watch_) {
        watch_->disconnect(this);
        watch_->deleteLater();
    }
    if (!retry_) {
        retry_ = new QTimer(QCoreApplication::instance());
        retry_->setSingleShot(true);
        connect(retry_, &QTimer::timeout, this, [this] { lookForReturn(); });
    }
    retry_->stop();
    std::unique_lock lock(busy_);
    lastLook_ = backAt_ = {};
    gap_ = std::chrono::seconds(1);
    const Request remembered = remembered_;
    const bool away = away_ != Away::No;
    lock.unlock();
    int error = 0;
    DeviceWatch *watch = nullptr;
    if (remembered.mode == Mode::Lcus || remembered.mode == Mode::Modbus)
        watch = DeviceWatch::path(remembered.path, QCoreApplication::instance(), &error);
    else if (remembered.mode == Mode::Ppdev)
        watch = DeviceWatch::devices({"ppdev"}, QCoreApplication::instance(), &error);
    else if (remembered.mode != Mode::Unknown)
        watch = DeviceWatch::devices({"hidraw", "usb"}, QCoreApplication::instance(), &error);
    else
        return;
    if (!(watch_ = watch)) {
        say(words::notWatched(remembered, error));
        return;
    }
    connect(watch, &DeviceWatch::appeared, this, [this](const QByteArray &node) { appeared(node); });
    connect(watch, &DeviceWatch::vanished, this, [this](const QByteArray &node) { vanished(node); });
    if (away)
        QMetaObject::invokeMethod(this, [this] { pace(); }, Qt::QueuedConnection);
}

void ActivePort::appeared(const QByteArray &node)
{
    {
        const std::lock_guard lock(busy_);
        if (closing_ || away_ == Away::No)
            return;
        // Made anew, or its owner or mode changed, a device refused before may answer now; the
        // news of the very device that was refused changes nothing.
        if (const auto refused = refused_.find(node); refused != refused_.end() && *refused != stampOf(node))
            refused_.erase(refused);
    }
    pace();
}

void ActivePort::vanished(const QByteArray &node)
{
    {
        const std::lock_guard lock(busy_);
        refused_.remove(node);
        const Where in = choice_.output ? choice_.output->where() : Where{};
        if (closing_ || away_ != Away::No || remembered_.mode == Request::Mode::Unknown || !isReal(in.kind) ||
            in.path != node)
            return;
        // Gone without a write: a board that lost its power comes back showing what the window does.
        const Outcome gone{Step::Gone, 0, value_};
        giveUpLocked(gone, value_, false, [&](const Where &) { return words::wentAway(in, gone); });
        handOverToGuardian();
    }
    emit outputChanged();
}

// At most one attempt a second, fewer for a board that will not stay; an event that comes sooner
// arms the one timer for the attempt's turn.
void ActivePort::pace()
{
    std::unique_lock lock(busy_);
    const auto due = lastLook_ + gap_;
    lock.unlock();
    if (Clock::now() >= due)
        lookForReturn();
    else if (retry_ && !retry_->isActive())
        retry_->start(int(std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count()));
}

void ActivePort::lookForReturn()
{
    std::unique_lock lock(busy_);
    if (closing_ || away_ == Away::No)
        return;
    Request wanted = remembered_;
    const auto refused = refused_.keys();
    wanted.passOver = {refused.begin(), refused.end()};
    const quint16 address = choice_.address;
    const SystemPaths paths = paths_;
    lastLook_ = Clock::now();
    lock.unlock();
    // Opened outside the lock, with every check of the first time: a board may take its time to
    // answer, and the exit must not wait for it.
    Choice found = choose(wanted, address, {}, paths);
    lock.lock();
    if (closing_ || away_ == Away::No)
        return;
    const bool anyBoard = wanted.mode == Request::Mode::Board || (wanted.path.isEmpty() && wanted.serial.isEmpty());
    for (const Where &other : found.passedOver)
        if (!anyBoard)
            sayOnce(words::notTheOne(other, wanted));
    for (const Attempt &attempt : found.tried)
        if (!notThere(attempt))
            sayOnce(words::notTaken(attempt.where, attempt.outcome));
    if (!isReal(found.output->where().kind))
        return;

    // One write: the value the window holds now, read back where the output can tell.
    const Outcome outcome = found.output->write(value_);
    const Where back = found.output->where();
    if (!outcome.ok()) {
        letGo(std::move(found.output), outcome, (value_ & 0xFF) != 0);
        if (outcome.step != Step::Gone)
            refuse(back.path);
        sayOnce(words::notTaken(back, outcome));
        handOverToGuardian();
        lock.unlock();
        // Auto mode: a board found beside it, and passed over, is looked at in its turn.
        if (wanted.mode == Request::Mode::Board && !found.passedOver.empty())
            pace();
        return;
    }
    const QString said = wanted.mode == Request::Mode::Board ? words::arrived(found, outcome) : words::back(back, outcome);
    choice_.output = std::move(found.output);
    choice_.provesItself = false;
    remembered_ = rememberedAs(choice_);
    stranded_.reset(); // an earlier self, whose lines the write just set
    mayBeOn_ = (value_ & 0xFF) != 0;
    cleared_ = value_ == 0;
    held_ = outcome.readBack >= 0 ? outcome.readBack : value_ & 0xFF;
    away_ = Away::No;
    refused_.clear();
    available_ = true;
    standInBecause_.clear();
    backAt_ = Clock::now();
    said_.clear();
    // The guardian holds it before anyone hears it is back, a kill -9 right then included.
    handOverToGuardian();
    say(said);
    lock.unlock();
    emit outputChanged();
}

} // namespace platform::port
