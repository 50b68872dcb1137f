// tenvaliactl: the Tenvalia window of this session, from the command line, through the session
// bus. It never touches an output itself: every click is the window's own.
#include "platform/text.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDateTime>
#include <QDBusMessage>
#include <QDBusServiceWatcher>

#include <cstdio>

namespace {

// Exit codes.
constexpr int kDone = 0, kNotDone = 1, kUsage = 2, kNotRunning = 3;

const QString kName = QStringLiteral("org.tenvalia.Tenvalia");
const QString kPath = QStringLiteral("/org/tenvalia/Tenvalia");
const QString kInterface = QStringLiteral("org.tenvalia.Tenvalia1");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kNoSuchBox = QStringLiteral("org.tenvalia.Tenvalia1.Error.NoSuchBox");
const QString kWriteFailed = QStringLiteral("org.tenvalia.Tenvalia1.Error.WriteFailed");
const QString kTooManyClicks = QStringLiteral("org.tenvalia.Tenvalia1.Error.TooManyClicks");
// A window waiting for its display answers late, if ever; a message box does not hold it up.
constexpr int kTimeoutMs = 10000;

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
    if (reply.errorName() == kWriteFailed || reply.errorName() == kTooManyClicks)
        return fail(kNotDone, why);
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
    QString selected() const { return shown(properties.value(QStringLiteral("Selected"))); }
    QString output() const { return shown(properties.value(QStringLiteral("Output"))); }
    bool available() const { return properties.value(QStringLiteral("Available"), true).toBool(); }
    // Name and caption of each box, top to bottom.
    QList<QStringList> boxes() const
    {
        QList<QStringList> boxes;
        const QDBusArgument list = properties.value(QStringLiteral("Boxes")).value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            QString name, caption;
            list.beginStructure();
            list >> name >> caption;
            list.endStructure();
            boxes.append({name, caption});
        }
        list.endArray();
        return boxes;
    }
};

