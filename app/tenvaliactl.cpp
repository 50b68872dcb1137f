// tenvaliactl: the Tenvalia window of this session, from the command line, through the session
// bus. It never touches an output itself: every click is the window's own.
#include "platform/text.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>

#include <cstdio>

namespace {

// Exit codes.
constexpr int kDone = 0, kUsage = 2, kNotRunning = 3;

const QString kName = QStringLiteral("org.tenvalia.Tenvalia");
const QString kPath = QStringLiteral("/org/tenvalia/Tenvalia");
const QString kInterface = QStringLiteral("org.tenvalia.Tenvalia1");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kNoSuchBox = QStringLiteral("org.tenvalia.Tenvalia1.Error.NoSuchBox");
// A window waiting for its display answers late, if ever; a message box does not hold it up.
constexpr int kTimeoutMs = 10000;

const char kHelp[] =
    "Uso: tenvaliactl status\n"
    "     tenvaliactl click CASILLA...\n"
    "     tenvaliactl watch\n"
    "     tenvaliactl --help | --version\n"
    "\n"
    "Maneja por D-Bus la ventana de Tenvalia abierta en esta sesión, como con el ratón.\n"
    "  status          el valor de las líneas, D7..D0, las casillas marcadas y la salida\n"
    "  click CASILLA…  un clic en cada casilla, en orden, y cómo queda cada una\n"
    "  watch           una línea por cada clic o cambio, hasta que se interrumpa\n"
    "CASILLA es su nombre (bano, cocina, interior_casa, ...) o su rótulo en la ventana\n"
    "(\"Baño\", \"Interior Casa\"), en mayúsculas o minúsculas.\n"
    "Sale con 0 hecho, 2 uso o casilla equivocados, 3 si no hay ninguna ventana de Tenvalia.\n";

void out(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout); // a pipe reads each line as it comes
}

int fail(int code, const QString &line)
{
    std::fprintf(stderr, "tenvaliactl: %s\n", qPrintable(line));
    return code;
}

int usage(const QString &line)
{
    fail(kUsage, line);
    std::fputs("Pruebe «tenvaliactl --help».\n", stderr);
    return kUsage;
}

// Everything from the bus is shown, never obeyed.
QString shown(const QVariant &value) { return platform::escapeControls(value.toString()); }
QString shown(const QStringList &list) { return list.isEmpty() ? QStringLiteral("ninguna") : shown(list.join(QLatin1Char(' '))); }

QString valueAndLines(int value)
{
    return QStringLiteral("valor 0x%1, líneas D7..D0 %2")
        .arg(value & 0xFF, 2, 16, QLatin1Char('0'))
        .arg(value & 0xFF, 8, 2, QLatin1Char('0'));
}

