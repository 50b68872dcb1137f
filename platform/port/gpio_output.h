// General-purpose lines through the kernel's GPIO character device (its v2 interface): D0 on the
// first line given, D1 on the second, and so on. The lines are held for the program's whole run.
#pragma once

#include "output.h"

#include <memory>

namespace platform::port {

// Requests `lines` of `chip` as outputs, every one "off" in the very same request (with
// `activeLow`, "off" is a high level), so that no relay clicks at start. Null, with `refusal`
// set, when they cannot be had; a chip that does not have a line, or lines someone else holds,
// are said as such.
std::unique_ptr<Output> gpioOutput(const QByteArray &chip, const std::vector<int> &lines, bool activeLow,
                                   Outcome *refusal);

} // namespace platform::port
