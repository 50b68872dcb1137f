#include "switch_off.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <ctime>
#include <linux/gpio.h>
#include <linux/hidraw.h>
#include <linux/ppdev.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

namespace platform::port {
namespace {

// A board gets a second: a frame at 1200 baud, a USB transfer, a claim behind another's. A
// record gets a moment, and only once the file has said it takes it.
constexpr int kHardwareMs = 1000;
constexpr int kRecordMs = 100;

std::atomic<bool> interruptible{false};

extern "C" void onTimeLimit(int) {}

// Every byte, or false: an EINTR is the time limit's.
bool writeAll(int fd, const unsigned char *bytes, size_t length)
{
    while (length > 0) {
        const ssize_t done = ::write(fd, bytes, length);
        if (done <= 0)
            return false;
        bytes += done;
        length -= size_t(done);
    }
    return true;
}

bool takesAtOnce(int fd)
{
    pollfd ready = {fd, POLLOUT, 0};
    return ::poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) && !(ready.revents & (POLLERR | POLLHUP));
}

} // namespace

TimeLimit::TimeLimit(int ms)
{
    const int savedErrno = errno;
    if (!interruptible.exchange(true)) {
        struct sigaction action = {};
        action.sa_handler = onTimeLimit;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: the blocked call must come back
        ::sigaction(SIGURG, &action, nullptr);
    }
    // The system calls themselves, not the C library's timer_create: nothing but system calls
    // here, as a signal handler may be the caller.
    sigevent event = {};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGURG;
    event._sigev_un._tid = pid_t(::syscall(SYS_gettid));
    int timer = -1;
    if (::syscall(SYS_timer_create, CLOCK_MONOTONIC, &event, &timer) == 0) {
        const itimerspec once = {{0, 0}, {ms / 1000, long(ms % 1000) * 1000 * 1000}};
        if (::syscall(SYS_timer_settime, timer, 0, &once, nullptr) == 0)
            timer_ = timer;
        else
            ::syscall(SYS_timer_delete, timer);
    }
    errno = savedErrno;
}

TimeLimit::~TimeLimit()
{
    const int savedErrno = errno; // the limited call's, for whoever reads it next
    if (timer_ >= 0)
        ::syscall(SYS_timer_delete, timer_);
    errno = savedErrno;
}

bool carryOut(const SwitchOff &recipe)
{
    using How = SwitchOff::How;
    switch (recipe.how) {
    case How::Nothing:
        return true;
    case How::Write:
        return writeAll(recipe.fd, recipe.bytes, recipe.length);
    case How::Record:
        // A terminal stopped with Ctrl-S or a full pipe would hold up what follows.
        return takesAtOnce(recipe.fd) && writeAll(recipe.fd, recipe.bytes, recipe.length);
    case How::Ppdev: {
        // A port already claimed through this very descriptor answers EINVAL, and is ours.
        const bool claimed = ::ioctl(recipe.fd, PPCLAIM) == 0;
        if (!claimed && errno != EINVAL)
            return false;
        unsigned char data = recipe.bytes[0];
        const bool written = ::ioctl(recipe.fd, PPWDATA, &data) == 0;
        if (claimed)
            ::ioctl(recipe.fd, PPRELEASE);
        return written;
    }
    case How::Direct:
#if defined(__x86_64__) || defined(__i386__)
        outw(recipe.bytes[0], recipe.address);
        return true;
#else
        return false;
#endif
    case How::HidFeature: {
        bool all = recipe.chunk > 0;
        for (int at = 0; all && at + recipe.chunk <= recipe.length; at += recipe.chunk) {
            unsigned char report[sizeof recipe.bytes];
            std::memcpy(report, recipe.bytes + at, recipe.chunk);
            all = ::ioctl(recipe.fd, HIDIOCSFEATURE(recipe.chunk), report) >= 0;
        }
        return all;
    }
    case How::Gpio: {
        gpio_v2_line_values values = {0, recipe.mask};
        return ::ioctl(recipe.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) == 0;
    }
    case How::UsbBulk: {
        unsigned char data[sizeof recipe.bytes];
        std::memcpy(data, recipe.bytes, recipe.length);
        usbdevfs_bulktransfer transfer = {recipe.endpoint, recipe.length, 1000, data};
        return ::ioctl(recipe.fd, USBDEVFS_BULK, &transfer) == int(recipe.length);
    }
    }
    return false;
}

bool carryOutAll(const SwitchOff *recipes, int count)
{
    bool all = true;
    for (const bool records : {false, true}) {
        for (int i = 0; i < count; ++i) {
            if ((recipes[i].how == SwitchOff::How::Record) != records)
                continue;
            const TimeLimit limit(records ? kRecordMs : kHardwareMs);
            all = carryOut(recipes[i]) && all;
        }
    }
    return all;
}

} // namespace platform::port
