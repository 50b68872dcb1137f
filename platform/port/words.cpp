#include "words.h"

#include <QStringList>

#include <cerrno>
#include <cstring>

namespace platform::port::words {
namespace {

using Mode = Request::Mode;

QString systemSays(int error) { return QString::fromLocal8Bit(std::strerror(error)); }
QString hex2(int n) { return QStringLiteral("0x%1").arg(n, 2, 16, QLatin1Char('0')); }
QString hex4(long n) { return QStringLiteral("0x%1").arg(n, 4, 16, QLatin1Char('0')); }

QString asked(const Request &request) { return QStringLiteral("TENVALIA_PORT=") + shown(request.text); }

QString carryingOn(const Where &next)
{
    return QStringLiteral("Tenvalia sigue con el puerto %1: las casillas funcionan, pero ninguna salida cambia.")
        .arg(nameOf(next));
}

// What a person can do about the usual refusals of a ppdev device.
QString ppdevHint(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return QStringLiteral(" (los miembros del grupo lp pueden usar el puerto sin ser root: "
                              "sudo adduser $USER lp, y volver a iniciar la sesión)");
    case EBUSY:
    case ENXIO:
        return QStringLiteral(" (puede tenerlo el controlador de impresora lp: sudo rmmod lp, y para que no vuelva "
                              "a cargarse, una línea «blacklist lp» en /etc/modprobe.d/tenvalia.conf)");
    default:
        return {};
    }
}

// The place a simulated record goes, as a sentence can name it.
QString recordPlace(const Where &where)
{
    return where.kind == Kind::Stdout ? QStringLiteral("la salida estándar") : shown(where.path);
}

QString readBack(const Where &where, const Outcome &outcome)
{
    const QString what = QStringLiteral("se escribió %1 y se leyó %2: ").arg(hex2(outcome.written & 0xFF), hex2(outcome.readBack));
    if (outcome.readBack == 0xFF) {
        const QString nothing = QStringLiteral("nada responde en esa dirección, no hay un puerto ahí.");
        if (where.kind != Kind::Direct)
            return what + nothing;
        return what + nothing + QStringLiteral(" Los puertos de las tarjetas PCI o PCIe están en otra dirección: "
                                               "úselos por ppdev (TENVALIA_PORT=auto o ppdev:/dev/parportN).");
    }
    return what + QStringLiteral("el puerto no guarda lo que se le escribe. Sus líneas de datos pueden estar "
                                 "como entradas (modo bidireccional: elija el modo normal o SPP en la BIOS), "
                                 "o algo conectado las fuerza. Las salidas no tienen el valor pedido.");
}

// One fact as a clause: what went wrong, where, and what the system said.
QString fact(const Where &where, const Outcome &outcome)
{
    const QString path = shown(where.path);
    switch (outcome.step) {
    case Step::Done:
        return {};
    case Step::NoDevice:
        return QStringLiteral("no existe ningún %1/parport*").arg(path);
    case Step::NotADevice:
        return QStringLiteral("%1 no es un puerto paralelo (no es un dispositivo ppdev)").arg(path);
    case Step::Open:
        return QStringLiteral("abrir %1: %2").arg(path, systemSays(outcome.error)) +
               (where.kind == Kind::Ppdev ? ppdevHint(outcome.error) : QString());
    case Step::NoReader:
        return QStringLiteral("abrir %1: %2 (es una FIFO y nadie la está leyendo)").arg(path, systemSays(outcome.error));
    case Step::Permission:
        return QStringLiteral("ioperm(%1, 2): %2").arg(hex4(where.base), systemSays(outcome.error));
    case Step::Unsupported:
        return QStringLiteral("no hay instrucciones de E/S de puertos en este procesador");
    case Step::Claim:
        return QStringLiteral("PPCLAIM en %1: %2").arg(path, systemSays(outcome.error)) + ppdevHint(outcome.error);
    case Step::Busy:
        if (outcome.holder.startsWith("lp"))
            return QStringLiteral("%1 está ocupado: lo tiene %2").arg(path, shown(outcome.holder)) + ppdevHint(EBUSY);
        if (outcome.holder.isEmpty())
            return QStringLiteral("%1 está ocupado: lo tiene otro programa, y Tenvalia no espera a que lo suelte").arg(path);
        return QStringLiteral("%1 está ocupado: lo tiene otro programa (%2), y Tenvalia no espera a que lo suelte")
            .arg(path, shown(outcome.holder));
    case Step::Gone:
        return QStringLiteral("%1 ya no está: el puerto desapareció (se descargó su controlador o se quitó el "
                              "dispositivo), y lo que tengan sus salidas no se sabe")
            .arg(nameOf(where));
    case Step::Write:
        if (where.kind == Kind::Ppdev)
            return QStringLiteral("PPWDATA en %1: %2").arg(path, systemSays(outcome.error));
        return QStringLiteral("escribir en %1: %2").arg(recordPlace(where), systemSays(outcome.error));
    case Step::Read:
        return QStringLiteral("PPRDATA en %1: %2").arg(path, systemSays(outcome.error));
    case Step::ReadBack:
        return readBack(where, outcome);
    case Step::Full:
        return QStringLiteral("%1 está llena: nadie lee lo que se escribe ahí").arg(recordPlace(where));
    case Step::ReaderGone:
        return QStringLiteral("%1 se cerró: quien la leía ya no está").arg(recordPlace(where));
    case Step::Short:
        return QStringLiteral("escribir en %1: escritura incompleta").arg(recordPlace(where));
    case Step::Address:
        return QStringLiteral("%1 no atiende la dirección %2").arg(nameOf(where), hex4(outcome.address));
    }
    return {};
}

// An attempt in the list of what was tried: auto mode says which way each one was.
QString attemptLine(const Request &request, const Attempt &attempt)
{
    if (request.mode != Mode::Auto)
        return fact(attempt.where, attempt.outcome);
    const QString way = attempt.where.kind == Kind::Direct ? QStringLiteral("E/S directa: ") : QStringLiteral("ppdev: ");
    return way + fact(attempt.where, attempt.outcome);
}

QString headline(const Choice &choice)
{
    if (choice.personsPortRefused && !choice.tried.empty()) {
        const Where &port = choice.tried.back().where;
        if (port.base < 0)
            return QStringLiteral("No se pudo usar %1, que puede ser el puerto paralelo en %2 (no se pudo leer en qué "
                                  "dirección está).")
                .arg(shown(port.path), hex4(choice.address));
        return QStringLiteral("No se pudo usar el puerto paralelo en %1 (%2).").arg(hex4(port.base), shown(port.path));
    }
    if (choice.request.mode == Mode::Auto)
        return QStringLiteral("No hay un puerto paralelo en %1 que Tenvalia pueda usar.").arg(hex4(choice.address));
    return QStringLiteral("No se pudo usar el puerto pedido (%1).").arg(asked(choice.request));
}

QString refusalWith(const Choice &choice, QStringList tried)
{
    QString text = headline(choice) + QStringLiteral("\n\nSe intentó:");
    for (const QString &line : tried)
        text += QStringLiteral("\n• ") + line;
    return text + QStringLiteral("\n\n") + carryingOn({Kind::Stdout});
}

QStringList triedLines(const Choice &choice)
{
    QStringList lines;
    for (const Attempt &attempt : choice.tried)
        lines << attemptLine(choice.request, attempt);
    return lines;
}

} // namespace

