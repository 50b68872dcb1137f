// A serial port as the relay boards on one want it: raw bytes, 8N1, no flow control, held by
// this program alone, and never waited on longer than the caller says.
#pragma once

#include "output.h"

#include <functional>

namespace platform::port::serial {

// The speeds open() takes.
bool knownSpeed(int baud);

// Opens `device` and sets it up; -1, with `refusal` set, when it is no serial port or cannot be had.
int open(const QByteArray &device, int baud, Outcome *refusal);

// Gives up a port open()ed: its exclusive use ends with this program's, since the port may outlive
// the descriptor (a pseudo-terminal whose other end stays open keeps the flag for the next opener),
// then it is closed.
void release(int fd);

// Writes all of `bytes`, waiting at most `ms` for room; false, with errno set, when it could not.
bool writeAll(int fd, const QByteArray &bytes, int ms);

// Appends what arrives to `answer` until `whole` says it is, the first byte waited for at most
// `firstMs`, each next one `gapMs`; false, with errno set, on a read error.
bool readAnswer(int fd, QByteArray *answer, int firstMs, int gapMs, const std::function<bool(const QByteArray &)> &whole);

// The outcome of a failed call, from errno: an adapter pulled out fails with EIO a moment before
// its device goes, which tells the two apart.
Outcome failed(const QByteArray &device, Step step, quint16 value);

} // namespace platform::port::serial
