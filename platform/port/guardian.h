// Whatever ends the program, no line stays on. A crash switches the outputs off from its signal
// handler; for the ends nothing inside the process sees (kill -9, the out-of-memory killer, a
// kill of the whole process group, pkill by name) a guardian holds the same descriptors and
// switches them off once the program is gone. The guardian is a small program of its own
// (app/apagaluces.cpp), in a session of its own, under a name that is not the program's; it
// waits on a socket whose other end closes with the program: no wake-up while idle.
#pragma once

#include "switch_off.h"

namespace platform::port::guardian {

// The guardian's name, as ps, pkill and killall see it: ending the program by its name never
// ends the guardian with it.
constexpr const char *kName = "apagaluces";

// What to switch off, in one of two slots: the output in use (0), and one given up while its
// lights may be on (1).
constexpr int kSlots = 2;

// One message from the program to the guardian, the recipe's descriptor beside it.
struct Handover {
    enum Kind : std::uint8_t { Hold = 1, Release = 2 } kind;
    std::uint8_t slot;
    SwitchOff recipe;
};

// Starts the guardian, found where the package installs it or else beside the program, and hands
// it what is held so far. Answers the system's error number, 0 when it runs. Until then the
// crash handler alone stands guard: call it before any output can be switched on.
int start();

// Hands over the recipe of a slot; only when it changed, or when `owner` (the output) did.
void hold(int slot, const void *owner, const SwitchOff &recipe);

// Every output is known off: the guardian leaves without writing, and a crash from here on
// writes nothing either.
void release();

// From here on SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS and SIGTRAP switch the held
// outputs off and then end the process as they would have (a core dump included).
void catchCrashes();

} // namespace platform::port::guardian
