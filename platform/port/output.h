// What every kind of output is to the rest of the program: something that takes the port's value
// and answers with what happened, in facts. Turning facts into the person's words is words.h's.
#pragma once

#include "switch_off.h"

#include <QByteArray>
#include <QtGlobal>

#include <vector>

namespace platform::port {

enum class Kind {
    Ppdev,  // a parallel port through the kernel's ppdev driver
    Direct, // a parallel port through I/O instructions
    Hid,    // a USB relay board (www.dcttech.com USBRelayN) through the kernel's hidraw
    Gpio,   // general-purpose lines through the kernel's GPIO character device
    Ftdi,   // an FTDI FT245R relay board in bit-bang mode, through libftdi1
    Lcus,   // a CH340 serial relay module ("LCUS"), through a serial port
    Modbus, // a Modbus RTU relay board on RS-485, through libmodbus
    Stdout, // simulated: each write shown on standard output
    Trace,  // simulated: each write appended to a file
    Silent, // simulated: nothing recorded (standard output has failed too)
};

// Hardware, as opposed to a record of the writes: its first write proves it, and its lights may
// stay on when a write fails.
inline bool isReal(Kind kind) { return kind != Kind::Stdout && kind != Kind::Trace && kind != Kind::Silent; }
// Boards whose relays are powered through their USB cable: unplugged, they keep nothing on.
inline bool poweredByItsCable(Kind kind) { return kind == Kind::Hid || kind == Kind::Lcus || kind == Kind::Ftdi; }

// Which output, and where it reaches.
struct Where {
    Kind kind = Kind::Silent;
    QByteArray path{};          // device, file or folder, by its exact bytes
    long base = -1;             // a parallel port's I/O address; -1 unknown or none
    QByteArray product{};       // a board's product name, as it calls itself
    QByteArray serial{};        // a board's ID, as it reports it
    std::vector<int> lines{};   // a board's relays (1, 2, ...) or the GPIO line offsets, D0 first
    bool activeLow = false;     // GPIO: a line's "on" is a low level
    bool writeOnly = false;     // written, never read back: the hardware cannot tell (most serial relay modules)
    int unit = 0;               // Modbus: the board's address on the bus
    int baud = 0;               // a serial board's speed
    QByteArray place{};         // a USB board's port on the bus as the kernel names it ("2-1.4"): where it is
                                // found again when it has no serial number
};

// The step of opening or writing that went wrong; Done when nothing did.
enum class Step {
    Done,
    NoDevice,    // no device at all where they are looked for
    NotADevice,  // the path names something that is not this kind of device
    LookAlike,   // a board that calls itself a relay board but is not one this program speaks to
    NoSuchLine,  // a GPIO line that the chip does not have (line)
    Open,        // opening it (error)
    NoReader,    // a FIFO that nobody reads
    Permission,  // the I/O permission was refused (error)
    Unsupported, // this processor has no such thing
    Claim,       // claiming the port from the kernel (error)
    Busy,        // someone else has the port claimed; holder says who, when the kernel tells
    Gone,        // the port was there and is no more (its driver or device went away)
    Write,       // the write itself (error)
    Read,        // reading the data back (error)
    ReadBack,    // the value read back differs from the one written
    Full,        // the reader does not keep up: the write would wait
    ReaderGone,  // the reader has left
    Short,       // only part of the record was written
    Address,     // the program wrote to an address this port does not answer for
    NoAnswer,    // a serial board did not answer a request in time (function)
    Exception,   // a Modbus board refused a request (function; answer: its exception reply)
    WrongAnswer, // a serial board answered something else (function, answer; error: libmodbus's, if any)
};

struct Outcome {
    Step step = Step::Done;
    int error = 0;        // the system's error number, where it gave one
    quint16 written = 0;  // the value asked for
    int readBack = -1;    // what the hardware held afterwards, where it was read
    quint16 address = 0;  // for Step::Address: where the write was sent
    QByteArray holder{};  // for Step::Busy: the kernel's name for who has the port
    int line = -1;        // for Step::NoSuchLine: the line asked for
    int function = -1;    // a serial board's request that went wrong: a Modbus function, 0xff a status request
    QByteArray answer{};  // what came back instead, without a Modbus frame's CRC

    bool ok() const { return step == Step::Done; }
};

class Output {
public:
    virtual ~Output() = default;
    // One event's value: bit n drives line Dn. Carries the whole value, every time, and reads
    // back what the hardware holds afterwards where it can.
    virtual Outcome write(quint16 value) = 0;
    virtual Where where() const = 0;
    // How to switch it off when the program cannot; valid while the output lives, and asked
    // again after every write (a descriptor may change).
    virtual SwitchOff switchOff() const { return {}; }
};

} // namespace platform::port
