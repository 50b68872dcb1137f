#include "ppdev_output.h"

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

// Each write claims the port only for its own duration, so that several copies of the program
// (or a printer job) can share one port.
class PpdevOutput final : public Output {
public:
    PpdevOutput(int fd, QByteArray device, long base) : fd_(fd), device_(std::move(device)), base_(base) {}
    ~PpdevOutput() override { ::close(fd_); }

    Outcome write(quint16 value) override
    {
        Outcome outcome{Step::Done, 0, value};
        if (::ioctl(fd_, PPCLAIM) < 0)
            return {Step::Claim, errno, value};
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
        return outcome;
    }
    Where where() const override { return {Kind::Ppdev, device_, base_}; }

private:
    int fd_;
    QByteArray device_;
    long base_;
};

} // namespace

std::unique_ptr<Output> ppdevOutput(const QByteArray &device, long base, Outcome *refusal)
{
    // Only a ppdev node is opened: opening some other device can have effects of its own, and its
    // refusals would read like a parallel port's.
    struct stat info;
    if (::stat(device.constData(), &info) == 0 && !(S_ISCHR(info.st_mode) && major(info.st_rdev) == PP_MAJOR)) {
        *refusal = {Step::NotADevice};
        return nullptr;
    }
    const int fd = ::open(device.constData(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *refusal = {Step::Open, errno};
        return nullptr;
    }
    // A device node whose port has gone shows it only here.
    if (::ioctl(fd, PPCLAIM) < 0) {
        *refusal = {Step::Claim, errno};
        ::close(fd);
        return nullptr;
    }
    ::ioctl(fd, PPRELEASE);
    return std::make_unique<PpdevOutput>(fd, device, base);
}

} // namespace platform::port
