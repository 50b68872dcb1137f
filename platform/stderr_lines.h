// Lines for standard error that never make the program wait. A terminal stopped with Ctrl-S, or a
// pipe nobody reads, holds up one thread of its own: never the window, the port's lock or the
// close.
#pragma once

#include <QString>

namespace platform {

// Queues "tenvalia: LINE" for standard error; from any thread, never waits. Lines that do not
// fit while standard error does not take them are lost, counted, and said once it drains.
void say(const QString &line);

// The thread that writes them. Before it starts (no thread may exist while the guardian process
// is forked), lines wait in the queue. Qt's own messages go the same way from then on.
void startSaying();

// For the end of the process: gives the queue at most `milliseconds` to drain.
void finishSaying(int milliseconds);

} // namespace platform
