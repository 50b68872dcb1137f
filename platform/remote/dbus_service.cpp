#include "dbus_service.h"

#include "platform/schedule/schedule_door.h"
#include "platform/stderr_lines.h"
#include "platform/text.h"
#include "tenvalia_adaptor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>


namespace platform::remote {

namespace {

const QString kName = QStringLiteral("org.tenvalia.Tenvalia");
const QString kPath = QStringLiteral("/org/tenvalia/Tenvalia");
const QString kInterface = QStringLiteral("org.tenvalia.Tenvalia1");
const QString kNoSuchBox = QStringLiteral("org.tenvalia.Tenvalia1.Error.NoSuchBox");
const QString kWriteFailed = QStringLiteral("org.tenvalia.Tenvalia1.Error.WriteFailed");
const QString kTooManyClicks = QStringLiteral("org.tenvalia.Tenvalia1.Error.TooManyClicks");

bool elsewhere = false; // another copy holds the name

} // namespace

QDBusArgument &operator<<(QDBusArgument &argument, const BoxName &box)
{
    argument.beginStructure();
    argument << box.name << box.caption;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, BoxName &box)
{
    argument.beginStructure();
    argument >> box.name >> box.caption;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const ScheduledEvent &event)
{
    argument.beginStructure();
    argument << event.at << event.offset << event.box << event.line << event.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, ScheduledEvent &event)
{
    argument.beginStructure();
    argument >> event.at >> event.offset >> event.box >> event.line >> event.text;
    argument.endStructure();
    return argument;
}

DbusService::DbusService(QObject *parent)
    : QObject(parent), told_(Switchboard::instance().state()), toldScheduleOn_(schedule::ScheduleDoor::instance().on())
{
    new TenvaliaAdaptor(this);
    auto &board = Switchboard::instance();
    connect(&board, &Switchboard::clicked, this, [this](const QString &box, bool ticked, int value, Origin origin) {
        emit Clicked(box, ticked, uchar(value), originName(origin));
    });
    connect(&board, &Switchboard::changed, this, &DbusService::tellChanges);
    connect(&schedule::ScheduleDoor::instance(), &schedule::ScheduleDoor::changed, this, &DbusService::tellScheduleOn);
}

BoxNames DbusService::boxes() const
{
    BoxNames boxes;
    for (const Switchboard::Box &box : Switchboard::instance().boxes())
        boxes.append({box.name, box.caption});
    return boxes;
}

bool DbusService::scheduleOn() const { return schedule::ScheduleDoor::instance().on(); }

bool DbusService::Schedule(QString &file, QString &why, ScheduledEvents &events)
{
    constexpr qint64 kAhead = 48 * 3600;
    const schedule::Listing listing = schedule::ScheduleDoor::instance().listing(kAhead);
    file = listing.file;
    why = listing.whyOff;
    for (const schedule::Upcoming &event : listing.events)
        events.append({event.at, event.offset, event.box, uint(event.line), event.text});
    return listing.on;
}

int DbusService::boxCalled(const QString &name, bool selection)
{
    auto &board = Switchboard::instance();
    const QStringList names = board.names();
    if (names.isEmpty()) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("la ventana de Tenvalia se está cerrando"));
        return Switchboard::kNoBox;
    }
    const int box = selection ? board.lookUp(name) : board.find(name, true);
    if (box == Switchboard::kNoBox)
        sendErrorReply(kNoSuchBox, QStringLiteral("no hay ninguna casilla «%1»; las casillas son: %2%3")
                                       .arg(escapeControls(name), names.join(QLatin1Char(' ')),
                                            selection ? QStringLiteral(", y apagadas") : QString()));
    return box;
}

bool DbusService::answered(const Result &result)
{
    switch (result.status) {
    case Result::Status::Done:
        return true;
    case Result::Status::Failed:
        sendErrorReply(kWriteFailed, result.reason);
        break;
    case Result::Status::Dropped:
        sendErrorReply(kTooManyClicks, result.reason);
        break;
    case Result::Status::Closed:
        sendErrorReply(QDBusError::Failed, result.reason);
        break;
    }
    return false;
}

