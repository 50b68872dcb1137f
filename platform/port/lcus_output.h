// A CH340 USB-serial relay module ("LCUS-1", 2, 4 or 8, USB 1a86:7523 and the like) on a serial
// port at 9600 8N1. D0 drives relay 1, D1 relay 2, and so on; the lines above the module's last
// relay go nowhere. Each relay is switched by the frame A0 <relay> <0|1> <sum of the three>.
// Some modules answer the status request (the byte 0xff) with one "CHn:ON" or "CHn:OFF" line per
// relay; most answer nothing, and their relays are written but cannot be read back.
#pragma once

#include "output.h"

#include <memory>

namespace platform::port {

// The relays' state in a status answer, once it names relays 1 to `relays`; -1 until then.
int lcusState(const QByteArray &answer, int relays);

// Opens the port and asks the module for its state once, waiting at most `answerMs` for the whole
// answer (and each one after), to learn whether it reports. Null, with `refusal` set, when the port cannot be
// had or something that is no such module answers.
std::unique_ptr<Output> lcusOutput(const QByteArray &device, int relays, Outcome *refusal, int answerMs = 500);

} // namespace platform::port
