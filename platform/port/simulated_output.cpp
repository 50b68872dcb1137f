#include "simulated_output.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::port {
namespace {

QByteArray hex4(quint16 n) { return QByteArray::number(n, 16).rightJustified(4, '0').prepend("0x"); }

// A reader that goes away must come back as EPIPE, never as the end of the program.
void ignoreBrokenPipes()
{
    static const bool ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    Q_UNUSED(ignored);
}

// One record, without ever waiting for a reader. A record that cannot be written whole (a full
// disk) keeps the system's reason, and a regular file loses the part that was written, so that a
// trace never holds half a record.
Outcome writeRecord(int fd, const QByteArray &record, quint16 value)
{
    pollfd ready = {fd, POLLOUT, 0};
    int polled;
    do {
        polled = ::poll(&ready, 1, 0);
    } while (polled < 0 && errno == EINTR);
    if (polled == 0)
        return {Step::Full, 0, value};
    qsizetype written = 0;
    while (written < record.size()) {
        const ssize_t done = ::write(fd, record.constData() + written, size_t(record.size() - written));
        if (done > 0) {
            written += done;
            continue;
        }
        if (done < 0 && errno == EINTR)
            continue;
        const Outcome failure = done == 0                ? Outcome{Step::Short, 0, value}
                                : errno == EPIPE         ? Outcome{Step::ReaderGone, 0, value}
                                : errno == EAGAIN        ? Outcome{Step::Full, 0, value}
                                                         : Outcome{Step::Write, errno, value};
        struct stat info;
        if (written > 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
            [[maybe_unused]] const int ignored = ::ftruncate(fd, info.st_size - written);
        return failure;
    }
    return {Step::Done, 0, value};
}

// The record a write of 0 makes, for whoever writes it when the program cannot: after the real
// outputs, and only if it is taken at once.
SwitchOff writingRecord(int fd, const QByteArray &record)
{
    SwitchOff off{SwitchOff::How::Record, fd};
    off.length = quint8(std::min<qsizetype>(record.size(), sizeof off.bytes));
    std::copy_n(record.constData(), off.length, off.bytes);
    return off;
}

class StdoutOutput final : public Output {
public:
    explicit StdoutOutput(quint16 address) : address_(address) { ignoreBrokenPipes(); }
    Outcome write(quint16 value) override { return writeRecord(STDOUT_FILENO, record(value), value); }
    Where where() const override { return {Kind::Stdout, {}, -1}; }
    SwitchOff switchOff() const override { return writingRecord(STDOUT_FILENO, record(0)); }

private:
    QByteArray record(quint16 value) const
    {
        const QByteArray lines = QByteArray::number(value & 0xFF, 2).rightJustified(8, '0');
        return "puerto " + hex4(address_) + " <- " + hex4(value) + "   D7..D0 " + lines + '\n';
    }

    quint16 address_;
};

class SilentOutput final : public Output {
public:
    Outcome write(quint16 value) override { return {Step::Done, 0, value}; }
    Where where() const override { return {Kind::Silent, {}, -1}; }
};

class TraceOutput final : public Output {
public:
    TraceOutput(int fd, QByteArray path, quint16 address) : fd_(fd), path_(std::move(path)), address_(address)
    {
        ignoreBrokenPipes();
    }
    ~TraceOutput() override { ::close(fd_); }
    Outcome write(quint16 value) override { return writeRecord(fd_, record(value), value); }
    Where where() const override { return {Kind::Trace, path_, -1}; }
    SwitchOff switchOff() const override { return writingRecord(fd_, record(0)); }
    QByteArray record(quint16 value) const { return hex4(address_) + ' ' + hex4(value) + '\n'; }

private:
    int fd_;
    QByteArray path_;
    quint16 address_;
};

} // namespace

std::unique_ptr<Output> stdoutOutput(quint16 address) { return std::make_unique<StdoutOutput>(address); }
std::unique_ptr<Output> silentOutput() { return std::make_unique<SilentOutput>(); }

std::unique_ptr<Output> traceOutput(const QByteArray &path, quint16 address, Outcome *refusal)
{
    // Non-blocking: a FIFO without a reader is refused at once instead of waited on.
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd >= 0)
        return std::make_unique<TraceOutput>(fd, path, address);
    const int error = errno;
    struct stat info;
    const bool unreadFifo = error == ENXIO && ::stat(path.constData(), &info) == 0 && S_ISFIFO(info.st_mode);
    *refusal = {unreadFifo ? Step::NoReader : Step::Open, error};
    return nullptr;
}

} // namespace platform::port
