#include "serial_line.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace platform::port::serial {
namespace {

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

} // namespace

bool knownSpeed(int baud) { return speedOf(baud) != B0; }

int open(const QByteArray &device, int baud, Outcome *refusal)
{
    // Without O_NONBLOCK, opening a port whose modem lines are down waits for a carrier.
    const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *refusal = {errno == EBUSY ? Step::Busy : Step::Open, errno};
        return -1;
    }
    struct stat info;
    termios settings;
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) || !::isatty(fd) || ::tcgetattr(fd, &settings) != 0) {
        *refusal = {Step::NotADevice};
        ::close(fd);
        return -1;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, speedOf(baud));
    ::cfsetospeed(&settings, speedOf(baud));
    // Frames from two programs would interleave: a second opener (root aside) gets EBUSY.
    if (::tcsetattr(fd, TCSANOW, &settings) != 0 || ::ioctl(fd, TIOCEXCL) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        *refusal = {Step::Open, errno};
        ::close(fd);
        return -1;
    }
    ::tcflush(fd, TCIOFLUSH);
    return fd;
}

void release(int fd)
{
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
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

bool readAnswer(int fd, QByteArray *answer, int firstMs, int gapMs, const std::function<bool(const QByteArray &)> &whole)
{
    char chunk[256];
    while (!whole(*answer)) {
        if (!waitFor(fd, POLLIN, answer->isEmpty() ? firstMs : gapMs))
            return errno == ETIMEDOUT;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
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
