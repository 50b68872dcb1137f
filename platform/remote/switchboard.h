// Where the doors from outside (the session bus, MQTT, the schedule) meet the window's boxes. It
// knows the boxes by name and can click them, as the person would, or ask the window to select
// one; rooms and masks stay in the form.
#pragma once

#include "hush.h"
#include "pace.h"

#include <QMetaType>
#include <QObject>
#include <QStringList>

#include <functional>

namespace platform::remote {

// Who clicked, or selected.
enum class Origin { Window, Dbus, Mqtt, Schedule };
QString originName(Origin origin); // "window", "dbus", "mqtt", "horario"

// What the outputs hold, as the doors tell it.
struct State {
    int value = 0;      // read back after the last write (the value written where the output cannot read)
    QStringList ticked; // ASCII names of the ticked boxes, top to bottom as the window shows them
    // The lit box: the ASCII name of the box whose lines the output holds, "apagadas" when it
    // holds none.
    QString selected;
    QString output;     // which output is driven, in the window's words
    bool simulated = true;
    // False while the output in use stands in for one that was asked for or found and failed.
    bool available = true;

    bool operator==(const State &other) const;
    bool operator!=(const State &other) const { return !(*this == other); }
};

// What a click or a selection came to.
struct Result {
    enum class Status {
        Done,    // every write reached the output asked for, which holds what was asked
        Failed,  // a write did not (reason says why); the clicks up to it were made
        Dropped, // more remote clicks than the pace allows: nothing was done
        Closed,  // no window, or it is closing: nothing was done
    };
    Status status = Status::Closed;
    QString reason; // unless Done: why, in one line of the person's words
    int value = 0;  // the lines the output holds afterwards
    int clicks = 0; // the clicks made on the window's boxes: a click 1, a selection 0 to 2
    bool ticked = false; // a click: whether its box is ticked now

    bool done() const { return status == Status::Done; }
};

class Switchboard : public QObject {
    Q_OBJECT
public:
    static Switchboard &instance();

    // lookUp()'s answers besides a box's index.
    static constexpr int kNoBox = -1;
    static constexpr int kAllOff = -2; // "apagadas": nothing lit
    static QString allOffName();       // "apagadas"

    struct Box {
        QString name;    // ASCII, for commands and topics
        QString caption; // as shown
    };

    // The window's side: its boxes and handlers. `clicksToSelect` tells how many clicks selecting
    // a box (or kAllOff) would take now, without making them, so that a selection is dropped
    // whole rather than half done.
    struct Window {
        QList<Box> boxes;   // top to bottom
        QStringList lines;  // D0 first: the caption of the box that switches that line alone
        std::function<Result(int box)> click;
        std::function<int(int box)> clicksToSelect;
        std::function<Result(int box)> select;
        std::function<State()> state;
    };
    // A window that goes (`owner`, when given) takes its boxes with it. The pace of clicks from
    // outside starts anew with each window.
    void attach(Window window, QObject *owner = nullptr);
    // The window's handler for `box` has written: clicked() with whoever clicked, then changed().
    void written(int box, bool ticked);
    // Any other write (open, close): changed().
    void outputChanged();
    // The window has closed and cleared the outputs: no click from outside is taken after that.
    void windowClosed();

    // The doors' side, on the GUI thread.
    QStringList names() const; // ASCII names, top to bottom; none once the window has closed
    QList<Box> boxes() const;  // as attached, also while the window closes
    QStringList lines() const; // as attached
    // The box called `text`: exactly its ASCII name, or with captionsToo its ASCII name or its
    // caption, either without regard to case. kNoBox when there is none.
    int find(const QString &text, bool captionsToo) const;
    // What a selection may name: a box by its ASCII name or caption, or "apagadas", without
    // regard to case. A box's index, kAllOff or kNoBox.
    int lookUp(const QString &text) const;
    // The ASCII name of a box, or "apagadas" for kAllOff.
    QString nameOf(int box) const;

    // Exactly a click on that box in the window: it toggles on screen, and its handler writes.
    Result click(int box, Origin origin);
    // Selects a box (or kAllOff): the window's own selection, in clicks on that box, each told
    // by clicked() with this origin. A selection from the schedule is not held to the pace of
    // clicks from outside.
    Result select(int box, Origin origin);
    State state() const;

    // Clicks from outside (D-Bus and MQTT together, a selection counting its clicks) acted on at
    // most this many a second; the rest are dropped, and said once a burst is over.
    static constexpr int kRemoteClicksPerSecond = 10;

signals:
    void clicked(const QString &name, bool ticked, int value, platform::remote::Origin origin);
    void changed(const platform::remote::State &state);

private:
    Switchboard();
    bool paced(int clicks, Origin origin);

    Window window_;
    Origin origin_ = Origin::Window; // who is clicking now
    bool open_ = false;              // a window is attached and has not closed
    QMetaObject::Connection ownerGone_;
    Pace pace_{kRemoteClicksPerSecond, std::chrono::seconds(1)};
    Tally dropped_; // remote clicks dropped
};

} // namespace platform::remote

Q_DECLARE_METATYPE(platform::remote::Origin)
Q_DECLARE_METATYPE(platform::remote::State)