// A call to the window; the exit code when it did not answer as it should, else 0.
int call(QDBusMessage &reply, const QString &interface, const QString &method, const QVariantList &arguments)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return fail(kNotRunning, QStringLiteral("sin bus de sesión D-Bus (%1): no hay ninguna ventana de Tenvalia que manejar")
                                     .arg(platform::escapeControls(bus.lastError().message())));
    QDBusMessage message = QDBusMessage::createMethodCall(kName, kPath, interface, method);
    message.setArguments(arguments);
    reply = bus.call(message, QDBus::Block, kTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return kDone;
    const QString why = platform::escapeControls(reply.errorMessage());
    if (reply.errorName() == kNoSuchBox)
        return fail(kUsage, why);
    if (reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown") ||
        reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"))
        return fail(kNotRunning, QStringLiteral("no hay ninguna ventana de Tenvalia abierta en esta sesión"));
    return fail(kNotRunning, QStringLiteral("la ventana de Tenvalia no respondió: %1").arg(why));
}

// What the window tells of itself, kept up to date from its PropertiesChanged.
struct Status {
    QVariantMap properties;

    int read()
    {
        QDBusMessage reply;
        if (const int failed = call(reply, kProperties, QStringLiteral("GetAll"), {kInterface}))
            return failed;
        properties = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        return kDone;
    }
    int value() const { return properties.value(QStringLiteral("Value")).toInt(); }
    QStringList ticked() const { return properties.value(QStringLiteral("Ticked")).toStringList(); }
    QString output() const { return shown(properties.value(QStringLiteral("Output"))); }
};

int status()
{
    Status now;
    if (const int failed = now.read())
        return failed;
    out(QStringLiteral("valor: 0x%1").arg(now.value() & 0xFF, 2, 16, QLatin1Char('0')));
    out(QStringLiteral("líneas D7..D0: %1").arg(now.value() & 0xFF, 8, 2, QLatin1Char('0')));
    out(QStringLiteral("marcadas: %1").arg(shown(now.ticked())));
    out(QStringLiteral("salida: %1").arg(now.output()));
    return kDone;
}

// Stops at the first name refused: the clicks after it were meant to follow it.
int click(const QStringList &names)
{
    for (const QString &name : names) {
        QDBusMessage reply;
        if (const int failed = call(reply, kInterface, QStringLiteral("Click"), {name}))
            return failed;
        const QVariantList answer = reply.arguments();
        out(QStringLiteral("%1: %2, %3")
                .arg(platform::escapeControls(name),
                     answer.value(0).toBool() ? QStringLiteral("marcada") : QStringLiteral("sin marcar"),
                     valueAndLines(answer.value(1).toInt())));
    }
    return kDone;
}

// Lines for what the window says on the bus, from the window's own name only.
class Watch : public QObject {
    Q_OBJECT
public:
    Status now;

    QString state() const
    {
        return QStringLiteral("estado: %1; marcadas: %2; salida: %3").arg(valueAndLines(now.value()), shown(now.ticked()), now.output());
    }

public slots:
    void clicked(const QDBusMessage &signal)
    {
        const QVariantList a = signal.arguments();
        out(QStringLiteral("clic: %1 %2, %3, desde %4")
                .arg(shown(a.value(0)), a.value(1).toBool() ? QStringLiteral("marcada") : QStringLiteral("sin marcar"),
                     valueAndLines(a.value(2).toInt()), shown(a.value(3))));
    }
    void propertiesChanged(const QDBusMessage &signal)
    {
        if (signal.arguments().value(0).toString() != kInterface)
            return;
        const QVariantMap changed = qdbus_cast<QVariantMap>(signal.arguments().value(1));
        for (auto it = changed.begin(); it != changed.end(); ++it)
            now.properties.insert(it.key(), it.value());
        out(state());
    }
};

int watch()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    Watch watch;
    // Listening before the first look: no change falls between the two.
    if (bus.isConnected()) {
        bus.connect(kName, kPath, kInterface, QStringLiteral("Clicked"), &watch, SLOT(clicked(QDBusMessage)));
        bus.connect(kName, kPath, kProperties, QStringLiteral("PropertiesChanged"), &watch, SLOT(propertiesChanged(QDBusMessage)));
    }
    if (const int failed = watch.now.read())
        return failed;
    QDBusServiceWatcher gone(kName, bus, QDBusServiceWatcher::WatchForUnregistration);
    QObject::connect(&gone, &QDBusServiceWatcher::serviceUnregistered, [] {
        fail(kNotRunning, QStringLiteral("la ventana de Tenvalia se cerró"));
        QCoreApplication::exit(kNotRunning);
    });
    out(watch.state());
    return QCoreApplication::exec();
}

int run(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString command = arguments.value(0);
    arguments = arguments.mid(1);
    if (command == QStringLiteral("--help") && arguments.isEmpty()) {
        std::fputs(kHelp, stdout);
        return kDone;
    }
    if (command == QStringLiteral("--version") && arguments.isEmpty()) {
        std::printf("tenvaliactl %s\n", TENVALIA_VERSION);
        return kDone;
    }
    if (command == QStringLiteral("status") && arguments.isEmpty())
        return status();
    if (command == QStringLiteral("click") && !arguments.isEmpty())
        return click(arguments);
    if (command == QStringLiteral("watch") && arguments.isEmpty())
        return watch();
    if (command == QStringLiteral("click"))
        return usage(QStringLiteral("click necesita al menos una casilla"));
    if (command.isEmpty())
        return usage(QStringLiteral("falta la orden: status, click o watch"));
    if (QStringList{"status", "watch", "--help", "--version"}.contains(command))
        return usage(QStringLiteral("%1 no lleva argumentos").arg(command));
    return usage(QStringLiteral("orden desconocida «%1»: status, click o watch").arg(platform::escapeControls(command)));
}

} // namespace

int main(int argc, char *argv[])
{
    const int code = run(argc, argv);
    // Qt's bus thread may still be taking the bus's greeting while the process's statics go, and
    // says so on standard error: nothing is left to tidy, so the process ends without them.
    std::fflush(stdout);
    std::_Exit(code);
}

#include "tenvaliactl.moc"
