// Everything the person reads about the port, made from the facts the outputs answer with.
#pragma once

#include "choice.h"

#include <QString>

namespace platform::port::words {

// The pieces (clauses.cpp).
QString nameOf(const Where &where);
// Bytes from outside (environment, paths, the kernel) as the person may read them.
QString shown(const QByteArray &bytes);
// One fact as a clause: what went wrong, where, what the system said, what the person can do.
QString clause(const Where &where, const Outcome &outcome);
QString hex4(long n);
QString idOf(const QByteArray &serial); // a board's ID, byte by byte
QString linesOf(int bits);              // "D1, D3"

// The sentences (words.cpp).

// What the choice could not do as asked, with what was tried; empty when it went as asked.
QString refusal(const Choice &choice);
// One line for standard error when the port works but is not where it was looked for first.
QString notice(const Choice &choice);
// The chosen port's first write failed: it was never there.
QString neverThere(const Choice &choice, const Where &lost, const Outcome &failure);
// A write failed on a port that had worked; the writes go on with `next`.
QString failedWrite(const Where &lost, const Outcome &failure, const Where &next);

// One line each, for the answer to a command from outside: a write that did not reach `lost`;
// the output in use standing in for the one asked for or found.
QString notReached(const Where &lost, const Outcome &failure);
QString standingIn(const Choice &choice);
QString standingIn(const Where &lost, const Outcome &failure, const Where &next);
// An output that can come back, while it is away.
// What happens when it does: `remembered` as rememberedAs() says, `gone` when it is not there.
QString untilBack(const Request &remembered, bool gone);
// Its device went, with no write under way.
QString wentAway(const Where &lost, const Outcome &gone);
// A device that appeared, or the output itself, found but not taken.
QString notTaken(const Where &where, const Outcome &refusal);
// Another board than the one remembered.
QString notTheOne(const Where &other, const Request &wanted);
// Back, and written the window's value (`written`).
QString back(const Where &where, const Outcome &written);
// Auto mode's first relay board, plugged in after the start.
QString arrived(const Choice &found, const Outcome &written);
// The system refused the watch for the output's return (`error`).
QString notWatched(const Request &remembered, int error);

// A port that failed while its lights were on: switched off after all, or maybe not.
QString switchedOff(const Where &where);
QString mayStillBeOn(const Where &where, const Outcome &failure);

// The write under way did not end in `seconds`: nothing more could be switched off.
QString writeNeverEnded(int seconds);

QString capabilitiesKept(int error);
// No guardian process: only an end the program sees switches the outputs off.
QString noGuardian(int error);

} // namespace platform::port::words
