// Whatever ends the program, no line stays on. A crash switches the outputs off from its signal
// handler; for the ends nothing inside the process sees (kill -9, the out-of-memory killer) a
// small guardian process holds the same descriptors and switches them off once the program is
// gone. It waits on a socket whose other end closes with the program: no wake-up while idle.
#pragma once

#include "output.h"

namespace platform::port::guardian {

// Forks the guardian. Call before any thread exists; answers the system's error number, 0 when
// it runs.
int start();

// What to switch off, in one of two slots: the output in use (0), and one given up while its
// lights may be on (1). Handed over only when it changed, or when `owner` (the output) did.
void hold(int slot, const void *owner, const SwitchOff &recipe);

// Every output is known off: the guardian leaves without writing, and a crash from here on
// writes nothing either.
void release();

// From here on SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS and SIGTRAP switch the held
// outputs off and then end the process as they would have (a core dump included).
void catchCrashes();

// The recipe, with system calls alone (safe in a signal handler): true when every one took.
bool carryOut(const SwitchOff &recipe);

} // namespace platform::port::guardian
