// The simulated port: the writes are recorded, not sent anywhere. None of these ever waits for a
// reader: a pipe that is full or has lost its reader is a failed write, said like any other.
#pragma once

#include "output.h"

#include <memory>

namespace platform::port {

// Each write as a readable line on standard output.
std::unique_ptr<Output> stdoutOutput(quint16 address);

// Nothing recorded: what is left once standard output has failed too. Never fails.
std::unique_ptr<Output> silentOutput();

// Each write appended to `path` (named by its bytes, exactly) as a line "0x0378 0x0002": address,
// value. Written through at once, so a killed process loses nothing. Null, with `refusal` set,
// when the file cannot be opened.
std::unique_ptr<Output> traceOutput(const QByteArray &path, quint16 address, Outcome *refusal);

} // namespace platform::port