QString shown(const QByteArray &bytes)
{
    // Undecodable bytes show as replacement characters; control characters as escapes, so that
    // none can move a terminal's cursor or retitle it; a value too long to read is cut.
    const QString text = QString::fromLocal8Bit(bytes);
    constexpr int longest = 200;
    QString safe;
    for (const QChar c : text.left(longest)) {
        if (c.category() == QChar::Other_Control)
            safe += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            safe += c;
    }
    return text.size() <= longest ? safe : safe + QStringLiteral("…");
}

QString nameOf(const Where &where)
{
    switch (where.kind) {
    case Kind::Ppdev:
        return where.base < 0 ? QStringLiteral("ppdev %1").arg(shown(where.path))
                              : QStringLiteral("ppdev %1 en %2").arg(shown(where.path), hex4(where.base));
    case Kind::Direct:
        return QStringLiteral("E/S directa en %1").arg(hex4(where.base));
    case Kind::Stdout:
        return QStringLiteral("simulado (salida estándar)");
    case Kind::Trace:
        return QStringLiteral("simulado (%1)").arg(shown(where.path));
    case Kind::Silent:
        return QStringLiteral("simulado (sin registro)");
    }
    return {};
}

QString refusal(const Choice &choice)
{
    if (!choice.refused)
        return {};
    switch (choice.request.mode) {
    case Mode::Trace:
        return QStringLiteral("No se pudo guardar el registro del puerto simulado (%1).\n\n%2\n\n"
                              "Cada escritura se muestra en la salida estándar.")
            .arg(asked(choice.request), triedLines(choice).join(QLatin1Char('\n')));
    case Mode::Unknown:
        return QStringLiteral("%1 no es una forma conocida.\n\nFormas aceptadas: auto, ppdev:/dev/parportN, direct, "
                              "sim, sim:ARCHIVO.\n\n%2")
            .arg(asked(choice.request), carryingOn({Kind::Stdout}));
    default:
        return refusalWith(choice, triedLines(choice));
    }
}

QString notice(const Choice &choice)
{
    const Where where = choice.output->where();
    if (choice.request.mode != Mode::Auto || where.kind != Kind::Ppdev || where.base == choice.address)
        return {};
    if (where.base < 0)
        return QStringLiteral("se usa %1, cuya dirección no se pudo leer").arg(nameOf(where));
    return QStringLiteral("no hay un puerto paralelo en %1; se usa el primero que tiene el sistema, %2")
        .arg(hex4(choice.address), nameOf(where));
}

QString neverThere(const Choice &choice, const Where &lost, const Outcome &failure)
{
    return refusalWith(choice, triedLines(choice) << nameOf(lost) + QStringLiteral(": ") + fact(lost, failure));
}

QString failedWrite(const Where &lost, const Outcome &failure, const Where &next)
{
    return QStringLiteral("Falló una escritura en el puerto (%1).\n\n%2\n\n%3")
        .arg(nameOf(lost), fact(lost, failure), carryingOn(next));
}

QString switchedOff(const Where &where)
{
    return QStringLiteral("las salidas de %1 quedaron apagadas").arg(nameOf(where));
}

QString mayStillBeOn(const Where &where, const Outcome &failure)
{
    return QStringLiteral("las salidas de %1 pueden seguir encendidas: no se pudieron apagar (%2)")
        .arg(nameOf(where), fact(where, failure));
}

QString capabilitiesKept(int error)
{
    return QStringLiteral("el sistema no dejó soltar los privilegios (capset: %1); Tenvalia no sigue con ellos.")
        .arg(systemSays(error));
}

} // namespace platform::port::words
