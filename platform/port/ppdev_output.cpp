#include "ppdev_output.h"

#include "device_node.h"
#include "switch_off.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <linux/major.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform::port {
namespace {

// How long a claim may wait for a port that looked free. While a claim waits, the kernel's ppdev
// lock is held for every ppdev user, so the holder could not even release the port: it must
// never be long.
constexpr int kClaimWaitMs = 200;

// PPCLAIM, interrupted if it would wait longer than kClaimWaitMs: it comes back with EINTR.
int claimWithoutWaiting(int fd)
{
    const TimeLimit limit(kClaimWaitMs);
    return ::ioctl(fd, PPCLAIM);
}

// Each write claims the port only for its own duration, so that several copies of the program
// (or a printer job) can share one port; a port someone else holds is a failed write, not a wait.
class PpdevOutput final : public Output {
public:
    PpdevOutput(int fd, QByteArray device, long base, QByteArray portFolder)
        : fd_(fd), device_(std::move(device)), base_(base), portFolder_(std::move(portFolder))
    {
    }
    ~PpdevOutput() override { ::close(fd_); }

    Outcome write(quint16 value) override
    {
        Outcome outcome = claim(value);
        if (!outcome.ok())
            return outcome;
        // Only the data register: the byte above it is the status register, read-only on a real
        // port, which would drop the high byte anyway.
        unsigned char data = value & 0xFF, latched = 0;
        if (::ioctl(fd_, PPWDATA, &data) < 0)
            outcome = {Step::Write, errno, value};
        else if (::ioctl(fd_, PPRDATA, &latched) < 0)
            outcome = {Step::Read, errno, value};
        else if (latched != data)
            outcome = {Step::ReadBack, 0, value, latched};
        else
            outcome.readBack = latched;
        ::ioctl(fd_, PPRELEASE);
        // A port whose driver has gone keeps answering the open device with nothing: its data
        // register reads 0, so a write of 0 would seem to take. The kernel's entries for the
        // port go with it.
        if (gone())
            return {Step::Gone, 0, value};
        return outcome;
    }
    Where where() const override { return {Kind::Ppdev, device_, base_}; }
    SwitchOff switchOff() const override
    {
        SwitchOff off{SwitchOff::How::Ppdev, fd_};
        off.length = 1;
        return off;
    }

    Outcome claim(quint16 value)
    {
        if (gone())
            return {Step::Gone, 0, value};
        Outcome busy{Step::Busy, EBUSY, value};
        if (heldBySomeoneElse(&busy.holder))
            return busy;
        if (claimWithoutWaiting(fd_) == 0)
            return {Step::Done, 0, value};
        if (errno != EINTR)
            return {Step::Claim, errno, value};
        heldBySomeoneElse(&busy.holder);
        leaveTheQueue();
        return busy;
    }

private:
    // A claim that gave up stays queued in the kernel, which hands it the port when the holder
    // lets go: claimed then by nobody who knows, busy for everyone. Only closing the device
    // takes it out of the queue (and lets go of a port it was handed meanwhile).
    void leaveTheQueue()
    {
        const int fresh = ::open(("/proc/self/fd/" + QByteArray::number(fd_)).constData(), O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (fresh < 0)
            return;
        ::close(fd_);
        fd_ = fresh;
    }

    // The port's own entries go with it; its folder stays as long as a device on it is open.
    bool gone() const { return !portFolder_.isEmpty() && ::access((portFolder_ + "/base-addr").constData(), F_OK) != 0; }

    // The kernel names the device that has the port claimed, "none" when free.
    bool heldBySomeoneElse(QByteArray *holder) const
    {
        QFile active(QFile::decodeName(portFolder_ + "/devices/active"));
        if (portFolder_.isEmpty() || !active.open(QIODevice::ReadOnly))
            return false;
        *holder = active.read(64).trimmed();
        return !holder->isEmpty() && *holder != "none";
    }

    int fd_;
    QByteArray device_;
    long base_;
    QByteArray portFolder_; // empty when the kernel shows none for this port
};

} // namespace

std::unique_ptr<Output> ppdevOutput(const QByteArray &device, long base, const QByteArray &sysctl, Outcome *refusal)
{
    // Only a ppdev node is opened: opening some other device can have effects of its own, and its
    // refusals would read like a parallel port's.
    const int fd = openDevice(device, [](const struct stat &node) {
        return major(node.st_rdev) == PP_MAJOR ? Step::Done : Step::NotADevice;
    }, refusal);
    if (fd < 0)
        return nullptr;
    struct stat info;
    QByteArray portFolder;
    if (::fstat(fd, &info) == 0) {
        portFolder = sysctl + "/parport" + QByteArray::number(minor(info.st_rdev));
        if (::access((portFolder + "/base-addr").constData(), F_OK) != 0)
            portFolder.clear();
    }
    auto output = std::make_unique<PpdevOutput>(fd, device, base, portFolder);
    // A device node whose port has gone, or is held for good by another, shows it only here.
    *refusal = output->claim(0);
    if (!refusal->ok())
        return nullptr;
    ::ioctl(fd, PPRELEASE);
    return output;
}

} // namespace platform::port
