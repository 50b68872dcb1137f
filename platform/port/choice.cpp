#include "choice.h"

#include "direct_output.h"
#include "ftdi_output.h"
#include "gpio_output.h"
#include "hid_output.h"
#include "lcus_output.h"
#include "modbus_output.h"
#include "ppdev_output.h"
#include "serial_line.h"
#include "simulated_output.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace platform::port {
namespace {

// The base address the kernel gives a ppdev device, from parportN's sysctl folder; -1 unknown.
long ppdevBase(const QByteArray &deviceName, const SystemPaths &paths)
{
    QFile file(QFile::decodeName(paths.sysctl + '/' + deviceName + "/base-addr"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const long base = QString::fromLatin1(file.read(64)).simplified().section(QLatin1Char(' '), 0, 0).toLong(&ok);
    return ok ? base : -1;
}

QByteArray baseName(const QByteArray &path) { return path.mid(path.lastIndexOf('/') + 1); }

std::unique_ptr<Output> tryPpdev(const QByteArray &device, long base, const SystemPaths &paths,
                                 std::vector<Attempt> *tried)
{
    Outcome refusal;
    auto output = ppdevOutput(device, base, paths.sysctl, &refusal);
    if (!output)
        tried->push_back({{Kind::Ppdev, device, base}, refusal});
    return output;
}

std::unique_ptr<Output> tryDirect(quint16 address, const DirectAccess &direct, bool quietIfImpossible,
                                  std::vector<Attempt> *tried)
{
    if (direct.granted)
        return directOutput(address);
    if (!(quietIfImpossible && direct.refusal.step == Step::Unsupported))
        tried->push_back({{Kind::Direct, {}, address}, direct.refusal});
    return nullptr;
}

std::unique_ptr<Output> tryBoard(const QByteArray &device, const SystemPaths &paths, std::vector<Attempt> *tried)
{
    Outcome refusal;
    Where seen;
    auto output = hidOutput(device, paths.sysDevChar, &refusal, &seen);
    if (!output)
        tried->push_back({seen, refusal});
    return output;
}

// Devices `prefix`N in the devices folder, lowest number first.
std::vector<std::pair<int, QByteArray>> numberedDevices(const SystemPaths &paths, const QString &prefix)
{
    std::vector<std::pair<int, QByteArray>> devices;
    const QStringList names = QDir(QFile::decodeName(paths.devices)).entryList({prefix + '*'}, QDir::System | QDir::Files);
    for (const QString &name : names) {
        bool numbered = false;
        const int number = name.mid(prefix.size()).toInt(&numbered);
        if (numbered)
            devices.emplace_back(number, paths.devices + '/' + name.toLatin1());
    }
    std::sort(devices.begin(), devices.end());
    return devices;
}

// The HID relay board whose ID is `id` (the first, when empty), whatever its hidraw number; the
// other boards are passed over, named by their IDs. Look-alikes are told, other HID devices
// (keyboards, mice) pass unmentioned.
std::unique_ptr<Output> hidBoard(const SystemPaths &paths, const QByteArray &id, std::vector<Attempt> *tried,
                                 std::vector<Where> *passedOver)
{
    std::unique_ptr<Output> taken;
    for (const auto &[number, device] : numberedDevices(paths, QStringLiteral("hidraw"))) {
        std::vector<Attempt> refused;
        auto output = tryBoard(device, paths, &refused);
        if (!output && refused.front().outcome.step != Step::NotADevice)
            tried->push_back(refused.front());
        else if (output && !taken && (id.isEmpty() || output->where().serial == id))
            taken = std::move(output);
        else if (output)
            passedOver->push_back(output->where());
    }
    if (!taken)
        tried->push_back({{Kind::Hid, paths.devices, -1, {}, id}, {Step::NoDevice}});
    return taken;
}

// The FT245R board whose serial number is `request.serial` (the first, when empty), unless
// `wanted` is false; the other boards are passed over. FT232R serial adapters share its ids:
// they are never opened.
std::unique_ptr<Output> ftdiBoard(const SystemPaths &paths, const Request &request, bool wanted,
                                  std::vector<Attempt> *tried, std::vector<Where> *passedOver)
{
    std::unique_ptr<Output> taken;
    for (const Where &device : ftdiDevices(paths.sysUsb, paths.devices)) {
        const bool named = request.serial.isEmpty() || device.serial == request.serial;
        Outcome refusal{Step::LookAlike};
        if (!isRelayBoard(device) && named && !request.serial.isEmpty())
            tried->push_back({device, refusal});
        else if (isRelayBoard(device) && (!wanted || taken || !named))
            passedOver->push_back(device);
        else if (isRelayBoard(device) && !(taken = ftdiOutput(device, request.lines, &refusal)))
            tried->push_back({device, refusal});
    }
    if (wanted && !taken)
        tried->push_back({{Kind::Ftdi, paths.sysUsb, -1, {}, request.serial}, {Step::NoDevice}});
    return taken;
}

// Auto mode's relay board: the first HID board, else the first FTDI one.
std::unique_ptr<Output> firstBoard(const SystemPaths &paths, std::vector<Attempt> *tried, std::vector<Where> *passedOver)
{
    auto board = hidBoard(paths, {}, tried, passedOver);
    auto ftdi = ftdiBoard(paths, {}, !board, tried, passedOver);
    return board ? std::move(board) : std::move(ftdi);
}

std::unique_ptr<Output> findRealPort(quint16 address, const DirectAccess &direct, const SystemPaths &paths,
                                     Choice *choice)
{
    struct Device {
        QByteArray path;
        int number;
        long base;
    };
    std::vector<Device> devices;
    for (const auto &[number, path] : numberedDevices(paths, QStringLiteral("parport")))
        devices.push_back({path, number, ppdevBase(baseName(path), paths)});
    std::stable_sort(devices.begin(), devices.end(),
                     [address](const Device &a, const Device &b) { return a.base == address && b.base != address; });
    auto *tried = &choice->tried;
    if (devices.empty())
        tried->push_back({{Kind::Ppdev, paths.devices, -1}, {Step::NoDevice}});
    for (const Device &device : devices) {
        if (auto output = tryPpdev(device.path, device.base, paths, tried))
            return output;
        // The device at the port's address, or one whose address is unknown, may be the very
        // port the person wired: refused or busy, it is theirs all the same. Neither another
        // port nor direct I/O behind its owner's back will do instead.
        if (device.base == address || device.base < 0) {
            choice->personsPortRefused = true;
            return nullptr;
        }
    }
    if (auto output = tryDirect(address, direct, true, tried)) {
        // Whether there is a port at all, only its first write tells.
        std::vector<Attempt> ignored;
        choice->standby = firstBoard(paths, &ignored, &choice->passedOver);
        return output;
    }
    return firstBoard(paths, tried, &choice->passedOver);
}

// gpio:CHIP:L0,L1,...[:active-low]
Request parseGpio(const QByteArray &text)
{
    Request gpio{Request::Mode::Gpio, text, text.mid(5)};
    constexpr QByteArrayView activeLow = ":active-low";
    gpio.activeLow = gpio.path.endsWith(activeLow);
    if (gpio.activeLow)
        gpio.path.chop(activeLow.size());
    const qsizetype colon = gpio.path.lastIndexOf(':');
    const QList<QByteArray> lines = gpio.path.mid(colon + 1).split(',');
    gpio.path.truncate(colon);
    for (const QByteArray &line : lines) {
        bool number = false;
        const int offset = line.toInt(&number);
        if (!number || offset < 0 || std::count(gpio.lines.begin(), gpio.lines.end(), offset))
            return {Request::Mode::Unknown, text};
        gpio.lines.push_back(offset);
    }
    if (colon <= 0 || gpio.lines.size() > 8)
        return {Request::Mode::Unknown, text};
    return gpio;
}

// ftdi[:SERIAL][:P0,P1,...]: a map holds a comma, a serial number neither comma nor colon.
Request parseFtdi(const QByteArray &text)
{
    Request ftdi{Request::Mode::Ftdi, text};
    QList<QByteArray> parts = text.split(':');
    const QList<QByteArray> pins = parts.size() > 1 && parts.last().contains(',') ? parts.takeLast().split(',') : QList<QByteArray>();
    for (const QByteArray &pin : pins) {
        bool number = false;
        const int n = pin.toInt(&number);
        if (!number || n < 0 || n > 7 || std::count(ftdi.lines.begin(), ftdi.lines.end(), n))
            return {Request::Mode::Unknown, text};
        ftdi.lines.push_back(n);
    }
    if (parts.size() > 2 || (parts.size() == 2 && parts[1].isEmpty()))
        return {Request::Mode::Unknown, text};
    ftdi.serial = parts.value(1);
    return ftdi;
}

// The numbers after the last colons of a serial form, up to `most` of them, in order; the rest is
// the device (whose name may hold colons of its own, as /dev/serial/by-path/ names do).
std::vector<int> trailingNumbers(QByteArray *device, int most)
{
    std::vector<int> numbers;
    for (qsizetype colon; int(numbers.size()) < most && (colon = device->lastIndexOf(':')) >= 0;) {
        bool number = false;
        const int n = device->mid(colon + 1).toInt(&number);
        if (!number)
            break;
        numbers.insert(numbers.begin(), n);
        device->truncate(colon);
    }
    return numbers;
}

// lcus:DEVICE[:N]
Request parseLcus(const QByteArray &text)
{
    Request lcus{Request::Mode::Lcus, text, text.mid(5)};
    const std::vector<int> numbers = trailingNumbers(&lcus.path, 1);
    const int relays = numbers.empty() ? 8 : numbers[0];
    if (lcus.path.isEmpty() || relays < 1 || relays > 8)
        return {Request::Mode::Unknown, text};
    for (int relay = 1; relay <= relays; ++relay)
        lcus.lines.push_back(relay);
    return lcus;
}

// modbus:DEVICE[:ADDRESS[:BAUD]]
Request parseModbus(const QByteArray &text)
{
    Request modbus{Request::Mode::Modbus, text, text.mid(7)};
    const std::vector<int> numbers = trailingNumbers(&modbus.path, 2);
    modbus.unit = numbers.empty() ? 1 : numbers[0];
    modbus.baud = numbers.size() < 2 ? 9600 : numbers[1];
    if (modbus.path.isEmpty() || modbus.unit < 1 || modbus.unit > 247 || !serial::knownSpeed(modbus.baud))
        return {Request::Mode::Unknown, text};
    return modbus;
}

} // namespace

Request parseRequest(const QByteArray &text)
{
    using Mode = Request::Mode;
    if (text.isEmpty() || text == "auto")
        return {Mode::Auto, text, {}};
    if (text.startsWith("ppdev:"))
        return {Mode::Ppdev, text, text.mid(6)};
    if (text == "direct")
        return {Mode::Direct, text, {}};
    if (text == "hid")
        return {Mode::Hid, text, {}};
    if (text.startsWith("hid:/"))
        return {Mode::Hid, text, text.mid(4)};
    if (text.startsWith("hid:") && text.size() > 4)
        return {Mode::Hid, text, {}, text.mid(4)};
    if (text == "ftdi" || text.startsWith("ftdi:"))
        return parseFtdi(text);
    if (text.startsWith("gpio:"))
        return parseGpio(text);
    if (text.startsWith("lcus:"))
        return parseLcus(text);
    if (text.startsWith("modbus:"))
        return parseModbus(text);
    if (text == "sim")
        return {Mode::Stdout, text, {}};
    if (text.startsWith("sim:") && text.size() > 4)
        return {Mode::Trace, text, text.mid(4)};
    return {Mode::Unknown, text, {}};
}

Choice choose(const Request &request, quint16 address, const DirectAccess &direct, const SystemPaths &paths)
{
    using Mode = Request::Mode;
    Choice choice{request, address};
    switch (request.mode) {
    case Mode::Auto:
        choice.output = findRealPort(address, direct, paths, &choice);
        break;
    case Mode::Ppdev:
        choice.output = tryPpdev(request.path, ppdevBase(baseName(request.path), paths), paths, &choice.tried);
        break;
    case Mode::Direct:
        choice.output = tryDirect(address, direct, false, &choice.tried);
        break;
    case Mode::Hid:
        choice.output = request.path.isEmpty() ? hidBoard(paths, request.serial, &choice.tried, &choice.passedOver)
                                                : tryBoard(request.path, paths, &choice.tried);
        break;
    case Mode::Ftdi:
        choice.output = ftdiBoard(paths, request, true, &choice.tried, &choice.passedOver);
        break;
    case Mode::Gpio: {
        Outcome refusal;
        choice.output = gpioOutput(request.path, request.lines, request.activeLow, paths.sysDevChar, &refusal);
        if (!choice.output)
            choice.tried.push_back({{Kind::Gpio, request.path, -1, {}, {}, request.lines, request.activeLow}, refusal});
        break;
    }
    case Mode::Trace: {
        Outcome refusal;
        choice.output = traceOutput(request.path, address, &refusal);
        if (!choice.output)
            choice.tried.push_back({{Kind::Trace, request.path, -1}, refusal});
        break;
    }
    case Mode::Lcus: {
        Outcome refusal;
        choice.output = lcusOutput(request.path, int(request.lines.size()), &refusal);
        if (!choice.output)
            choice.tried.push_back({{Kind::Lcus, request.path, -1, {}, {}, request.lines}, refusal});
        break;
    }
    case Mode::Modbus: {
        Outcome refusal;
        choice.output = modbusOutput(request.path, request.unit, request.baud, &refusal);
        if (!choice.output) {
            Where board{Kind::Modbus, request.path};
            board.unit = request.unit;
            board.baud = request.baud;
            choice.tried.push_back({board, refusal});
        }
        break;
    }
    case Mode::Stdout:
    case Mode::Unknown:
        break;
    }
    choice.refused = !choice.output && request.mode != Mode::Stdout;
    if (!choice.output)
        choice.output = stdoutOutput(address);
    const Kind kind = choice.output->where().kind;
    choice.provesItself = isReal(kind);
    if (direct.granted && kind != Kind::Direct)
        releaseDirectAccess(address);
    return choice;
}

} // namespace platform::port
