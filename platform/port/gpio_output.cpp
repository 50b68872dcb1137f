#include "gpio_output.h"

#include "device_node.h"

#include <cerrno>
#include <cstring>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform::port {
namespace {

class GpioOutput final : public Output {
public:
    GpioOutput(int lineFd, Where where) : fd_(lineFd), where_(std::move(where)), mask_((1u << where_.lines.size()) - 1) {}
    ~GpioOutput() override { ::close(fd_); }

    // Values are the lines' logical states: the kernel turns "on" into a low level on an
    // active-low board.
    Outcome write(quint16 value) override
    {
        gpio_v2_line_values values = {value & mask_, mask_};
        if (::ioctl(fd_, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0)
            return failed(Step::Write, value);
        values = {0, mask_};
        if (::ioctl(fd_, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) < 0)
            return failed(Step::Read, value);
        const int held = int(values.bits & mask_);
        return {quint32(held) == (value & mask_) ? Step::Done : Step::ReadBack, 0, value, held};
    }
    Where where() const override { return where_; }
    SwitchOff switchOff() const override
    {
        SwitchOff off{SwitchOff::How::Gpio, fd_};
        off.mask = mask_;
        return off;
    }

private:
    static Outcome failed(Step step, quint16 value)
    {
        return errno == ENODEV ? Outcome{Step::Gone, 0, value} : Outcome{step, errno, value};
    }

    int fd_;
    Where where_;
    quint32 mask_;
};

// Whoever holds one of the lines, as the kernel names them.
QByteArray holderOf(int chipFd, const std::vector<int> &lines)
{
    for (const int line : lines) {
        gpio_v2_line_info info = {};
        info.offset = quint32(line);
        if (::ioctl(chipFd, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0 && (info.flags & GPIO_V2_LINE_FLAG_USED))
            return QByteArray(info.consumer, int(strnlen(info.consumer, sizeof info.consumer)));
    }
    return {};
}

} // namespace

std::unique_ptr<Output> gpioOutput(const QByteArray &chip, const std::vector<int> &lines, bool activeLow,
                                   const QByteArray &sysDevChar, Outcome *refusal)
{
    const int chipFd = openDevice(chip, [&](const struct stat &node) {
        return subsystemOf(sysDevChar, node) == "gpio" ? Step::Done : Step::NotADevice;
    }, refusal);
    if (chipFd < 0)
        return nullptr;
    gpiochip_info info = {};
    if (::ioctl(chipFd, GPIO_GET_CHIPINFO_IOCTL, &info) < 0) {
        *refusal = {errno == ENOTTY ? Step::NotADevice : Step::Open, errno};
        ::close(chipFd);
        return nullptr;
    }
    gpio_v2_line_request request = {};
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] < 0 || quint32(lines[i]) >= info.lines) {
            *refusal = {Step::NoSuchLine};
            refusal->line = lines[i];
            ::close(chipFd);
            return nullptr;
        }
        request.offsets[i] = quint32(lines[i]);
    }
    request.num_lines = quint32(lines.size());
    std::strncpy(request.consumer, "tenvalia", sizeof request.consumer - 1);
    request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT | (activeLow ? GPIO_V2_LINE_FLAG_ACTIVE_LOW : 0);
    // A request without values would drive every line low: on an active-low board, every relay on.
    request.config.num_attrs = 1;
    request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    request.config.attrs[0].attr.values = 0;
    request.config.attrs[0].mask = (1ull << lines.size()) - 1;
    if (::ioctl(chipFd, GPIO_V2_GET_LINE_IOCTL, &request) < 0) {
        *refusal = {errno == EBUSY ? Step::Busy : Step::Open, errno};
        if (errno == EBUSY)
            refusal->holder = holderOf(chipFd, lines);
        ::close(chipFd);
        return nullptr;
    }
    ::close(chipFd);
    const QByteArray label(info.label, qsizetype(strnlen(info.label, sizeof info.label)));
    return std::make_unique<GpioOutput>(request.fd, Where{Kind::Gpio, chip, -1, label, {}, lines, activeLow});
}

} // namespace platform::port
