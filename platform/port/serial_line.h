// A serial port as the relay boards on one want it: raw bytes, 8N1, no flow control, held by
// this program alone, and never waited on longer than the caller says, whatever the device sends.
#pragma once

#include "output.h"

#include <functional>
#include <termios.h>
#include <utility>

namespace platform::port::serial {

// The speeds open() takes.
bool knownSpeed(int baud);

// An open serial port: closed with the settings it had before and its exclusive use ended, for
// whatever uses it next (a pseudo-terminal whose other end stays open would keep both for the next
// opener, this program coming back included).
class Port {
public:
    Port() = default;
    Port(int fd, const termios &before) : fd_(fd), before_(before) {}
    Port(Port &&other) noexcept : fd_(std::exchange(other.fd_, -1)), before_(other.before_) {}
    Port &operator=(Port &&other) noexcept;
    ~Port();
    int fd() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    termios before_{};
};

// Opens `device` and sets it up. Only a serial port or a pseudo-terminal is taken, checked on the
// very node that is opened: never a terminal that is some session's controlling terminal (this
// program's /dev/tty among them), the console or a virtual console, whose settings belong to a
// person. Empty, with `refusal` set, when it is none of those or cannot be had.
Port open(const QByteArray &device, int baud, Outcome *refusal);

// Writes all of `bytes`, waiting at most `ms` for room; false, with errno set, when it could not.
bool writeAll(int fd, const QByteArray &bytes, int ms);

// How long and how much an answer may take: a device that never stops talking (a GPS receiver,
// a board printing its readings) must not hold the program.
struct AnswerLimits {
    int totalMs;   // from the call, the answer whole or not
    int gapMs;     // of silence after its first byte
    int mostBytes; // kept of it
};

// Appends what arrives to `answer` until `whole` says it is, or a limit is reached: true then,
// whole or not (the caller looks). False, with errno set, on a read error.
bool readAnswer(int fd, QByteArray *answer, const AnswerLimits &limits, const std::function<bool(const QByteArray &)> &whole);

// The outcome of a failed call, from errno: an adapter pulled out fails with EIO a moment before
// its device goes, which tells the two apart.
Outcome failed(const QByteArray &device, Step step, quint16 value);

} // namespace platform::port::serial
