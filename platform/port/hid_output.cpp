#include "hid_output.h"

#include "device_node.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform::port {
namespace {

constexpr QByteArrayView kMaker = "www.dcttech.com ";
constexpr QByteArrayView kProduct = "USBRelay";
constexpr quint16 kVendor = 0x16c0, kProductId = 0x05df;
enum Command : unsigned char { RelayOn = 0xFF, RelayOff = 0xFD };

// The board's one feature report has no report ID: requests carry report number 0 ahead of its
// 8 bytes, and the answer comes back the same way, so the state is byte 8 (byte 7 if it were
// asked for as report 1).
using Report = std::array<unsigned char, 9>;

class HidOutput final : public Output {
public:
    HidOutput(int fd, Where where) : fd_(fd), where_(std::move(where))
    {
        mask_ = quint8((1u << where_.lines.size()) - 1);
    }
    ~HidOutput() override { ::close(fd_); }

    // Reads the relays' state and the board's ID; false, with the error, if the board is silent.
    bool readState(quint8 *state, Outcome *failure, quint16 value = 0)
    {
        Report report{};
        errno = EIO;
        if (::ioctl(fd_, HIDIOCGFEATURE(report.size()), report.data()) < int(report.size())) {
            *failure = failed(Step::Read, value);
            return false;
        }
        *state = report[8] & mask_;
        where_.serial = QByteArray(reinterpret_cast<const char *>(report.data() + 1), 5);
        return true;
    }

    // The board is asked what it holds before every write, never remembered: another program,
    // or another copy, may have switched its relays since. Only the relays that differ are
    // sent, offs before ons, so that no relay is on for a moment when it should not be; then
    // the board says what it holds.
    Outcome write(quint16 value) override
    {
        const quint8 wanted = value & mask_;
        quint8 state = 0;
        Outcome outcome;
        if (!readState(&state, &outcome, value))
            return outcome;
        for (const bool on : {false, true}) {
            for (int relay = 0; relay < int(where_.lines.size()); ++relay) {
                const quint8 bit = quint8(1u << relay);
                if ((state & bit) == (wanted & bit) || bool(wanted & bit) != on)
                    continue;
                const Report command{0, on ? RelayOn : RelayOff, quint8(relay + 1)};
                if (::ioctl(fd_, HIDIOCSFEATURE(command.size()), command.data()) < 0)
                    return failed(Step::Write, value);
            }
        }
        if (!readState(&state, &outcome, value))
            return outcome;
        return {state == wanted ? Step::Done : Step::ReadBack, 0, value, state};
    }
    Where where() const override { return where_; }

    SwitchOff switchOff() const override
    {
        SwitchOff off{SwitchOff::How::HidFeature, fd_};
        off.chunk = quint8(Report{}.size());
        for (int relay = 0; relay < int(where_.lines.size()); ++relay, off.length += off.chunk) {
            const Report command{0, RelayOff, quint8(relay + 1)};
            std::copy(command.begin(), command.end(), off.bytes + off.length);
        }
        return off;
    }

private:
    // A request under way when the board is unplugged fails with EIO, as if it were silent; the
    // device node, which goes a moment later, tells the two apart.
    Outcome failed(Step step, quint16 value) const
    {
        const int error = errno;
        bool gone = error == ENODEV;
        for (int look = 0; error == EIO && !gone && look < 10; ++look) {
            gone = ::access(where_.path.constData(), F_OK) != 0;
            if (!gone)
                ::usleep(10 * 1000);
        }
        return gone ? Outcome{Step::Gone, 0, value} : Outcome{step, error, value};
    }

    int fd_;
    Where where_;
    quint8 mask_;
};

QByteArray ueventField(const QByteArray &uevent, QByteArrayView key)
{
    for (const QByteArray &line : uevent.split('\n'))
        if (line.startsWith(key) && line.size() > key.size() && line[key.size()] == '=')
            return line.mid(key.size() + 1);
    return {};
}

} // namespace

BoardIs identifyBoard(const QByteArray &uevent, Where *where)
{
    // HID_ID=BUS:VENDOR:PRODUCT, each in hexadecimal.
    const QList<QByteArray> id = ueventField(uevent, "HID_ID").split(':');
    const QByteArray name = ueventField(uevent, "HID_NAME");
    where->product = name;
    const qsizetype at = name.indexOf(kProduct);
    if (at < 0)
        return BoardIs::Other;
    bool ok = id.size() == 3;
    const bool dcttech = ok && id[1].toUInt(&ok, 16) == kVendor && id[2].toUInt(&ok, 16) == kProductId;
    const QByteArray relays = name.mid(at + kProduct.size());
    if (!dcttech || at != kMaker.size() || !name.startsWith(kMaker) ||
        !QList<QByteArray>{"1", "2", "4", "8"}.contains(relays))
        return BoardIs::LookAlike;
    where->product = name.mid(at);
    where->lines.clear();
    for (int relay = 1; relay <= relays.toInt(); ++relay)
        where->lines.push_back(relay);
    return BoardIs::One;
}

std::unique_ptr<Output> hidOutput(const QByteArray &device, const QByteArray &sysDevChar, Outcome *refusal, Where *seen)
{
    *seen = {Kind::Hid, device};
    // The kernel's word for what the node is, before it is opened: a look-alike is refused by
    // its name without a request reaching it.
    const int fd = openDevice(device, [&](const struct stat &node) {
        QFile uevent(QFile::decodeName(deviceFolder(sysDevChar, node) + "/device/uevent"));
        if (subsystemOf(sysDevChar, node) != "hidraw" || !uevent.open(QIODevice::ReadOnly))
            return Step::NotADevice;
        const BoardIs board = identifyBoard(uevent.read(4096), seen);
        return board == BoardIs::One ? Step::Done : board == BoardIs::LookAlike ? Step::LookAlike : Step::NotADevice;
    }, refusal);
    if (fd < 0)
        return nullptr;
    // And the descriptor's own word, which no file in between can change.
    hidraw_devinfo info = {};
    const bool hidraw = ::ioctl(fd, HIDIOCGRAWINFO, &info) == 0;
    if (!hidraw || quint16(info.vendor) != kVendor || quint16(info.product) != kProductId) {
        *refusal = {hidraw ? Step::LookAlike : Step::NotADevice};
        ::close(fd);
        return nullptr;
    }
    auto output = std::make_unique<HidOutput>(fd, *seen);
    quint8 state;
    if (!output->readState(&state, refusal))
        return nullptr;
    *seen = output->where();
    return output;
}

} // namespace platform::port
