// Where the doors from outside the window (the session bus, MQTT) meet the window's boxes. It knows
// the boxes by name and can click them, as the person would; rooms and masks stay in the form.
#pragma once

#include <QMetaType>
#include <QObject>
#include <QStringList>

#include <functional>

namespace platform::remote {

// Who clicked.
enum class Origin { Window, Dbus, Mqtt };
QString originName(Origin origin); // "window", "dbus", "mqtt"

// What the outputs hold, as the doors tell it.
struct State {
    int value = 0;      // read back after the last write (the value written where the output cannot read)
    QStringList ticked; // ASCII names of the ticked boxes, top to bottom as the window shows them
    QString output;     // which output is driven, in the window's words
    bool simulated = true;

    bool operator==(const State &other) const;
    bool operator!=(const State &other) const { return !(*this == other); }
};

class Switchboard : public QObject {
    Q_OBJECT
public:
    static Switchboard &instance();

    struct Box {
        QString name;    // ASCII, for commands and topics
        QString caption; // as shown
    };

    // The window's side. A window that goes (`owner`, when given) takes its boxes with it.
    void attach(QList<Box> boxes, std::function<void(int box)> click, std::function<State()> state,
                QObject *owner = nullptr);
    // The window's handler for `box` has written: clicked() with whoever clicked, then changed().
    void written(int box, bool ticked);
    // Any other write (open, close): changed().
    void outputChanged();
    // The window has closed and cleared the outputs: no click from outside is taken after that.
    void windowClosed();

    // The doors' side, on the GUI thread.
    QStringList names() const; // ASCII names, top to bottom; none once the window has closed
    // The box called `text`: exactly its ASCII name, or with captionsToo its ASCII name or its
    // caption, either without regard to case. -1 when there is none.
    int find(const QString &text, bool captionsToo) const;
    struct Result {
        bool ticked;
        int value;
    };
    // Exactly a click on that box in the window: it toggles on screen, and its handler writes.
    Result click(int box, Origin origin);
    State state() const;

signals:
    void clicked(const QString &name, bool ticked, int value, platform::remote::Origin origin);
    void changed(const platform::remote::State &state);

private:
    QList<Box> boxes_;
    std::function<void(int)> click_;
    std::function<State()> state_;
    Origin origin_ = Origin::Window; // who is clicking now
    bool open_ = false;              // a window is attached and has not closed
    QMetaObject::Connection ownerGone_;
};

} // namespace platform::remote

Q_DECLARE_METATYPE(platform::remote::Origin)
Q_DECLARE_METATYPE(platform::remote::State)
