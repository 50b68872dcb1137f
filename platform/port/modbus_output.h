// A Modbus RTU relay board on RS-485, through libmodbus: coils 0 to 7 are lines D0 to D7. Each
// value is one write of all eight coils (function 15), then the coils are read back (function 1).
#pragma once

#include "output.h"

#include <memory>

namespace platform::port {

// Opens the port for the board at `unit` (1 to 247); each answer, whole, is waited for at most
// `answerMs`.
// Null, with `refusal` set, when the port cannot be had.
std::unique_ptr<Output> modbusOutput(const QByteArray &device, int unit, int baud, Outcome *refusal,
                                     int answerMs = 1000);

} // namespace platform::port
