#include "ftdi_output.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <ftdi.h>
#include <unistd.h>

namespace platform::port {
namespace {

constexpr QByteArrayView kRelayBoard = "FT245R USB FIFO";
constexpr quint8 kOutEndpoint = 0x02; // interface A's bulk OUT, where bit-bang bytes go

// The descriptor libusb opened the board's usbfs node with: what a crash handler writes to when
// libusb is out of reach. -1 if there is none.
int descriptorOf(const QByteArray &node)
{
    DIR *fds = ::opendir("/proc/self/fd");
    int found = -1;
    for (dirent *entry; fds && (entry = ::readdir(fds));) {
        char target[PATH_MAX];
        const ssize_t length = ::readlinkat(::dirfd(fds), entry->d_name, target, sizeof target);
        if (length == node.size() && std::memcmp(target, node.constData(), size_t(length)) == 0)
            found = std::atoi(entry->d_name);
    }
    if (fds)
        ::closedir(fds);
    return found;
}

class FtdiOutput final : public Output {
public:
    FtdiOutput(ftdi_context *ftdi, Where where) : ftdi_(ftdi), where_(std::move(where)), usbfs_(descriptorOf(where_.path)) {}
    // Releasing the interface hands the chip back to ftdi_sio; the pins keep their last value.
    ~FtdiOutput() override
    {
        ftdi_usb_close(ftdi_);
        ftdi_free(ftdi_);
    }

    Outcome write(quint16 value) override
    {
        const quint16 wanted = value & ((1u << where_.lines.size()) - 1);
        unsigned char pins = 0;
        for (size_t line = 0; line < where_.lines.size(); ++line)
            pins |= (wanted >> line & 1u) << where_.lines[line];
        // Bit-bang mode drives the pins from the latch the moment it is set: the latch takes the
        // value first, while every pin is still an input.
        if ((!driving_ && ftdi_set_bitmode(ftdi_, 0x00, BITMODE_BITBANG) < 0) || ftdi_write_data(ftdi_, &pins, 1) != 1 ||
            (!driving_ && ftdi_set_bitmode(ftdi_, 0xFF, BITMODE_BITBANG) < 0))
            return failed(Step::Write, value);
        driving_ = true;
        int held = -1;
        // The chip clocks the byte out at its bit-bang rate: a read at once may see the one before.
        for (int look = 0; look < 2 && held != wanted; ++look) {
            unsigned char levels = 0;
            if (look)
                ::usleep(5 * 1000);
            if (ftdi_read_pins(ftdi_, &levels) < 0)
                return failed(Step::Read, value);
            held = 0;
            for (size_t line = 0; line < where_.lines.size(); ++line)
                held |= (levels >> where_.lines[line] & 1) << line;
        }
        return {held == wanted ? Step::Done : Step::ReadBack, 0, value, held};
    }
    Where where() const override { return where_; }

    SwitchOff switchOff() const override
    {
        if (!driving_ || usbfs_ < 0)
            return {};
        SwitchOff off{SwitchOff::How::UsbBulk, usbfs_};
        off.endpoint = kOutEndpoint;
        off.length = 1; // the byte 0: every pin low
        return off;
    }

private:
    // libftdi keeps libusb's reason to itself; an unplugged board shows in its usbfs node, which
    // goes a moment later.
    Outcome failed(Step step, quint16 value) const
    {
        for (int look = 0; look < 50; ++look) {
            if (::access(where_.path.constData(), F_OK) != 0)
                return {Step::Gone, 0, value};
            ::usleep(10 * 1000);
        }
        return {step, EIO, value};
    }

    ftdi_context *ftdi_;
    Where where_;
    int usbfs_;
    bool driving_ = false; // bit-bang mode is set: the pins are outputs
};

QByteArray attribute(const QString &folder, const char *name)
{
    QFile file(folder + QLatin1Char('/') + QLatin1String(name));
    QByteArray text = file.open(QIODevice::ReadOnly) ? file.read(256) : QByteArray();
    if (text.endsWith('\n'))
        text.chop(1);
    return text;
}

} // namespace

std::vector<Where> ftdiDevices(const QByteArray &sysUsb, const QByteArray &devices)
{
    std::vector<std::pair<std::pair<int, int>, Where>> found;
    const QString root = QFile::decodeName(sysUsb);
    for (const QString &name : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString folder = root + QLatin1Char('/') + name;
        if (attribute(folder, "idVendor") != "0403" || attribute(folder, "idProduct") != "6001")
            continue;
        const int bus = attribute(folder, "busnum").toInt(), address = attribute(folder, "devnum").toInt();
        char node[32];
        std::snprintf(node, sizeof node, "/bus/usb/%03d/%03d", bus, address);
        Where board{Kind::Ftdi, devices + node, -1, attribute(folder, "product"), attribute(folder, "serial")};
        board.place = name.toLatin1();
        found.push_back({{bus, address}, std::move(board)});
    }
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<Where> boards;
    for (auto &[number, where] : found)
        boards.push_back(std::move(where));
    return boards;
}

bool isRelayBoard(const Where &device) { return device.product == kRelayBoard; }

std::unique_ptr<Output> ftdiOutput(const Where &board, const std::vector<int> &pins, Outcome *refusal)
{
    // libusb says only that it could not open the device; the node itself says why.
    if (::access(board.path.constData(), R_OK | W_OK) != 0) {
        *refusal = {Step::Open, errno};
        return nullptr;
    }
    unsigned bus = 0, address = 0;
    std::sscanf(board.path.right(7).constData(), "%u/%u", &bus, &address);
    ftdi_context *ftdi = ftdi_new();
    if (!ftdi) {
        *refusal = {Step::Open, ENOMEM};
        return nullptr;
    }
    ftdi->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    ftdi->usb_read_timeout = ftdi->usb_write_timeout = 1000; // a board answers within milliseconds
    errno = 0;
    const int opened = ftdi_usb_open_bus_addr(ftdi, quint8(bus), quint8(address));
    if (opened < 0) {
        // -5: the interface is claimed, by another program through usbfs.
        *refusal = opened == -5 ? Outcome{Step::Busy} : Outcome{Step::Open, errno ? errno : EIO};
        ftdi_free(ftdi);
        return nullptr;
    }
    Where where = board;
    where.lines = pins;
    if (where.lines.empty())
        for (int pin = 0; pin < 8; ++pin)
            where.lines.push_back(pin);
    return std::make_unique<FtdiOutput>(ftdi, where);
}

} // namespace platform::port