bool DbusService::Click(const QString &box, uchar &value)
{
    const int index = boxCalled(box, false);
    if (index == Switchboard::kNoBox)
        return false;
    const Result result = Switchboard::instance().click(index, Origin::Dbus);
    value = uchar(result.value);
    return answered(result) && result.ticked;
}

uchar DbusService::Select(const QString &name, uint &clicks)
{
    const int index = boxCalled(name, true);
    if (index == Switchboard::kNoBox)
        return 0;
    const Result result = Switchboard::instance().select(index, Origin::Dbus);
    clicks = uint(result.clicks);
    answered(result);
    return uchar(result.value);
}

// Qt's adaptors do not send PropertiesChanged: every change is told here, with the new values.
void DbusService::tellChanges(const State &now)
{
    QVariantMap changed;
    if (now.value != told_.value)
        changed.insert(QStringLiteral("Value"), QVariant::fromValue(uchar(now.value)));
    if (now.ticked != told_.ticked)
        changed.insert(QStringLiteral("Ticked"), now.ticked);
    if (now.selected != told_.selected)
        changed.insert(QStringLiteral("Selected"), now.selected);
    if (now.output != told_.output)
        changed.insert(QStringLiteral("Output"), now.output);
    if (now.simulated != told_.simulated)
        changed.insert(QStringLiteral("Simulated"), now.simulated);
    if (now.available != told_.available)
        changed.insert(QStringLiteral("Available"), now.available);
    told_ = now;
    sendChanges(changed);
}

void DbusService::tellScheduleOn()
{
    const bool on = scheduleOn();
    if (on != std::exchange(toldScheduleOn_, on))
        sendChanges({{QStringLiteral("ScheduleOn"), on}});
}

void DbusService::sendChanges(const QVariantMap &changed)
{
    if (changed.isEmpty())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << kInterface << changed << QStringList();
    QDBusConnection::sessionBus().send(signal);
}

void offerOnSessionBus(std::function<void()> thenHere)
{
    QTimer::singleShot(0, [thenHere = std::move(thenHere)] {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            say(QStringLiteral("sin bus de sesión D-Bus (%1): la ventana no se puede manejar por D-Bus")
                    .arg(escapeControls(bus.lastError().message())));
            if (thenHere)
                thenHere();
            return;
        }
        qDBusRegisterMetaType<BoxName>();
        qDBusRegisterMetaType<BoxNames>();
        qDBusRegisterMetaType<ScheduledEvent>();
        qDBusRegisterMetaType<ScheduledEvents>();
        // The object is there before the name: whoever sees the name finds the object.
        auto *service = new DbusService(qApp);
        bus.registerObject(kPath, service, QDBusConnection::ExportAdaptors);
        // Asked without waiting: a bus that does not answer must not hold the window up.
        const QDBusPendingCall call = bus.interface()->asyncCall(
            QStringLiteral("RequestName"), kName, uint(0x4) /* DBUS_NAME_FLAG_DO_NOT_QUEUE */);
        auto *watcher = new QDBusPendingCallWatcher(call, service);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, service, [service, thenHere](QDBusPendingCallWatcher *watcher) {
            watcher->deleteLater();
            const QDBusPendingReply<uint> reply = *watcher;
            if (reply.isError()) {
                say(QStringLiteral("el bus de sesión no dio el nombre %1 (%2): la ventana no se puede manejar por D-Bus")
                        .arg(kName, escapeControls(reply.error().message())));
            } else if (const uint answer = reply.value(); answer != 1 && answer != 4) { // PRIMARY_OWNER, ALREADY_OWNER
                elsewhere = true;
                QDBusConnection::sessionBus().unregisterObject(kPath);
                service->deleteLater();
                say(QStringLiteral("otra copia de Tenvalia tiene el nombre %1 en el bus de sesión: el control "
                                   "remoto va a esa copia, esta ventana solo se maneja con el ratón y el teclado")
                        .arg(kName));
                return;
            }
            if (thenHere)
                thenHere();
        });
    });
}

bool remoteControlHere() { return !elsewhere; }

} // namespace platform::remote
