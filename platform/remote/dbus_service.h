// The window on the session bus: org.tenvalia.Tenvalia at /org/tenvalia/Tenvalia, interface
// org.tenvalia.Tenvalia1 (data/org.tenvalia.Tenvalia1.xml, from which Qt makes the adaptor).
#pragma once

#include "switchboard.h"

#include <QDBusArgument>
#include <QDBusContext>
#include <QObject>

#include <functional>

namespace platform::remote {

// The Boxes property's elements, a(ss) on the bus.
struct BoxName {
    QString name, caption;
};
using BoxNames = QList<BoxName>;
QDBusArgument &operator<<(QDBusArgument &argument, const BoxName &box);
const QDBusArgument &operator>>(const QDBusArgument &argument, BoxName &box);

// The Schedule method's events, a(xisus) on the bus.
struct ScheduledEvent {
    qint64 at = 0;  // seconds since the epoch
    int offset = 0; // seconds the house's wall clock is ahead of UTC then
    QString box;    // ASCII name, or "apagadas"
    uint line = 0;  // in the file
    QString text;   // that line
};
using ScheduledEvents = QList<ScheduledEvent>;
QDBusArgument &operator<<(QDBusArgument &argument, const ScheduledEvent &event);
const QDBusArgument &operator>>(const QDBusArgument &argument, ScheduledEvent &event);

class DbusService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_PROPERTY(uchar Value READ value)
    Q_PROPERTY(QStringList Ticked READ ticked)
    Q_PROPERTY(QString Selected READ selected)
    Q_PROPERTY(QString Output READ output)
    Q_PROPERTY(bool Simulated READ simulated)
    Q_PROPERTY(bool Available READ available)
    Q_PROPERTY(platform::remote::BoxNames Boxes READ boxes)
    Q_PROPERTY(bool ScheduleOn READ scheduleOn)
public:
    explicit DbusService(QObject *parent = nullptr);

    uchar value() const { return uchar(Switchboard::instance().state().value); }
    QStringList ticked() const { return Switchboard::instance().state().ticked; }
    QString selected() const { return Switchboard::instance().state().selected; }
    QString output() const { return Switchboard::instance().state().output; }
    bool simulated() const { return Switchboard::instance().state().simulated; }
    bool available() const { return Switchboard::instance().state().available; }
    BoxNames boxes() const;
    bool scheduleOn() const;

public slots:
    bool Click(const QString &box, uchar &value);
    uchar Select(const QString &name, uint &clicks);
    bool Schedule(QString &file, QString &why, platform::remote::ScheduledEvents &events);

signals:
    void Clicked(const QString &box, bool ticked, uchar value, const QString &origin);

private:
    // The box called `name` (kAllOff too where `selection`), or an error sent back.
    int boxCalled(const QString &name, bool selection);
    // True when done; otherwise the error sent back.
    bool answered(const Result &result);
    void tellChanges(const State &now);
    void tellScheduleOn();
    void sendChanges(const QVariantMap &changed);
    State told_;              // what the bus last heard
    bool toldScheduleOn_ = false;
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

Q_DECLARE_METATYPE(platform::remote::BoxName)
Q_DECLARE_METATYPE(platform::remote::BoxNames)
Q_DECLARE_METATYPE(platform::remote::ScheduledEvent)
Q_DECLARE_METATYPE(platform::remote::ScheduledEvents)
