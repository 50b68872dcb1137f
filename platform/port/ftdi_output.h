// A relay board built on an FTDI FT245R in bit-bang mode (4 or 8 relays on the chip's data pins),
// through libftdi1. Line n drives the pin the map names for it (pin n without a map); the lines
// beyond the map go nowhere.
#pragma once

#include "output.h"

#include <memory>

namespace platform::port {

// Every USB device 0403:6001 the kernel lists in `sysUsb` (/sys/bus/usb/devices), lowest bus and
// address first, as its usbfs node under `devices`, product string and serial number. FT232R
// serial adapters share these ids with the boards.
std::vector<Where> ftdiDevices(const QByteArray &sysUsb, const QByteArray &devices);
// Whether the device is a relay board: an FT245R, by its product string.
bool isRelayBoard(const Where &device);

// Opens the board (`pins`: the map, D0 first; empty: pin n for line n), taking it from ftdi_sio,
// which gets it back when the output goes. Its pins are not touched until the first write. Null,
// with `refusal` set, when it cannot be had.
std::unique_ptr<Output> ftdiOutput(const Where &board, const std::vector<int> &pins, Outcome *refusal);

} // namespace platform::port
