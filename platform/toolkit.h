// What the window needs of the desktop beyond Qt's widgets themselves.
#pragma once

#include "text.h"

#include <QString>

#include <functional>
#include <memory>

class QApplication;
class QMenuBar;
class QWidget;

namespace platform {

// Whether the window is drawn nowhere (Qt's offscreen or minimal platform: a service without a
// desktop). Nobody sees it then, so nothing waits for a person and nothing is painted. Decided by
// openDisplay(); tests set it themselves.
bool headless();
void setHeadless(bool headless);

// A modal box with the text and one OK button; returns once the person has dismissed it. Without
// a person (headless), no box is made and it returns at once: whatever the program has to tell
// goes to standard error as well.
void ShowMessage(QWidget *parent, const QString &text);
// Closes every box ShowMessage has open, as if dismissed: a closing program never waits for a
// person.
void dismissMessages();

// F10 takes the keyboard to the menu bar, as Alt does: its first entry lit, Down opens it.
void menuBarOnF10(QMenuBar *menuBar);

// Descriptors 0, 1 and 2 open (on /dev/null where they were closed), so that no file the program
// opens later takes their place and receives what was meant for a terminal. Call it first thing.
void keepStandardStreamsOpen();

// From this call on, every signal whose default would end the process (SIGTERM, SIGINT, SIGHUP,
// SIGQUIT, SIGUSR1...) is caught and kept for the window, so that one arriving during start-up is
// not lost and each ends the program the same orderly way: call it right after
// keepStandardStreamsOpen().
void catchTerminationSignals();
// A termination request that the program has not answered within a second (the window cannot
// close while the display does not answer) runs `switchOff` on a thread of its own, which gives
// the exit code; if the program has still not ended a few seconds later, it ends with that code.
// Starts a thread: call it once every privilege is gone.
void watchTermination(std::function<int()> switchOff);
// The program is ending with `code`: the watch only makes sure that it does. Returns `code`.
int endingWith(int code);

// The application, or one line on standard error naming the display that could not be opened
// and the end of the process with exit code 1.
std::unique_ptr<QApplication> openDisplay(int &argc, char **argv);
// From the event loop's next turn on, a caught signal closes `window` the ordinary way, as a
// desktop's close request would.
void closeOnTerminationSignals(QWidget *window);

// While it lives, an exit() of the process runs `handler`: Qt ends the process with exit() when
// it loses the display, and the window never hears of it. One at a time.
class AtExit {
public:
    explicit AtExit(std::function<void()> handler);
    ~AtExit();
    AtExit(const AtExit &) = delete;
    AtExit &operator=(const AtExit &) = delete;
};

// A non-negative pseudo-random number. The source is never seeded: every run draws the same
// sequence. Tests put a source of their own in; an empty one brings the default back.
long lrand();
void setRandomSource(std::function<long()> source);

} // namespace platform
