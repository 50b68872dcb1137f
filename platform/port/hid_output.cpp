#include "hid_output.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform::port {
namespace {

constexpr QByteArrayView kMaker = "www.dcttech.com ";
constexpr QByteArrayView kProduct = "USBRelay";
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
    bool readState(Outcome *failure)
    {
        Report report{};
        errno = EIO;
        if (::ioctl(fd_, HIDIOCGFEATURE(report.size()), report.data()) < int(report.size())) {
            *failure = failed(Step::Read, 0);
            return false;
        }
        state_ = report[8] & mask_;
        where_.serial = QByteArray(reinterpret_cast<const char *>(report.data() + 1), 5);
        return true;
    }

    // Only the relays that change are sent, offs before ons, so that no relay is on for a moment
    // when it should not be; then the board says what it holds.
    Outcome write(quint16 value) override
    {
        const quint8 wanted = value & mask_;
        for (const bool on : {false, true}) {
            for (int relay = 0; relay < int(where_.lines.size()); ++relay) {
                const quint8 bit = quint8(1u << relay);
                if ((state_ & bit) == (wanted & bit) || bool(wanted & bit) != on)
                    continue;
                const Report command{0, on ? RelayOn : RelayOff, quint8(relay + 1)};
                if (::ioctl(fd_, HIDIOCSFEATURE(command.size()), command.data()) < 0)
                    return failed(Step::Write, value);
                state_ ^= bit;
            }
        }
        Outcome failure;
        if (!readState(&failure)) {
            failure.written = value;
            return failure;
        }
        return {state_ == wanted ? Step::Done : Step::ReadBack, 0, value, state_};
    }
    Where where() const override { return where_; }

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
    quint8 state_ = 0;
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
    const bool dcttech = ok && id[1].toUInt(&ok, 16) == 0x16c0 && id[2].toUInt(&ok, 16) == 0x05df;
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
    struct stat info;
    if (::stat(device.constData(), &info) != 0) {
        *refusal = {Step::Open, errno};
        return nullptr;
    }
    QFile uevent(QFile::decodeName(sysDevChar + '/' + QByteArray::number(major(info.st_rdev)) + ':' +
                                   QByteArray::number(minor(info.st_rdev)) + "/device/uevent"));
    const BoardIs board = S_ISCHR(info.st_mode) && uevent.open(QIODevice::ReadOnly) ? identifyBoard(uevent.read(4096), seen)
                                                                                   : BoardIs::Other;
    if (board != BoardIs::One) {
        *refusal = {board == BoardIs::LookAlike ? Step::LookAlike : Step::NotADevice};
        return nullptr;
    }
    const int fd = ::open(device.constData(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *refusal = {Step::Open, errno};
        return nullptr;
    }
    auto output = std::make_unique<HidOutput>(fd, *seen);
    if (!output->readState(refusal))
        return nullptr;
    *seen = output->where();
    return output;
}

} // namespace platform::port
