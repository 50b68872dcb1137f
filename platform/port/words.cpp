#include "words.h"

#include "guardian.h"

#include <QStringList>

#include <cstring>

namespace platform::port::words {
namespace {

using Mode = Request::Mode;

QString asked(const Request &request) { return QStringLiteral("TENVALIA_PORT=") + shown(request.text); }

QString carryingOn(const Where &next)
{
    return QStringLiteral("Tenvalia sigue con el puerto %1: las casillas funcionan, pero ninguna salida cambia.")
        .arg(nameOf(next));
}

// An attempt in the list of what was tried: auto mode says which way each one was.
QString attemptLine(const Request &request, const Attempt &attempt)
{
    if (request.mode != Mode::Auto)
        return clause(attempt.where, attempt.outcome);
    switch (attempt.where.kind) {
    case Kind::Direct:
        return QStringLiteral("E/S directa: ") + clause(attempt.where, attempt.outcome);
    case Kind::Hid:
        return QStringLiteral("placa USB: ") + clause(attempt.where, attempt.outcome);
    case Kind::Ftdi:
        return QStringLiteral("placa FTDI: ") + clause(attempt.where, attempt.outcome);
    default:
        return QStringLiteral("ppdev: ") + clause(attempt.where, attempt.outcome);
    }
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

// The boards auto mode (or the first-board forms) left aside, each with the form that takes it.
QString passedOver(const std::vector<Where> &boards)
{
    QStringList names;
    for (const Where &board : boards) {
        if (board.kind == Kind::Hid)
            names << QStringLiteral("%1, id «%2» (TENVALIA_PORT=hid:%2)").arg(shown(board.path), idOf(board.serial));
        else if (board.serial.isEmpty())
            names << nameOf(board) + QStringLiteral(" (sin número de serie)");
        else
            names << QStringLiteral("%1 (TENVALIA_PORT=ftdi:%2)").arg(nameOf(board), shown(board.serial));
    }
    return names.isEmpty() ? QString() : QStringLiteral("; quedan sin usar: ") + names.join(QStringLiteral("; "));
}

QString pinList(const std::vector<int> &pins)
{
    QStringList numbers;
    for (const int pin : pins)
        numbers << QString::number(pin);
    return numbers.join(QStringLiteral(", "));
}

// Said once: what a serial relay module cannot do.
QString serialModuleNotice(const Where &where)
{
    const int relays = int(where.lines.size());
    QStringList said;
    if (relays < 8)
        said << QStringLiteral("%1 no van a ninguna parte").arg(linesOf(0xFF & ~((1 << relays) - 1)));
    if (where.writeOnly)
        said << QStringLiteral("el módulo no dice qué relés tiene encendidos: se le escriben, pero no se leen de "
                               "vuelta, y si uno no sigue, Tenvalia no lo sabrá");
    if (said.isEmpty())
        return {};
    return QStringLiteral("%1, %2 %3: %4")
        .arg(nameOf(where))
        .arg(relays)
        .arg(relays == 1 ? QStringLiteral("relé") : QStringLiteral("relés"), said.join(QStringLiteral("; ")));
}

} // namespace

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
                              "hid, hid:/dev/hidrawN, gpio:/dev/gpiochipN:L0,L1,... (de 1 a 8 líneas distintas, y "
                              ":active-low al final si los relés se encienden en bajo), "
                              "lcus:/dev/ttyUSBn[:N] (un módulo de N relés, de 1 a 8; 8 si no se dice), "
                              "modbus:/dev/ttyUSBn[:DIRECCIÓN[:BAUDIOS]] (una placa Modbus RTU; 1 y 9600 si no se dicen), "
                              "sim, sim:ARCHIVO, "
                              "hid:ID (el id de 5 caracteres de la placa), ftdi[:NÚMERO_DE_SERIE][:P0,P1,...] (de 2 a 8 "
                              "pines distintos, de 0 a 7, para D0, D1...).\n\n%2")
            .arg(asked(choice.request), carryingOn({Kind::Stdout}));
    default:
        return refusalWith(choice, triedLines(choice));
    }
}

QString notice(const Choice &choice)
{
    const Where where = choice.output->where();
    if (where.kind == Kind::Lcus)
        return serialModuleNotice(where);
    if ((where.kind == Kind::Hid && choice.request.path.isEmpty()) || where.kind == Kind::Ftdi) {
        const int relays = int(where.lines.size());
        QString line = where.kind == Kind::Hid
                           ? QStringLiteral("se usa la placa de relés %1: %2, id «%3», %4 %5")
                                 .arg(shown(where.path), shown(where.product), idOf(where.serial))
                                 .arg(relays)
                                 .arg(relays == 1 ? QStringLiteral("relé") : QStringLiteral("relés"))
                           : QStringLiteral("se usa la %1 (%2): %3, D0 a D%4 en los pines %5")
                                 .arg(nameOf(where), shown(where.path), shown(where.product))
                                 .arg(relays - 1)
                                 .arg(pinList(where.lines));
        if (relays < 8)
            line += QStringLiteral("; %1 no van a ninguna parte").arg(linesOf(0xFF & ~((1 << relays) - 1)));
        if (choice.request.mode == Mode::Auto)
            line.prepend(QStringLiteral("no hay un puerto paralelo en %1; ").arg(hex4(choice.address)));
        return line + passedOver(choice.passedOver);
    }
    if (choice.request.mode != Mode::Auto || where.kind != Kind::Ppdev || where.base == choice.address)
        return {};
    if (where.base < 0)
        return QStringLiteral("se usa %1, cuya dirección no se pudo leer").arg(nameOf(where));
    return QStringLiteral("no hay un puerto paralelo en %1; se usa el primero que tiene el sistema, %2")
        .arg(hex4(choice.address), nameOf(where));
}

