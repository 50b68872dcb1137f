// A USB relay board of the kind sold as "USB Relay" with 1, 2, 4 or 8 relays (vendor 0x16c0,
// product 0x05df, made by www.dcttech.com), through the kernel's hidraw. D0 drives relay 1, D1
// relay 2, and so on; the lines above the board's last relay go nowhere.
#pragma once

#include "output.h"

#include <memory>

namespace platform::port {

// What a hidraw device says it is, from its HID device's uevent (HID_ID, HID_NAME): a board's
// `where` (product, relays) when it is one this program speaks to.
enum class BoardIs { One, LookAlike, Other };
BoardIs identifyBoard(const QByteArray &uevent, Where *where);

// Opens the board and reads its state and ID. `sysDevChar` is the kernel's folder of character
// devices (/sys/dev/char), where the device's uevent is found. Null, with `refusal` set, when it
// cannot be had; a device that is not such a board is refused unopened, a look-alike by its name.
std::unique_ptr<Output> hidOutput(const QByteArray &device, const QByteArray &sysDevChar, Outcome *refusal,
                                  Where *seen);

} // namespace platform::port
