// The window on the session bus: org.tenvalia.Tenvalia at /org/tenvalia/Tenvalia, interface
// org.tenvalia.Tenvalia1 (data/org.tenvalia.Tenvalia1.xml, from which Qt makes the adaptor).
#pragma once

#include "switchboard.h"

#include <QDBusContext>
#include <QObject>

#include <functional>

namespace platform::remote {

class DbusService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_PROPERTY(uchar Value READ value)
    Q_PROPERTY(QStringList Ticked READ ticked)
    Q_PROPERTY(QString Output READ output)
    Q_PROPERTY(bool Simulated READ simulated)
public:
    explicit DbusService(QObject *parent = nullptr);

    uchar value() const { return uchar(Switchboard::instance().state().value); }
    QStringList ticked() const { return Switchboard::instance().state().ticked; }
    QString output() const { return Switchboard::instance().state().output; }
    bool simulated() const { return Switchboard::instance().state().simulated; }

public slots:
    bool Click(const QString &box, uchar &value);

signals:
    void Clicked(const QString &box, bool ticked, uchar value, const QString &origin);

private:
    void tellChanges(const State &now);
    State told_; // what the bus last heard
};

// Answers on the session bus from the event loop's next turn, so that the window shows first.
// Says on standard error, once, when it cannot: no session bus, or another copy of the program
// holds the name. `thenHere` runs once remote control is known to be this copy's (the name is
// had, or there is no bus to ask); never when another copy has it, so that one command never
// reaches two windows.
void offerOnSessionBus(std::function<void()> thenHere = {});
// False from the moment another copy was found to hold the name.
bool remoteControlHere();

} // namespace platform::remote
