// Lines for standard error that never make the program wait. A terminal stopped with Ctrl-S, or a
// pipe nobody reads, holds up one thread of its own: never the window, the port's lock or the
// close.
#pragma once

#include <QString>

namespace platform {

// Queues "tenvalia: LINE" for standard error; from any thread, never waits. Lines that do not
// fit while standard error does not take them, or that it refuses, are lost, counted, and their
// number said once it takes lines again.
void say(const QString &line);

// From here on Qt's own messages go the same way, never straight to a standard error that may
// be stopped.
void sayQtMessagesToo();

// The thread that writes them, started once the window shows: until then lines wait in the
// queue (or finishSaying() starts it).
void startSaying();

// For the end of the process: gives the queue at most `milliseconds` to drain.
void finishSaying(int milliseconds);

} // namespace platform
