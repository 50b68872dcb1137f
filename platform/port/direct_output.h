// A parallel port through the processor's I/O instructions, at a fixed address. Needs the
// permission that privilege.h asks for before anything else; x86 only.
#pragma once

#include "output.h"

#include <memory>

namespace platform::port {

// Null on a processor without port I/O instructions.
std::unique_ptr<Output> directOutput(quint16 base);

} // namespace platform::port
