// Which output the program drives: the forms TENVALIA_PORT takes, and auto mode's order.
#pragma once

#include "output.h"
#include "privilege.h"

#include <memory>
#include <vector>

namespace platform::port {

struct Request {
    // Board: the first USB relay board, HID then FTDI: what auto mode waits for when it found nothing.
    enum class Mode { Auto, Ppdev, Direct, Hid, Gpio, Ftdi, Lcus, Modbus, Stdout, Trace, Unknown, Board };
    Mode mode = Mode::Auto;
    QByteArray text{};        // as given, for the person
    QByteArray path{};        // Ppdev, Hid, Gpio: the device (Hid: empty for the first board); Trace: the file;
                              // Ftdi: the board's place on the bus (Where::place), when it has no serial number
    QByteArray serial{};      // Hid, Ftdi: the board's ID or serial number; empty: the first board
    std::vector<int> lines{}; // Gpio: the line offsets for D0, D1, ...; Ftdi: the chip's pins
    bool activeLow = false;   // Gpio
    int unit = 0, baud = 0;   // Modbus: the board's address and the port's speed (Lcus: lines are its relays)
    // Devices not to open: they failed while there and have neither gone nor been made anew since.
    std::vector<QByteArray> passOver{};

    bool mayUseDirectIo() const { return mode == Mode::Auto || mode == Mode::Direct; }
};

// "" or "auto", "ppdev:/dev/parportN", "direct", "hid", "hid:/dev/hidrawN", "hid:ID",
// "ftdi[:SERIAL][:P0,P1,...]" (2 to 8 distinct pins 0-7),
// "gpio:/dev/gpiochipN:L0,L1,...[:active-low]" (1 to 8 distinct lines), "lcus:/dev/ttyUSBn[:N]"
// (N relays, 1 to 8), "modbus:/dev/ttyUSBn[:ADDRESS[:BAUD]]", "sim", "sim:FILE";
// anything else is Unknown.
Request parseRequest(const QByteArray &text);

// Where the system keeps its devices and says what they are; tests point these at folders of their
// own.
struct SystemPaths {
    QByteArray devices = "/dev";
    QByteArray sysctl = "/proc/sys/dev/parport";
    QByteArray sysDevChar = "/sys/dev/char";
    QByteArray sysUsb = "/sys/bus/usb/devices";
};

struct Attempt {
    Where where;
    Outcome outcome;
};

struct Choice {
    Request request;
    quint16 address = 0;            // where the program writes
    std::unique_ptr<Output> output{}; // never null: standard output when nothing else could be had
    std::vector<Attempt> tried{};   // what failed on the way, in order
    bool refused = false;           // the request could not be carried out as asked
    // A real port proves itself with its first write: failing there, it was never there.
    bool provesItself = false;
    bool personsPortRefused = false; // auto mode: a port that may be the one wired was refused
    // Auto mode with direct I/O: the relay board to go on with, with the same first write, if
    // that write shows there is no port at `address`.
    std::unique_ptr<Output> standby{};
    std::vector<Where> passedOver{}; // relay boards found beside the one taken, for the person to pin one
};

// Auto mode: the ppdev device whose base is `address`, else the system's first parallel port
// wherever it lies, else direct I/O at `address`, else the first USB relay board (HID, then
// FTDI), else standard output; a refused device that may be the port at `address` ends the
// search. GPIO lines are never chosen unasked: they may be wired to anything. Direct I/O's
// permission is given back when anything else is chosen.
Choice choose(const Request &request, quint16 address, const DirectAccess &direct, const SystemPaths &paths = {});

// The request that finds the choice's output again once it has gone, whatever number the system
// gives it then: a relay board by its ID or serial number (by its device or its place on the bus
// when it has none), a serial or ppdev device by the path as given. What was asked for and not
// found is looked for as asked; auto mode that found nothing waits for the first relay board.
// Unknown when nothing can come back: direct I/O, GPIO lines, a record, or the person's port
// refused in auto mode (nothing is driven in its place).
Request rememberedAs(const Choice &choice);

} // namespace platform::port
