#include "serial_line.h"

#include "device_node.h"
#include "switch_off.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform::port::serial {
namespace {

constexpr unsigned kTerminalMajor = 4;       // tty0..tty63 are the virtual consoles, ttyS* above
constexpr unsigned kFirstSerialMinor = 64;
constexpr unsigned kTtyAuxMajor = 5;         // /dev/tty, /dev/console, /dev/ptmx
constexpr unsigned kFirstPtyMajor = 136;     // /dev/pts/*, eight majors of them
constexpr unsigned kLastPtyMajor = 143;
constexpr int kDrainMs = 500;                // the last frames, at the speed they were sent at

speed_t speedOf(int baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

// Waits for `events` at most `ms`; false with errno (ETIMEDOUT when the time ran out).
bool waitFor(int fd, short events, int ms)
{
    pollfd one{fd, events, 0};
    int ready;
    while ((ready = ::poll(&one, 1, ms)) < 0 && errno == EINTR) {
    }
    if (ready == 0)
        errno = ETIMEDOUT;
    return ready > 0;
}

// A pseudo-terminal's other end, or a terminal the kernel knows a device behind (a UART, a USB
// adapter); not the controlling terminal's alias, the console, the pseudo-terminal multiplexer
// or a virtual console, which have none.
Step serialNode(const struct stat &node)
{
    const unsigned kind = major(node.st_rdev);
    if (kind >= kFirstPtyMajor && kind <= kLastPtyMajor)
        return Step::Done;
    if (kind == kTtyAuxMajor || (kind == kTerminalMajor && minor(node.st_rdev) < kFirstSerialMinor))
        return Step::NotADevice;
    const QByteArray folder = deviceFolder("/sys/dev/char", node);
    const bool port = subsystemOf("/sys/dev/char", node) == "tty" && ::access((folder + "/device").constData(), F_OK) == 0;
    return port ? Step::Done : Step::NotADevice;
}

// Whether some process has the terminal `device` as its controlling terminal: the kernel answers
// TIOCGSID only for the caller's own, so the others are found in what /proc says of each process.
bool someSessionsTerminal(int fd, dev_t device)
{
    pid_t session;
    if (::ioctl(fd, TIOCGSID, &session) == 0)
        return true;
    // /proc/PID/stat's seventh field, as the kernel encodes a device number there.
    const unsigned long encoded = (minor(device) & 0xff) | (major(device) << 8) | ((minor(device) & ~0xffUL) << 12);
    DIR *processes = ::opendir("/proc");
    if (!processes)
        return false;
    bool found = false;
    for (const dirent *entry; !found && (entry = ::readdir(processes));) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        char stat[512];
        const int file = ::openat(::dirfd(processes), (QByteArray(entry->d_name) + "/stat").constData(), O_RDONLY | O_CLOEXEC);
        const ssize_t length = file >= 0 ? ::read(file, stat, sizeof stat - 1) : -1;
        if (file >= 0)
            ::close(file);
        if (length <= 0)
            continue;
        stat[length] = 0;
        // After the command's name, which may hold anything, the last ')': state, ppid, pgrp,
        // session, tty_nr.
        const char *rest = std::strrchr(stat, ')');
        char state;
        long parent, group, sessionId;
        unsigned long terminal;
        found = rest && std::sscanf(rest + 1, " %c %ld %ld %ld %lu", &state, &parent, &group, &sessionId, &terminal) == 5 &&
                terminal == encoded;
    }
    ::closedir(processes);
    return found;
}

// Whether the kernel writes its console to this device (console=ttyS0, say).
bool isTheConsole(const struct stat &node)
{
    char target[4096];
    const ssize_t length = ::readlink(deviceFolder("/sys/dev/char", node).constData(), target, sizeof target);
    if (length <= 0 || length == sizeof target)
        return false;
    const QByteArray link(target, length);
    QFile active(QStringLiteral("/sys/class/tty/console/active"));
    return active.open(QIODevice::ReadOnly) && active.read(4096).simplified().split(' ').contains(link.mid(link.lastIndexOf('/') + 1));
}

} // namespace

bool knownSpeed(int baud) { return speedOf(baud) != B0; }

Port &Port::operator=(Port &&other) noexcept
{
    if (this != &other) {
        Port gone(std::move(*this));
        fd_ = std::exchange(other.fd_, -1);
        before_ = other.before_;
    }
    return *this;
}

Port::~Port()
{
    if (fd_ < 0)
        return;
    {
        const TimeLimit limit(kDrainMs); // a port that stopped taking bytes drains nothing
        ::tcdrain(fd_);
    }
    ::tcsetattr(fd_, TCSANOW, &before_);
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
}

Port open(const QByteArray &device, int baud, Outcome *refusal)
{
    // Without O_NONBLOCK, opening a port whose modem lines are down waits for a carrier.
    const int fd = openDevice(device, serialNode, refusal, O_NONBLOCK);
    if (fd < 0) {
        if (refusal->step == Step::Open && refusal->error == EBUSY)
            refusal->step = Step::Busy;
        return {};
    }
    struct stat info;
    termios before;
    if (::fstat(fd, &info) != 0 || !::isatty(fd) || ::tcgetattr(fd, &before) != 0 || someSessionsTerminal(fd, info.st_rdev) ||
        isTheConsole(info)) {
        *refusal = {Step::NotADevice};
        ::close(fd);
        return {};
    }
    termios settings = before;
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, speedOf(baud));
    ::cfsetospeed(&settings, speedOf(baud));
    // Frames from two programs would interleave: a second opener (root aside) gets EBUSY.
    if (::ioctl(fd, TIOCEXCL) != 0 || ::tcsetattr(fd, TCSANOW, &settings) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        *refusal = {Step::Open, errno};
        ::tcsetattr(fd, TCSANOW, &before);
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return {};
    }
    ::tcflush(fd, TCIOFLUSH);
    return Port(fd, before);
}

bool writeAll(int fd, const QByteArray &bytes, int ms)
{
    for (qsizetype done = 0; done < bytes.size();) {
        if (!waitFor(fd, POLLOUT, ms))
            return false;
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno != EINTR)
            return false;
        done += std::max<ssize_t>(n, 0);
    }
    return true;
}

bool readAnswer(int fd, QByteArray *answer, const AnswerLimits &limits, const std::function<bool(const QByteArray &)> &whole)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limits.totalMs);
    char chunk[256];
    while (!whole(*answer) && answer->size() < limits.mostBytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return true;
        if (!waitFor(fd, POLLIN, int(answer->isEmpty() ? left : std::min<long long>(left, limits.gapMs))))
            return errno == ETIMEDOUT;
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, size_t(limits.mostBytes - answer->size())));
        if (n < 0 && errno != EINTR)
            return false;
        if (n == 0) { // hung up
            errno = EIO;
            return false;
        }
        answer->append(chunk, std::max<ssize_t>(n, 0));
    }
    return true;
}

Outcome failed(const QByteArray &device, Step step, quint16 value)
{
    const int error = errno;
    bool gone = error == ENODEV || error == ENXIO;
    for (int look = 0; error == EIO && !gone && look < 10; ++look) {
        gone = ::access(device.constData(), F_OK) != 0;
        if (!gone)
            ::usleep(10 * 1000);
    }
    return gone ? Outcome{Step::Gone, 0, value} : Outcome{step, error, value};
}

} // namespace platform::port::serial