int status(const QStringList &)
{
    Status now;
    if (const int failed = now.read())
        return failed;
    out(QStringLiteral("valor: 0x%1").arg(now.value() & 0xFF, 2, 16, QLatin1Char('0')));
    out(QStringLiteral("líneas D7..D0: %1").arg(now.value() & 0xFF, 8, 2, QLatin1Char('0')));
    out(QStringLiteral("marcadas: %1").arg(shown(now.ticked())));
    out(QStringLiteral("encendida: %1").arg(now.selected()));
    out(QStringLiteral("salida: %1").arg(now.output()));
    out(QStringLiteral("disponible: %1")
            .arg(now.available() ? QStringLiteral("sí") : QStringLiteral("no, la salida pedida falló, no se pudo usar o se desconectó")));
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

int select(const QString &name)
{
    QDBusMessage reply;
    if (const int failed = call(reply, kInterface, QStringLiteral("Select"), {name}))
        return failed;
    const QVariantList answer = reply.arguments();
    const uint clicks = answer.value(1).toUInt();
    out(QStringLiteral("%1: %2 %3, %4")
            .arg(platform::escapeControls(name))
            .arg(clicks)
            .arg(clicks == 1 ? QStringLiteral("clic") : QStringLiteral("clics"), valueAndLines(answer.value(0).toInt())));
    return kDone;
}

int poner(const QStringList &arguments) { return select(arguments.value(0)); }
int apagar(const QStringList &) { return select(QStringLiteral("apagadas")); }

int casillas(const QStringList &)
{
    Status now;
    if (const int failed = now.read())
        return failed;
    for (const QStringList &box : now.boxes())
        out(QStringLiteral("%1 %2").arg(shown(box.value(0)), -18).arg(shown(box.value(1))));
    return kDone;
}

// The schedule's next 48 hours, by the house's wall clock (the window's, whatever this shell's
// time zone): when, which box, and the line of the file that says so.
int horario(const QStringList &)
{
    QDBusMessage reply;
    if (const int failed = call(reply, kInterface, QStringLiteral("Schedule"), {}))
        return failed;
    const QVariantList answer = reply.arguments();
    const QString file = shown(answer.value(1)), why = shown(answer.value(2));
    if (!answer.value(0).toBool()) {
        if (!why.isEmpty())
            return fail(kNotDone, why);
        out(QStringLiteral("sin horario: no hay ningún archivo %1").arg(file));
        return kDone;
    }
    out(QStringLiteral("horario: %1").arg(file));
    static const char *const kDays[] = {"lun", "mar", "mié", "jue", "vie", "sáb", "dom"};
    const QDBusArgument events = answer.value(3).value<QDBusArgument>();
    int count = 0;
    events.beginArray();
    while (!events.atEnd()) {
        qint64 at = 0;
        int offset = 0;
        uint line = 0;
        QString box, text;
        events.beginStructure();
        events >> at >> offset >> box >> line >> text;
        events.endStructure();
        const QDateTime when = QDateTime::fromSecsSinceEpoch(at, Qt::OffsetFromUTC, offset);
        out(QStringLiteral("%1 %2  %3 línea %4: %5")
                .arg(QString::fromUtf8(kDays[(when.date().dayOfWeek() + 6) % 7]), when.toString(QStringLiteral("dd/MM HH:mm")))
                .arg(shown(box), -18)
                .arg(line)
                .arg(shown(text).simplified())); // the file's columns, closed up
        ++count;
    }
    events.endArray();
    if (count == 0)
        out(QStringLiteral("ningún evento en las próximas 48 horas"));
    return kDone;
}

// Lines for what the window says on the bus, from the window's own name only.
class Watch : public QObject {
    Q_OBJECT
public:
    Status now;

    QString state() const
    {
        return QStringLiteral("estado: %1; marcadas: %2; encendida: %3; salida: %4%5")
            .arg(valueAndLines(now.value()), shown(now.ticked()), now.selected(), now.output(),
                 now.available() ? QString() : QStringLiteral(", no disponible"));
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

int watch(const QStringList &)
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

// The commands, in the order the help shows them.
struct Command {
    const char *name;
    const char *arguments; // as the help shows them
    int least, most;       // how many arguments; most -1: no limit
    int (*run)(const QStringList &arguments);
    const char *what;
};
const Command kCommands[] = {
    {"status", "", 0, 0, status, "el valor de las líneas, D7..D0, las casillas marcadas, la encendida y la salida"},
    {"click", "CASILLA...", 1, -1, click, "un clic en cada casilla, en orden, y cómo queda cada una"},
    {"poner", "NOMBRE", 1, 1, poner,
     "deja encendida esa casilla y solo ella, con 0, 1 o 2 clics; NOMBRE: una casilla o «apagadas»"},
    {"apagar", "", 0, 0, apagar, "lo mismo que «poner apagadas»: ninguna línea encendida"},
    {"casillas", "", 0, 0, casillas, "los nombres de las casillas con sus rótulos, como las muestra la ventana"},
    {"horario", "", 0, 0, horario, "los eventos del horario en las próximas 48 horas: cuándo, qué y qué línea del archivo"},
    {"watch", "", 0, 0, watch, "una línea por cada clic o cambio, hasta que se interrumpa"},
};

QString commandNames()
{
    QStringList names;
    for (const Command &command : kCommands)
        names << QString::fromLatin1(command.name);
    return names.join(QStringLiteral(", "));
}

void help()
{
    QString text = QStringLiteral("Uso: tenvaliactl ORDEN [ARGUMENTOS]\n"
                                  "     tenvaliactl --help | --version\n\n"
                                  "Maneja por D-Bus la ventana de Tenvalia abierta en esta sesión, como con el ratón.\n");
    for (const Command &command : kCommands) {
        const QString usage = QString::fromLatin1(command.name) + QLatin1Char(' ') + QString::fromUtf8(command.arguments);
        text += QStringLiteral("  %1 %2\n").arg(usage.trimmed(), -20).arg(QString::fromUtf8(command.what));
    }
    text += QStringLiteral(
        "CASILLA es su nombre (bano, cocina, interior_casa, ...; «tenvaliactl casillas» los lista) o su\n"
        "rótulo en la ventana (\"Baño\", \"Interior Casa\"), en mayúsculas o minúsculas.\n"
        "Sale con 0 hecho; 1 la ventana no pudo hacerlo (una escritura falló, llegaron más de 10 clics por\n"
        "segundo desde fuera, o el horario está apagado por un error en su archivo); 2 uso o casilla\n"
        "equivocados; 3 si no hay ninguna ventana de Tenvalia.\n");
    std::fputs(text.toLocal8Bit().constData(), stdout);
}

int run(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    // Help wherever it is asked for; any other word with a dash is an option, never a box.
    for (const QString &word : arguments) {
        if (word == QStringLiteral("-h") || word == QStringLiteral("--help") || word == QStringLiteral("help")) {
            help();
            return kDone;
        }
    }
    if (arguments == QStringList{QStringLiteral("--version")}) {
        std::printf("tenvaliactl %s\n", TENVALIA_VERSION);
        return kDone;
    }
    for (const QString &word : arguments) {
        if (word.startsWith(QLatin1Char('-')))
            return usage(word == QStringLiteral("--version") ? QStringLiteral("--version va solo")
                                                             : QStringLiteral("opción desconocida «%1»").arg(platform::escapeControls(word)));
    }
    const QString name = arguments.value(0);
    if (name.isEmpty())
        return usage(QStringLiteral("falta la orden: %1").arg(commandNames()));
    for (const Command &command : kCommands) {
        if (name != QLatin1String(command.name))
            continue;
        const QStringList rest = arguments.mid(1);
        if (rest.size() < command.least)
            return usage(QStringLiteral("%1 necesita %2").arg(name, QString::fromUtf8(command.arguments)));
        if (command.most >= 0 && rest.size() > command.most)
            return usage(command.most == 0 ? QStringLiteral("%1 no lleva argumentos").arg(name)
                                           : QStringLiteral("%1 lleva solo %2").arg(name, QString::fromUtf8(command.arguments)));
        return command.run(rest);
    }
    return usage(QStringLiteral("orden desconocida «%1»: %2").arg(platform::escapeControls(name), commandNames()));
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
