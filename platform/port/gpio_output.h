// General-purpose lines through the kernel's GPIO character device (its v2 interface): D0 on the
// first line given, D1 on the second, and so on. The lines are held for the program's whole run.
#pragma once

#include "output.h"

#include <memory>

namespace platform::port {

// Requests `lines` of `chip` as outputs, every one "off" in the very same request (with
// `activeLow`, "off" is a high level), so that no relay clicks at start. `sysDevChar` is the
// kernel's folder of character devices (/sys/dev/char), which tells a GPIO chip before it is
// opened. Null, with `refusal` set, when they cannot be had; a path that is not a GPIO chip is
// never opened for writing, and a chip that does not have a line, or lines someone else holds,
// are said as such.
std::unique_ptr<Output> gpioOutput(const QByteArray &chip, const std::vector<int> &lines, bool activeLow,
                                   const QByteArray &sysDevChar, Outcome *refusal);

} // namespace platform::port