QString neverThere(const Choice &choice, const Where &lost, const Outcome &failure)
{
    return refusalWith(choice, triedLines(choice) << nameOf(lost) + QStringLiteral(": ") + clause(lost, failure));
}

QString failedWrite(const Where &lost, const Outcome &failure, const Where &next)
{
    return QStringLiteral("Falló una escritura en el puerto (%1).\n\n%2\n\n%3")
        .arg(nameOf(lost), clause(lost, failure), carryingOn(next));
}

QString notReached(const Where &lost, const Outcome &failure)
{
    return QStringLiteral("la escritura no llegó a %1: %2").arg(nameOf(lost), clause(lost, failure));
}

QString standingIn(const Choice &choice)
{
    QString what = choice.request.mode == Mode::Auto ? QString() : asked(choice.request);
    if (!choice.tried.empty()) {
        const Attempt &last = choice.tried.back();
        what += (what.isEmpty() ? nameOf(last.where) : QString()) + QStringLiteral(": ") + clause(last.where, last.outcome);
    }
    return QStringLiteral("la salida pedida no está disponible (%1); se escribe en %2")
        .arg(what, nameOf(choice.output->where()));
}

QString standingIn(const Where &lost, const Outcome &failure, const Where &next)
{
    return QStringLiteral("la salida pedida no está disponible (%1 falló: %2); se escribe en %3")
        .arg(nameOf(lost), clause(lost, failure), nameOf(next));
}

QString untilBack(const Request &remembered, bool gone)
{
    if (remembered.mode == Mode::Board)
        return QStringLiteral("Si se conecta una placa de relés USB, Tenvalia la usa, con lo que muestren entonces las "
                              "casillas.");
    return (gone ? QStringLiteral("Cuando se conecte, ") : QStringLiteral("Si se desconecta y se vuelve a conectar, ")) +
           QStringLiteral("recibe lo que muestren entonces las casillas, y las salidas vuelven a seguirlas.");
}

QString wentAway(const Where &lost, const Outcome &gone)
{
    QString what = clause(lost, gone);
    what[0] = what[0].toUpper();
    return what + QStringLiteral(".\n\n") + carryingOn({Kind::Stdout});
}

QString notTaken(const Where &where, const Outcome &refusal)
{
    return QStringLiteral("%1 se conectó, pero no se usa: %2").arg(nameOf(where), clause(where, refusal));
}

QString notTheOne(const Where &other, const Request &wanted)
{
    if (other.kind == Kind::Hid)
        return QStringLiteral("la placa de relés %1, id «%2», no es la que se usa (id «%3»): Tenvalia no la toca")
            .arg(shown(other.path), idOf(other.serial), idOf(wanted.serial));
    return QStringLiteral("la %1 no es la que se usa (%2): Tenvalia no la toca")
        .arg(nameOf(other), wanted.serial.isEmpty() ? QStringLiteral("la del puerto USB %1").arg(shown(wanted.path))
                                                    : QStringLiteral("«%1»").arg(shown(wanted.serial)));
}

namespace {

// What the output holds after the write of the window's value.
QString holds(const Outcome &written)
{
    const QString lines = (written.written & 0xFF) ? linesOf(written.written & 0xFF) : QStringLiteral("todo apagado");
    if (written.readBack < 0)
        return QStringLiteral("se le escribió lo que muestran las casillas (%1), sin poder leerlo de vuelta").arg(lines);
    return QStringLiteral("tiene lo que muestran las casillas (%1)").arg(lines);
}

} // namespace

QString back(const Where &where, const Outcome &written)
{
    return QStringLiteral("%1 volvió y se usa de nuevo: %2").arg(nameOf(where), holds(written));
}

QString arrived(const Choice &found, const Outcome &written)
{
    return notice(found) + QStringLiteral("; se conectó después del inicio, y ") + holds(written);
}

QString notWatched(const Request &remembered, int error)
{
    const QString why = QString::fromLocal8Bit(std::strerror(error));
    if (remembered.mode == Mode::Board)
        return QStringLiteral("no se puede saber si se conecta una placa de relés (%1): solo se buscan al iniciar").arg(why);
    return QStringLiteral("no se puede saber si la salida se desconecta y vuelve (%1): si se va, se vuelve a usar solo al "
                          "reiniciar Tenvalia").arg(why);
}

QString switchedOff(const Where &where)
{
    return QStringLiteral("las salidas de %1 quedaron apagadas").arg(nameOf(where));
}

QString mayStillBeOn(const Where &where, const Outcome &failure)
{
    return QStringLiteral("las salidas de %1 pueden seguir encendidas: no se pudieron apagar (%2)")
        .arg(nameOf(where), clause(where, failure));
}

QString writeNeverEnded(int seconds)
{
    return QStringLiteral("una escritura en el puerto no terminó en %1 s (el dispositivo no responde): no se pudo "
                          "apagar nada más, y las salidas pueden seguir encendidas").arg(seconds);
}

QString noGuardian(int error)
{
    return QStringLiteral("sin proceso guardián (%1: %2): si Tenvalia muere con kill -9, las salidas quedan como estén")
        .arg(QLatin1String(guardian::kName), QString::fromLocal8Bit(std::strerror(error)));
}

QString capabilitiesKept(int error)
{
    return QStringLiteral("el sistema no dejó soltar los privilegios (capset: %1); Tenvalia no sigue con ellos.")
        .arg(QString::fromLocal8Bit(std::strerror(error)));
}

} // namespace platform::port::words
