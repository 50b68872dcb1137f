#include "dbus_service.h"

#include "platform/stderr_lines.h"
#include "platform/text.h"
#include "tenvalia_adaptor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>


namespace platform::remote {

namespace {

const QString kName = QStringLiteral("org.tenvalia.Tenvalia");
const QString kPath = QStringLiteral("/org/tenvalia/Tenvalia");
const QString kInterface = QStringLiteral("org.tenvalia.Tenvalia1");
const QString kNoSuchBox = QStringLiteral("org.tenvalia.Tenvalia1.Error.NoSuchBox");

bool elsewhere = false; // another copy holds the name

} // namespace

DbusService::DbusService(QObject *parent) : QObject(parent), told_(Switchboard::instance().state())
{
    new TenvaliaAdaptor(this);
    auto &board = Switchboard::instance();
    connect(&board, &Switchboard::clicked, this, [this](const QString &box, bool ticked, int value, Origin origin) {
        emit Clicked(box, ticked, uchar(value), originName(origin));
    });
    connect(&board, &Switchboard::changed, this, &DbusService::tellChanges);
}

bool DbusService::Click(const QString &box, uchar &value)
{
    auto &board = Switchboard::instance();
    const QStringList names = board.names();
    if (names.isEmpty()) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("la ventana de Tenvalia se está cerrando"));
        return false;
    }
    const int index = board.find(box, true);
    if (index < 0) {
        sendErrorReply(kNoSuchBox, QStringLiteral("no hay ninguna casilla «%1»; las casillas son: %2")
                                       .arg(escapeControls(box), names.join(QLatin1Char(' '))));
        return false;
    }
    const Switchboard::Result result = board.click(index, Origin::Dbus);
    value = uchar(result.value);
    return result.ticked;
}

// Qt's adaptors do not send PropertiesChanged: every change is told here, with the new values.
void DbusService::tellChanges(const State &now)
{
    QVariantMap changed;
    if (now.value != told_.value)
        changed.insert(QStringLiteral("Value"), QVariant::fromValue(uchar(now.value)));
    if (now.ticked != told_.ticked)
        changed.insert(QStringLiteral("Ticked"), now.ticked);
    if (now.output != told_.output)
        changed.insert(QStringLiteral("Output"), now.output);
    if (now.simulated != told_.simulated)
        changed.insert(QStringLiteral("Simulated"), now.simulated);
    told_ = now;
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
