// A parallel port through the kernel's ppdev driver (/dev/parportN): the way to a port for anyone
// in group lp, wherever the port lies.
#pragma once

#include "output.h"

#include <memory>

namespace platform::port {

// Opens the device and proves it can be claimed. `base` is the port's I/O address as the kernel
// gives it (-1 unknown), for the person's information only; `sysctl` is the kernel's folder of
// parallel ports (/proc/sys/dev/parport), which names a port's holder and shows that it is still
// there. Null, with `refusal` set, when the device cannot be had; a file that is not a ppdev
// device is refused unopened.
std::unique_ptr<Output> ppdevOutput(const QByteArray &device, long base, const QByteArray &sysctl, Outcome *refusal);

} // namespace platform::port
