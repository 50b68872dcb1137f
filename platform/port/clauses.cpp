#include "words.h"

#include "platform/toolkit.h"

#include <QStringList>

#include <modbus.h>

#include <cerrno>
#include <cstring>

// The pieces every sentence about the port is made of: names, and one clause per fact.
namespace platform::port::words {
namespace {

QString systemSays(int error) { return QString::fromLocal8Bit(std::strerror(error)); }
QString hex2(int n) { return QStringLiteral("0x%1").arg(n, 2, 16, QLatin1Char('0')); }

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

QString openHint(Kind kind, int error)
{
    if (kind == Kind::Ppdev)
        return ppdevHint(error);
    if (error != EACCES && error != EPERM)
        return {};
    if (kind == Kind::Hid || kind == Kind::Ftdi)
        return QStringLiteral(" (el paquete de Tenvalia instala una regla de udev que da la placa a quien está ante el "
                              "escritorio: desenchúfela y vuelva a enchufarla; sin el paquete, copie "
                              "70-tenvalia-relays.rules en /etc/udev/rules.d)");
    if (kind == Kind::Lcus || kind == Kind::Modbus)
        return QStringLiteral(" (los miembros del grupo dialout pueden usar los puertos serie: sudo adduser $USER "
                              "dialout, y volver a iniciar la sesión)");
    if (kind == Kind::Gpio)
        return QStringLiteral(" (los miembros del grupo gpio pueden usar las líneas: sudo adduser $USER gpio, y volver a "
                              "iniciar la sesión)");
    return {};
}

// The place a simulated record goes, as a sentence can name it.
QString recordPlace(const Where &where)
{
    return where.kind == Kind::Stdout ? QStringLiteral("la salida estándar") : shown(where.path);
}

QString lineList(const std::vector<int> &lines)
{
    QStringList numbers;
    for (const int line : lines)
        numbers << QString::number(line);
    return numbers.join(QLatin1Char(','));
}

QString holderOf(Kind kind)
{
    switch (kind) {
    case Kind::Gpio:
        return QStringLiteral("el chip");
    case Kind::Lcus:
        return QStringLiteral("el módulo");
    default:
        return QStringLiteral("la placa");
    }
}

// A serial board's request, as the person may look it up.
QString request(const Where &where, int function)
{
    if (where.kind == Kind::Lcus)
        return QStringLiteral("la petición de estado (0xff)");
    if (function == 0x01)
        return QStringLiteral("la función 1 (leer bobinas)");
    if (function == 0x0F)
        return QStringLiteral("la función 15 (escribir varias bobinas)");
    return QStringLiteral("la función %1").arg(function);
}

QString bytesOf(const QByteArray &bytes)
{
    QStringList hex;
    for (const char byte : bytes)
        hex << QStringLiteral("%1").arg(quint8(byte), 2, 16, QLatin1Char('0'));
    return hex.join(QLatin1Char(' '));
}

QString exceptionOf(const QByteArray &answer)
{
    const int code = answer.size() > 2 ? quint8(answer.at(2)) : -1;
    switch (code) {
    case 1:
        return QStringLiteral("1, función no admitida");
    case 2:
        return QStringLiteral("2, dirección de datos no válida: ¿tiene la placa menos de 8 relés?");
    case 3:
        return QStringLiteral("3, valor no válido");
    case 4:
        return QStringLiteral("4, fallo del dispositivo");
    default:
        return QString::number(code);
    }
}

QString wrongAnswer(const Where &where, const Outcome &outcome)
{
    const QString who = QStringLiteral("%1 respondió a %2").arg(nameOf(where), request(where, outcome.function));
    if (where.kind == Kind::Lcus && outcome.answer.toUpper().contains("CH"))
        return QStringLiteral("%1 con «%2», sin el estado de cada uno de sus %3 relés: si tiene menos, dígalo al final "
                              "de TENVALIA_PORT (lcus:%4:N)")
            .arg(who, shown(outcome.answer))
            .arg(where.lines.size())
            .arg(shown(where.path));
    if (where.kind == Kind::Lcus)
        return QStringLiteral("%1 con «%2»: no es un módulo de relés LCUS, o no uno que Tenvalia conozca")
            .arg(who, shown(outcome.answer));
    if (outcome.answer.isEmpty())
        return QStringLiteral("%1 con una trama que no se pudo leer (%2): ¿es %3 baudios 8N1 la velocidad de la placa? "
                              "¿hay otra en el bus con la dirección %4?")
            .arg(who, outcome.error == EMBBADCRC ? QStringLiteral("su CRC no cuadra")
                                                 : QString::fromLocal8Bit(modbus_strerror(outcome.error)))
            .arg(where.baud)
            .arg(where.unit);
    if (quint8(outcome.answer.at(0)) != where.unit)
        return QStringLiteral("a %1 de %2 respondió la dirección %3: ¿hay en el bus otra placa que contesta lo que no "
                              "le toca?")
            .arg(request(where, outcome.function), nameOf(where))
            .arg(quint8(outcome.answer.at(0)));
    return QStringLiteral("%1 con %2, que no es una respuesta a ella").arg(who, bytesOf(outcome.answer));
}

QString readBack(const Where &where, const Outcome &outcome)
{
    if (where.kind == Kind::Hid || where.kind == Kind::Gpio || where.kind == Kind::Lcus || where.kind == Kind::Modbus ||
        where.kind == Kind::Ftdi) {
        const int mask = (1 << where.lines.size()) - 1;
        const QString what = where.kind == Kind::Gpio ? QStringLiteral("las líneas de") : QStringLiteral("los relés de");
        return QStringLiteral("%1 %2 no siguieron: se pidió %3 y %4 tiene %5")
            .arg(what, linesOf((outcome.written ^ outcome.readBack) & mask))
            .arg(outcome.written & mask, int(where.lines.size()), 2, QLatin1Char('0'))
            .arg(holderOf(where.kind))
            .arg(outcome.readBack & mask, int(where.lines.size()), 2, QLatin1Char('0'));
    }
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

} // namespace

QString hex4(long n) { return QStringLiteral("0x%1").arg(n, 4, 16, QLatin1Char('0')); }

// A board's ID as its bytes: some boards leave it unset (0xff), several share one.
QString idOf(const QByteArray &serial)
{
    QString id;
    for (const char byte : serial)
        id += byte > 0x20 && byte < 0x7f ? QString(QLatin1Char(byte)) : QStringLiteral("\\x%1").arg(quint8(byte), 2, 16, QLatin1Char('0'));
    return id;
}

// "D1, D3": the lines whose bits are set.
QString linesOf(int bits)
{
    QStringList names;
    for (int line = 0; line < 8; ++line)
        if (bits & (1 << line))
            names << QStringLiteral("D%1").arg(line);
    return names.join(QStringLiteral(", "));
}

QString shown(const QByteArray &bytes)
{
    // Undecodable bytes show as replacement characters, control characters as escapes; a value
    // too long to read is cut.
    const QString text = QString::fromLocal8Bit(bytes);
    constexpr int longest = 200;
    const QString safe = escapeControls(text.left(longest));
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
    case Kind::Hid:
        return QStringLiteral("placa de relés %1").arg(shown(where.path));
    case Kind::Gpio:
        return QStringLiteral("GPIO %1, líneas %2%3")
            .arg(shown(where.path), lineList(where.lines),
                 where.activeLow ? QStringLiteral(" (activas en bajo)") : QString());
    case Kind::Ftdi:
        return where.serial.isEmpty() ? QStringLiteral("placa de relés FTDI en %1").arg(shown(where.path))
                                      : QStringLiteral("placa de relés FTDI «%1»").arg(shown(where.serial));
    case Kind::Lcus:
        return QStringLiteral("módulo de relés %1").arg(shown(where.path));
    case Kind::Modbus:
        return QStringLiteral("placa Modbus %1 en la dirección %2").arg(shown(where.path)).arg(where.unit);
    case Kind::Stdout:
        return QStringLiteral("simulado (salida estándar)");
    case Kind::Trace:
        return QStringLiteral("simulado (%1)").arg(shown(where.path));
    case Kind::Silent:
        return QStringLiteral("simulado (sin registro)");
    }
    return {};
}

// One fact as a clause: what went wrong, where, and what the system said.
QString clause(const Where &where, const Outcome &outcome)
{
    const QString path = shown(where.path);
    switch (outcome.step) {
    case Step::Done:
        return {};
    case Step::NoDevice:
        if (where.kind == Kind::Hid && !where.serial.isEmpty())
            return QStringLiteral("ninguna placa de relés USB de %1/hidraw* tiene el id «%2»").arg(path, idOf(where.serial));
        if (where.kind == Kind::Ftdi && !where.serial.isEmpty())
            return QStringLiteral("no hay ninguna placa de relés FTDI con el número de serie «%1»").arg(shown(where.serial));
        if (where.kind == Kind::Ftdi)
            return QStringLiteral("no hay ninguna placa de relés FTDI (0403:6001, «FT245R USB FIFO»)");
        if (where.kind == Kind::Hid)
            return QStringLiteral("no hay ninguna placa de relés USB (www.dcttech.com USBRelayN) en %1/hidraw*").arg(path);
        return QStringLiteral("no existe ningún %1/parport*").arg(path);
    case Step::NotADevice:
        if (where.kind == Kind::Hid)
            return QStringLiteral("%1 no es una placa de relés USB (www.dcttech.com USBRelayN)").arg(path);
        if (where.kind == Kind::Gpio)
            return QStringLiteral("%1 no es un chip GPIO").arg(path);
        if (where.kind == Kind::Lcus || where.kind == Kind::Modbus)
            return QStringLiteral("%1 no es un puerto serie").arg(path);
        return QStringLiteral("%1 no es un puerto paralelo (no es un dispositivo ppdev)").arg(path);
    case Step::LookAlike:
        if (where.kind == Kind::Ftdi)
            return QStringLiteral("el dispositivo FTDI «%1» es «%2», no una placa de relés (FT245R USB FIFO): puede ser "
                                  "el adaptador serie de algo, y Tenvalia no lo toca")
                .arg(shown(where.serial), shown(where.product));
        return QStringLiteral("%1 es «%2», que se parece a una placa de relés USB pero no es de las que Tenvalia "
                              "conoce (www.dcttech.com USBRelayN, 16c0:05df); otras placas hablan otros protocolos, "
                              "y Tenvalia no adivina")
            .arg(path, shown(where.product));
    case Step::NoSuchLine:
        return QStringLiteral("%1 no tiene la línea %2 (gpioinfo muestra las que tiene)").arg(path).arg(outcome.line);
    case Step::Open:
        return QStringLiteral("abrir %1: %2").arg(path, systemSays(outcome.error)) + openHint(where.kind, outcome.error);
    case Step::NoReader:
        return QStringLiteral("abrir %1: %2 (es una FIFO y nadie la está leyendo)").arg(path, systemSays(outcome.error));
    case Step::Permission:
        return QStringLiteral("ioperm(%1, 2): %2").arg(hex4(where.base), systemSays(outcome.error));
    case Step::Unsupported:
        return QStringLiteral("no hay instrucciones de E/S de puertos en este procesador");
    case Step::Claim:
        return QStringLiteral("PPCLAIM en %1: %2").arg(path, systemSays(outcome.error)) + ppdevHint(outcome.error);
    case Step::Busy:
        if (where.kind == Kind::Ftdi)
            return QStringLiteral("%1 está ocupada: la tiene otro programa (¿otra copia de Tenvalia?)").arg(nameOf(where));
        if (where.kind == Kind::Gpio)
            return QStringLiteral("las líneas %1 de %2 están ocupadas: las tiene «%3» (¿otra copia de Tenvalia?)")
                .arg(lineList(where.lines), path, shown(outcome.holder));
        if (outcome.holder.startsWith("lp"))
            return QStringLiteral("%1 está ocupado: lo tiene %2").arg(path, shown(outcome.holder)) + ppdevHint(EBUSY);
        if (outcome.holder.isEmpty())
            return QStringLiteral("%1 está ocupado: lo tiene otro programa, y Tenvalia no espera a que lo suelte").arg(path);
        return QStringLiteral("%1 está ocupado: lo tiene otro programa (%2), y Tenvalia no espera a que lo suelte")
            .arg(path, shown(outcome.holder));
    case Step::Gone:
        if (where.kind == Kind::Hid || where.kind == Kind::Lcus || where.kind == Kind::Ftdi)
            return QStringLiteral("%1 se desconectó (sin corriente, sus relés quedan apagados)").arg(nameOf(where));
        if (where.kind == Kind::Modbus)
            return QStringLiteral("%1 ya no está: se desconectó el adaptador del bus, y la placa, con su propia "
                                  "alimentación, sigue con lo que tenía")
                .arg(nameOf(where));
        return QStringLiteral("%1 ya no está: el puerto desapareció (se descargó su controlador o se quitó el "
                              "dispositivo), y lo que tengan sus salidas no se sabe")
            .arg(nameOf(where));
    case Step::Write:
        if (where.kind == Kind::Ppdev)
            return QStringLiteral("PPWDATA en %1: %2").arg(path, systemSays(outcome.error));
        if (where.kind == Kind::Hid || where.kind == Kind::Gpio || where.kind == Kind::Lcus || where.kind == Kind::Modbus ||
            where.kind == Kind::Ftdi)
            return QStringLiteral("%1 no respondió: %2").arg(nameOf(where), systemSays(outcome.error));
        return QStringLiteral("escribir en %1: %2").arg(recordPlace(where), systemSays(outcome.error));
    case Step::Read:
        if (where.kind == Kind::Ppdev)
            return QStringLiteral("PPRDATA en %1: %2").arg(path, systemSays(outcome.error));
        return QStringLiteral("%1 no dijo qué tiene: %2").arg(nameOf(where), systemSays(outcome.error));
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
    case Step::NoAnswer:
        if (where.kind == Kind::Lcus)
            return QStringLiteral("%1 dejó de responder a %2").arg(nameOf(where), request(where, outcome.function));
        return QStringLiteral("%1 no respondió a %2: ¿es %3 la dirección de la placa, %4 baudios 8N1 su velocidad, "
                              "y están A y B bien conectados?")
            .arg(nameOf(where), request(where, outcome.function))
            .arg(where.unit)
            .arg(where.baud);
    case Step::Exception:
        return QStringLiteral("%1 rechazó %2 con la excepción %3")
            .arg(nameOf(where), request(where, outcome.function), exceptionOf(outcome.answer));
    case Step::WrongAnswer:
        return wrongAnswer(where, outcome);
    }
    return {};
}

} // namespace platform::port::words
