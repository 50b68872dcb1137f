// What the window needs of the desktop beyond Qt's widgets themselves.
#pragma once

#include <QString>

#include <functional>

class QMenuBar;
class QWidget;

namespace platform {

// A modal box with the text and one OK button; returns once the person has dismissed it.
void ShowMessage(QWidget *parent, const QString &text);

// F10 takes the keyboard to the menu bar, as Alt does: its first entry lit, Down opens it.
void menuBarOnF10(QMenuBar *menuBar);

// From this call on, SIGTERM, SIGINT and SIGHUP are caught and kept for the window, so that one
// arriving during start-up is not lost: call it first thing.
void catchTerminationSignals();
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
