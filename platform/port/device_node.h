// A device named from outside is opened only once it is known to be the kind wanted. Opening a
// device can act by itself (a terminal raises its modem lines, a watchdog arms), so the path is
// first taken without reaching any driver (O_PATH) and looked at; then that very node, not
// whatever the path names by then, is opened, and the descriptor is looked at again.
#pragma once

#include "output.h"

#include <functional>
#include <sys/stat.h>

namespace platform::port {

// The kernel's folder of a character device under `sysDevChar` (/sys/dev/char/MAJOR:MINOR).
QByteArray deviceFolder(const QByteArray &sysDevChar, const struct stat &node);
// Its subsystem as the kernel names it ("hidraw", "gpio"); empty when unknown.
QByteArray subsystemOf(const QByteArray &sysDevChar, const struct stat &node);

// Opens the character device `path` for reading and writing (with `flags` besides), without
// making it a controlling terminal nor passing it to programs run later, if `check` says
// Step::Done of it. -1, with `refusal` set, otherwise: the system's error, or the step `check`
// answered.
int openDevice(const QByteArray &path, const std::function<Step(const struct stat &)> &check, Outcome *refusal,
               int flags = 0);

} // namespace platform::port
