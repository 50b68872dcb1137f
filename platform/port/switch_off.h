// How to put every line of an output low with a handful of system calls, no locks and no memory
// taken: for the ends the program cannot see coming. A crash handler carries it out in the process
// itself, and the guardian process, which holds the same descriptor, once the process is gone.
// Nothing here needs Qt: the guardian is a program of its own.
#pragma once

#include <cstdint>

namespace platform::port {

// Plain data, so that it crosses a socket as it is (the descriptor beside it).
struct SwitchOff {
    enum class How : std::uint8_t {
        Nothing,     // nothing to switch off (no output, or one that holds nothing without its owner)
        Write,       // write(fd, bytes): a serial board's frames
        Record,      // write(fd, bytes) if it takes them at once: a simulated output's record of the 0
        Ppdev,       // claim the port (already claimed is fine), PPWDATA bytes[0], release it
        Direct,      // outw(bytes[0], address): the I/O permission is inherited with the process
        HidFeature,  // HIDIOCSFEATURE for each report of `chunk` bytes in `bytes`
        Gpio,        // GPIO_V2_LINE_SET_VALUES_IOCTL with `mask` lines low
        UsbBulk,     // USBDEVFS_BULK of `bytes` to `endpoint`, through usbfs
    };
    How how = How::Nothing;
    int fd = -1;
    std::uint16_t address = 0; // Direct: the port's base
    std::uint8_t endpoint = 0; // UsbBulk
    std::uint8_t chunk = 0;    // HidFeature: the length of one report
    std::uint8_t length = 0;   // how many of `bytes` are used
    std::uint64_t mask = 0;    // Gpio: the requested lines
    unsigned char bytes[96] = {};
};

// The recipe, with system calls alone (safe in a signal handler): true when every one took.
bool carryOut(const SwitchOff &recipe);

// Every recipe, the hardware first, each within a limit of its own, so that one that blocks (a
// stopped terminal, a board that stopped taking writes) keeps none of the others from its turn;
// a record is written only if it is taken at once. True when every one took.
bool carryOutAll(const SwitchOff *recipes, int count);

// While it lives, a system call of this thread that blocks for longer than `ms` comes back with
// EINTR. A timer signals this thread alone with SIGURG, whose handler does nothing and restarts
// nothing: no other part of the program uses SIGURG (its default is to be ignored), and every
// termination signal stays the window's. System calls only: usable in a signal handler.
class TimeLimit {
public:
    explicit TimeLimit(int ms);
    ~TimeLimit();
    TimeLimit(const TimeLimit &) = delete;
    TimeLimit &operator=(const TimeLimit &) = delete;

private:
    int timer_ = -1;
};

} // namespace platform::port
