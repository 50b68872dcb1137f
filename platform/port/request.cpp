// The forms TENVALIA_PORT takes, parsed once; anything else is Unknown.
#include "choice.h"

#include "serial_line.h"

#include <QList>

#include <algorithm>

namespace platform::port {
namespace {

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

} // namespace platform::port
