#include "choice.h"

#include "direct_output.h"
#include "ftdi_output.h"
#include "gpio_output.h"
#include "hid_output.h"
#include "lcus_output.h"
#include "modbus_output.h"
#include "ppdev_output.h"
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

bool isPassedOver(const Request &request, const QByteArray &device)
{
    return std::find(request.passOver.begin(), request.passOver.end(), device) != request.passOver.end();
}

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

// The HID relay board whose ID is `request.serial` (the first, when empty), whatever its hidraw
// number; the other boards are passed over, named by their IDs. Look-alikes are told, other HID
// devices (keyboards, mice) pass unmentioned.
std::unique_ptr<Output> hidBoard(const SystemPaths &paths, const Request &request, std::vector<Attempt> *tried,
                                 std::vector<Where> *passedOver)
{
    const QByteArray &id = request.serial;
    std::unique_ptr<Output> taken;
    for (const auto &[number, device] : numberedDevices(paths, QStringLiteral("hidraw"))) {
        if (isPassedOver(request, device))
            continue;
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
        if (isPassedOver(request, device.path))
            continue;
        const bool named = (request.serial.isEmpty() || device.serial == request.serial) &&
                           (request.path.isEmpty() || device.place == request.path);
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

// Auto mode's relay board: the first HID board, else the first FTDI one; `request` names none.
std::unique_ptr<Output> firstBoard(const SystemPaths &paths, const Request &request, std::vector<Attempt> *tried,
                                   std::vector<Where> *passedOver)
{
    auto board = hidBoard(paths, request, tried, passedOver);
    auto ftdi = ftdiBoard(paths, request, !board, tried, passedOver);
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
        choice->standby = firstBoard(paths, {}, &ignored, &choice->passedOver);
        return output;
    }
    return firstBoard(paths, {}, tried, &choice->passedOver);
}

} // namespace

Choice choose(const Request &request, quint16 address, const DirectAccess &direct, const SystemPaths &paths)
{
    using Mode = Request::Mode;
    Choice choice{request, address};
    // A device named alone that is passed over leaves nothing to try.
    const bool nothingToTry = !request.path.isEmpty() && isPassedOver(request, request.path);
    switch (nothingToTry ? Mode::Unknown : request.mode) {
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
        choice.output = request.path.isEmpty() ? hidBoard(paths, request, &choice.tried, &choice.passedOver)
                                                : tryBoard(request.path, paths, &choice.tried);
        break;
    case Mode::Ftdi:
        choice.output = ftdiBoard(paths, request, true, &choice.tried, &choice.passedOver);
        break;
    case Mode::Board:
        choice.output = firstBoard(paths, request, &choice.tried, &choice.passedOver);
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

Request rememberedAs(const Choice &choice)
{
    using Mode = Request::Mode;
    const Where found = choice.output ? choice.output->where() : Where{};
    Request again{Mode::Unknown, choice.request.text};
    // Boards that leave their ID unset (0xff) or zero share it with every other such board.
    const bool hasId = found.serial.size() == 5 &&
                       std::all_of(found.serial.begin(), found.serial.end(), [](char c) { return c > 0x20 && c < 0x7f; });
    switch (found.kind) {
    case Kind::Hid:
        again.mode = Mode::Hid;
        if (hasId)
            again.serial = found.serial;
        else
            again.path = found.path;
        return again;
    case Kind::Ftdi:
        again.mode = Mode::Ftdi;
        again.lines = choice.request.lines;
        if (found.serial.isEmpty())
            again.path = found.place;
        else
            again.serial = found.serial;
        return again;
    case Kind::Ppdev:
        again.mode = Mode::Ppdev;
        again.path = found.path;
        return again;
    case Kind::Lcus:
    case Kind::Modbus:
        return choice.request;
    default:
        break;
    }
    if (isReal(found.kind))
        return again;
    switch (choice.request.mode) {
    case Mode::Auto:
        if (!choice.personsPortRefused)
            again.mode = Mode::Board;
        return again;
    case Mode::Hid:
    case Mode::Ftdi:
    case Mode::Lcus:
    case Mode::Modbus:
    case Mode::Ppdev:
        return choice.request;
    default:
        return again;
    }
}

} // namespace platform::port
