#include "direct_output.h"

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>

namespace platform::port {
namespace {

class DirectOutput final : public Output {
public:
    explicit DirectOutput(quint16 base) : base_(base) {}

    // One 16-bit write: the low byte to the data register, the high byte to the one above it.
    Outcome write(quint16 value) override
    {
        outw(value, base_);
        const quint8 latched = inb(base_);
        return {latched == (value & 0xFF) ? Step::Done : Step::ReadBack, 0, value, latched};
    }
    Where where() const override { return {Kind::Direct, {}, base_}; }
    SwitchOff switchOff() const override
    {
        SwitchOff off{SwitchOff::How::Direct, -1, base_};
        off.length = 1;
        return off;
    }

private:
    quint16 base_;
};

} // namespace

std::unique_ptr<Output> directOutput(quint16 base) { return std::make_unique<DirectOutput>(base); }

} // namespace platform::port

#else

namespace platform::port {
std::unique_ptr<Output> directOutput(quint16) { return nullptr; }
} // namespace platform::port

#endif
