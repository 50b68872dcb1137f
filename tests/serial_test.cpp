// The serial relay boards against emulators on pseudo-terminals: a CH340 module ("LCUS") keeping
// every byte, a Modbus RTU board played by libmodbus's server; last, behind a link that comes back.
#include "platform/port/active_port.h"
#include "platform/port/device_watch.h"
#include "platform/port/lcus_output.h"
#include "platform/port/modbus_output.h"
#include "platform/port/words.h"
#include "platform/stderr_lines.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <modbus.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace port = platform::port;
using port::Kind;
using port::Step;

namespace {

constexpr int kForeverMs = 10000; // what never stops stops here: a wait for its end fails, not hangs

// The board's end of a pseudo-terminal, on a thread of its own; the program opens `device`.
struct Pty {
    int end = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    QByteArray device = ::grantpt(end) == 0 && ::unlockpt(end) == 0 ? ::ptsname(end) : "";
    std::atomic<bool> stopping{false};
    std::thread thread;
    // Runs `step` over and over until stop(), each time after waiting up to 20 ms for the program
    // to send something: `step(true)` when it did.
    void run(const std::function<void(bool)> &step)
    {
        thread = std::thread([=] {
            while (!stopping) {
                pollfd ready{end, POLLIN, 0};
                const int polled = ::poll(&ready, 1, 20);
                if (polled > 0 && !(ready.revents & POLLIN))
                    ::usleep(20 * 1000); // the program's end is closed
                step(polled > 0 && (ready.revents & POLLIN));
            }
        });
    }
    void stop()
    {
        stopping = true;
        if (thread.joinable())
            thread.join();
    }
    ~Pty()
    {
        stop();
        ::close(end);
    }
};

// Four relays; keeps every byte: frames A0 <relay> <0|1> <sum>, status request 0xff (if it `reports`).
struct Module {
    explicit Module(bool reports, int stuck = 0)
    {
        pty.run([=](bool sent) {
            const std::lock_guard lock(mutex);
            const bool talks = talking.isValid() && !talking.hasExpired(kForeverMs);
            if (talks)
                [[maybe_unused]] const ssize_t written = ::write(pty.end, talk.constData(), size_t(talk.size()));
            for (char byte; sent && ::read(pty.end, &byte, 1) == 1;) {
                if (frame.isEmpty() && byte != '\xa0' && byte != '\xff')
                    continue; // no frame starts so: its own talk, echoed by a terminal not set up yet
                heard += byte;
                frame += byte;
                QByteArray answer;
                for (int relay = 1; relay <= 4 && reports; ++relay)
                    answer += "CH" + QByteArray::number(relay) + (relays & 1 << (relay - 1) ? ":ON\r\n" : ":OFF\r\n");
                if (frame == "\xff" && (talks || ::write(pty.end, answer.constData(), size_t(answer.size())) >= 0))
                    frame.clear();
                if (frame.size() < 4)
                    continue;
                if (frame[1] >= 1 && frame[1] <= 4 && !(stuck & 1 << (frame[1] - 1)) &&
                    quint8(0xA0 + frame[1] + frame[2]) == quint8(frame[3]))
                    relays = frame[2] ? relays | 1 << (frame[1] - 1) : relays & ~(1 << (frame[1] - 1));
                frame.clear();
            }
        });
    }
    QByteArray log()
    {
        const std::lock_guard lock(mutex);
        return heard.toHex(' ');
    }
    // From now on it prints `line` every 20 ms instead of its state: it went wrong, or something
    // else took its place (a GPS receiver or a board printing readings: CH340s too).
    void startTalking(const QByteArray &line = "T=21.5\r\n")
    {
        const std::lock_guard lock(mutex);
        talk = line;
        talking.start();
    }
    std::mutex mutex;
    QByteArray heard, frame, talk;
    int relays = 0;
    QElapsedTimer talking;
    Pty pty; // last: its thread ends before the rest goes
};

// A Modbus board at address 1 as libmodbus serves one: a `stuck` coil stays on; one that `liesAbout`
// its address answers as another; it keeps the functions asked for, in order.
struct ModbusBoard {
    explicit ModbusBoard(int coils = 8, bool serving = true, int stuck = -1, int liesAbout = 0)
        : map(modbus_mapping_new(coils, 0, 0, 0))
    {
        modbus_set_slave(server, 1);
        modbus_set_socket(server, pty.end);
        if (serving)
            pty.run([=](bool sent) {
                uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
                const int length = sent ? modbus_receive(server, request) : 0;
                if (length <= 0)
                    return;
                const std::lock_guard lock(mutex);
                functions.push_back(request[1]);
                request[0] = quint8(request[0] + liesAbout);
                if (modbus_reply(server, request, length, map) > 0 && stuck >= 0)
                    map->tab_bits[stuck] = 1;
            });
    }
    std::vector<int> asked()
    {
        const std::lock_guard lock(mutex);
        return functions;
    }
    std::mutex mutex;
    std::vector<int> functions;
    ~ModbusBoard()
    {
        pty.stop();
        modbus_free(server);
        modbus_mapping_free(map);
    }
    int coils() const { return modbus_get_byte_from_bits(map->tab_bits, 0, 8); }
    modbus_t *server = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    modbus_mapping_t *map;
    Pty pty;
};

QString said(const port::Output &output, const port::Outcome &outcome)
{
    return port::words::failedWrite(output.where(), outcome, {Kind::Stdout});
}

// A link as udev makes /dev/serial/by-path/NAME, its two folders made and removed with it.
struct ByPath {
    QTemporaryDir root;
    const QByteArray top = QFile::encodeName(root.path()) + "/serial";
    const QByteArray link = top + "/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0";
    void to(const QByteArray &device) const
    {
        ::mkdir(top.constData(), 0755);
        ::mkdir((top + "/by-path").constData(), 0755);
        QCOMPARE(::symlink(device.constData(), link.constData()), 0);
    }
    void gone() const
    {
        QCOMPARE(::unlink(link.constData()), 0);
        QCOMPARE(::rmdir((top + "/by-path").constData()), 0);
        QCOMPARE(::rmdir(top.constData()), 0);
    }
};

// What the program says on standard error from here on, through its own writer.
struct StandardError {
    QTemporaryFile file;
    int saved = ::dup(STDERR_FILENO);
    StandardError()
    {
        platform::finishSaying(2000); // what earlier cases said goes where it was meant to
        QVERIFY(file.open());
        ::dup2(file.handle(), STDERR_FILENO);
        platform::startSaying();
    }
    ~StandardError()
    {
        platform::finishSaying(2000);
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
    }
    int count(const QString &words)
    {
        platform::finishSaying(2000);
        QFile read(file.fileName());
        const QString all = read.open(QIODevice::ReadOnly) ? QString::fromUtf8(read.readAll()) : QString();
        return all.count(words);
    }
};

constexpr int kReturnMs = 30000; // for a return, which waits a second or more after the last attempt

} // namespace

class SerialTest : public QObject {
    Q_OBJECT

private slots:
    void formsAreRead()
    {
        const port::Request lcus = port::parseRequest("lcus:/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0:4");
        QCOMPARE(lcus.path, QByteArray("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0"));
        QCOMPARE(lcus.lines.size(), size_t(4));
        QCOMPARE(port::parseRequest("lcus:/dev/ttyUSB0").lines.size(), size_t(8));
        const port::Request modbus = port::parseRequest("modbus:/dev/ttyUSB1:17:19200");
        QVERIFY(modbus.path == "/dev/ttyUSB1" && modbus.unit == 17 && modbus.baud == 19200);
        QCOMPARE(port::parseRequest("modbus:/dev/ttyUSB1").unit, 1);
        for (const char *wrong : {"lcus:", "lcus:/dev/ttyUSB0:9", "lcus:/dev/ttyUSB0:0", "modbus:/dev/ttyUSB0:248",
                                  "modbus:/dev/ttyUSB0:1:9601", "modbus::1"})
            QCOMPARE(port::parseRequest(wrong).mode, port::Request::Mode::Unknown);
        const auto refusal = [](const char *request) {
            return port::words::refusal(port::choose(port::parseRequest(request), 0x378, {}));
        };
        QVERIFY(refusal("lcus:/dev/ttyUSB0:9").contains(QStringLiteral("lcus:/dev/ttyUSBn[:N]")));
        QVERIFY(refusal("lcus:/dev/null").contains(QStringLiteral("/dev/null no es un puerto serie")));
        QVERIFY(refusal("modbus:/nonexistent").contains(QStringLiteral("abrir /nonexistent: ")));
    }

    // A module that cannot report is sent every relay, offs before ons, and the notice says once
    // that nothing is read back. What switchOff() holds puts every relay off; unplugged, it is said.
    void lcusModuleThatCannotReport()
    {
        Module module(false);
        auto choice = port::choose(port::parseRequest("lcus:" + module.pty.device + ":4"), 0x378, {});
        QCOMPARE(choice.output->where().kind, Kind::Lcus);
        QCOMPARE(port::words::notice(choice),
                 QStringLiteral("módulo de relés %1, 4 relés: D4, D5, D6, D7 no van a ninguna parte; el módulo no dice "
                                "qué relés tiene encendidos: se le escriben, pero no se leen de vuelta, y si uno no "
                                "sigue, Tenvalia no lo sabrá").arg(QString::fromLatin1(module.pty.device)));
        const QByteArray allOff = "a0 01 00 a1 a0 02 00 a2 a0 03 00 a3 a0 04 00 a4";
        const QByteArray expected[] = {allOff, "a0 01 00 a1 a0 03 00 a3 a0 04 00 a4 a0 02 01 a3", allOff, allOff,
                                       "a0 01 01 a2 a0 02 01 a3 a0 03 01 a4 a0 04 01 a5"};
        QByteArray heard = "ff"; // the one status request, at open
        int i = 0;
        for (const quint16 value : {0x00, 0x02, 0x10, 0x00, 0xFF}) {
            QVERIFY(choice.output->write(value).ok());
            heard += ' ' + expected[i++];
            QTRY_COMPARE(module.log(), heard);
        }
        const port::SwitchOff off = choice.output->switchOff();
        QCOMPARE(off.how, port::SwitchOff::How::Write);
        QCOMPARE(::write(off.fd, off.bytes, off.length), ssize_t(16));
        QTRY_COMPARE(module.log(), heard + ' ' + allOff);
        QCOMPARE(module.relays, 0);

        module.pty.stop(); // unplugged: the device goes with its other end
        ::close(std::exchange(module.pty.end, -1));
        const port::Outcome unplugged = choice.output->write(0x01);
        QVERIFY2(said(*choice.output, unplugged).contains(QStringLiteral("se desconectó (sin corriente, sus relés quedan apagados)")),
                 qPrintable(said(*choice.output, unplugged)));
    }

    // A module that reports is asked before each write and after it, and sent only what changes.
    void lcusModuleThatReports()
    {
        Module module(true, 0x04);
        port::Outcome refusal;
        auto output = port::lcusOutput(module.pty.device, 4, &refusal, 2000);
        QVERIFY(output && !output->where().writeOnly);
        QVERIFY(output->write(0x01).ok());
        QCOMPARE(module.log(), QByteArray("ff ff a0 01 01 a2 ff"));
        QVERIFY(output->write(0x02).ok());
        QCOMPARE(module.log().mid(20), QByteArray(" ff a0 01 00 a1 a0 02 01 a3 ff"));
        const port::Outcome stuck = output->write(0x04);
        QCOMPARE(stuck.step, Step::ReadBack);
        QVERIFY2(said(*output, stuck).contains(QStringLiteral("(módulo de relés %1).\n\nlos relés de D2 no siguieron: se pidió "
                                                              "0100 y el módulo tiene 0000").arg(QString::fromLatin1(module.pty.device))),
                 qPrintable(said(*output, stuck)));

        Module fewer(true); // four relays, taken for eight
        QVERIFY(!port::lcusOutput(fewer.pty.device, 8, &refusal, 2000));
        const QString words = port::words::clause({Kind::Lcus, fewer.pty.device, -1, {}, {}, {1, 2, 3, 4, 5, 6, 7, 8}}, refusal);
        QVERIFY2(words.contains(QStringLiteral("CH4:OFF\\x0d\\x0a», sin el estado de cada uno de sus 8 relés")), qPrintable(words));
    }

    void modbusCoilsFollowEveryWrite()
    {
        ModbusBoard board;
        auto choice = port::choose(port::parseRequest("modbus:" + board.pty.device + ":1:9600"), 0x378, {});
        QCOMPARE(choice.output->where().kind, Kind::Modbus);
        for (const quint16 value : {0x00, 0x02, 0x10, 0x00, 0xFF, 0x81}) {
            const port::Outcome outcome = choice.output->write(value);
            QVERIFY2(outcome.ok(), qPrintable(said(*choice.output, outcome)));
            QCOMPARE(board.coils(), int(value));
            QCOMPARE(outcome.readBack, int(value));
        }
        const port::SwitchOff off = choice.output->switchOff();
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(off.bytes), off.length).toHex(' '),
                 QByteArray("01 0f 00 00 00 08 01 00 fe 95"));
        QCOMPARE(::write(off.fd, off.bytes, off.length), ssize_t(off.length));
        QTRY_COMPARE(board.coils(), 0);
    }

    // Each fault is a failed write told in words: what was asked of which address, what came back.
    void modbusFaultsAreSaid()
    {
        struct Fault {
            int coils, stuck, liesAbout, unit;
            bool serving;
            Step step;
            const char *words;
        };
        for (const Fault &fault : std::initializer_list<Fault>{
                 {8, 3, 0, 1, true, Step::ReadBack, "los relés de D3 no siguieron: se pidió 00000001 y la placa tiene 00001001"},
                 {4, -1, 0, 1, true, Step::Exception, "rechazó la función 15 (escribir varias bobinas) con la excepción 2,"},
                 {8, -1, 0, 1, false, Step::NoAnswer, "en la dirección 1 no respondió a la función 15"},
                 {8, -1, 0, 2, true, Step::NoAnswer, "¿es 2 la dirección de la placa"},
                 {8, -1, 4, 1, true, Step::WrongAnswer, "respondió la dirección 5"}}) {
            ModbusBoard board(fault.coils, fault.serving, fault.stuck, fault.liesAbout);
            port::Outcome refusal;
            // Long enough for a board that answers on a busy machine; silence is waited for in full.
            const int answerMs = fault.step == Step::NoAnswer ? 100 : 2000;
            auto output = port::modbusOutput(board.pty.device, fault.unit, 9600, &refusal, answerMs);
            QVERIFY(output);
            const port::Outcome outcome = output->write(0x01);
            QCOMPARE(outcome.step, fault.step);
            QVERIFY2(said(*output, outcome).contains(QString::fromUtf8(fault.words)), qPrintable(said(*output, outcome)));
        }
    }

    // Something else talking (readings, a flood) is no module: refused, its words shown escaped,
    // never waited for past the answer's time; a module that starts so fails its write as soon.
    void aDeviceThatNeverStopsTalkingIsNoModule()
    {
        QElapsedTimer clock;
        for (const auto &[line, shown] : {std::pair<QByteArray, QString>{"T=21.5\r\n", "«T=21.5\\x0d\\x0aT=21.5\\x0d\\x0a"},
                                          {QByteArray(4096, 'U'), "«UUUUUUUU"}}) {
            Module device(false);
            device.startTalking(line);
            port::Outcome refusal;
            clock.start();
            QVERIFY(!port::lcusOutput(device.pty.device, 4, &refusal, 500) && clock.elapsed() < kForeverMs);
            QCOMPARE(device.log(), QByteArray("ff"));
            const QString said = port::words::clause({Kind::Lcus, device.pty.device}, refusal);
            QVERIFY2(said.contains(shown) && said.contains(QStringLiteral("no es un módulo de relés LCUS")), qPrintable(said));
        }
        Module module(true);
        port::Outcome refusal;
        auto output = port::lcusOutput(module.pty.device, 4, &refusal, 2000);
        QVERIFY(output && output->write(0x01).ok());
        module.startTalking();
        clock.start();
        QCOMPARE(output->write(0x02).step, Step::WrongAnswer);
        QVERIFY(clock.elapsed() < kForeverMs);
    }

    // A long answer dripped byte by byte, each within libmodbus's time between bytes, is cut off.
    void aModbusAnswerIsWaitedForAsAWhole()
    {
        QElapsedTimer dripping;
        dripping.start();
        int at = -1;
        Pty device; // after what its thread uses: it ends first
        device.run([&](bool) {
            for (char byte; ::read(device.end, &byte, 1) == 1;)
                at = 0; // a request: the answer starts, with 250 bytes of coils to come
            const char next = at < 2 ? '\x01' : at == 2 ? '\xfa' : '\0';
            if (at >= 0 && dripping.elapsed() < kForeverMs && ::write(device.end, &next, 1) == 1)
                ++at;
            ::usleep(300 * 1000);
        });
        port::Outcome refusal;
        auto output = port::modbusOutput(device.device, 1, 9600, &refusal, 500);
        QVERIFY(output && !output->write(0x01).ok() && dripping.elapsed() < kForeverMs);
    }

    // Never a person's terminal (/dev/tty, a session's, a console, the multiplexer): refused
    // untouched. A port taken gets its settings back when let go.
    void onlySerialPortsAreTaken()
    {
        for (const QByteArray device : {"/dev/tty", "/dev/console", "/dev/ptmx", "/dev/tty0", "/dev/tty1"})
            if (::access(device.constData(), F_OK) == 0)
                for (const QByteArray kind : {"lcus:", "modbus:"})
                    QVERIFY(port::words::refusal(port::choose(port::parseRequest(kind + device), 0x378, {}))
                                .contains(QStringLiteral("no es un puerto serie")));
        const auto same = [](const termios &a, const termios &b) {
            return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag;
        };
        Pty terminal;
        termios before, after;
        int verdict[2];
        QVERIFY(::tcgetattr(terminal.end, &before) == 0 && ::pipe(verdict) == 0);
        port::Outcome refusal;
        const pid_t session = ::fork();
        if (session == 0) { // a session leader's first terminal is its controlling terminal
            pid_t owner = ::setsid();
            const bool own = ::ioctl(::open(terminal.device.constData(), O_RDWR), TIOCGSID, &owner) == 0;
            const char said = own && !port::lcusOutput(terminal.device, 8, &refusal, 100) && refusal.step == Step::NotADevice;
            [[maybe_unused]] const ssize_t written = ::write(verdict[1], &said, 1);
            ::pause();
            ::_exit(0);
        }
        char refusedItsOwn = 0;
        QCOMPARE(::read(verdict[0], &refusedItsOwn, 1), ssize_t(1));
        const bool refused = !port::lcusOutput(terminal.device, 8, &refusal, 100) && refusal.step == Step::NotADevice;
        ::kill(session, SIGKILL);
        ::waitpid(session, nullptr, 0);
        QVERIFY(refusedItsOwn && refused && ::tcgetattr(terminal.end, &after) == 0 && same(after, before));

        Module module(false);
        QCOMPARE(::tcgetattr(module.pty.end, &before), 0);
        auto output = port::lcusOutput(module.pty.device, 4, &refusal, 100);
        QVERIFY(output && ::tcgetattr(module.pty.end, &after) == 0 && !(after.c_lflag & ICANON)); // raw while taken
        output.reset();
        QVERIFY(::tcgetattr(module.pty.end, &after) == 0 && same(after, before) && cfgetospeed(&after) == cfgetospeed(&before));
    }

    // A watched path is followed through its folders and its link's target: each change told once.
    void aPathIsWatchedThroughItsFolders()
    {
        ByPath udev;
        QTemporaryDir elsewhere;
        const QByteArray target = QFile::encodeName(elsewhere.path()) + "/ttyUSB0";
        int error = 0;
        std::unique_ptr<port::DeviceWatch> watch(port::DeviceWatch::path(udev.link, nullptr, &error));
        QVERIFY(watch);
        QSignalSpy appeared(watch.get(), &port::DeviceWatch::appeared), vanished(watch.get(), &port::DeviceWatch::vanished);
        udev.to(target); // a link to nothing yet: not there
        QTest::qWait(50);
        QCOMPARE(appeared.count(), 0);
        QVERIFY(QFile(QFile::decodeName(target)).open(QIODevice::WriteOnly)); // the device the link names
        QTRY_COMPARE(appeared.count(), 1);
        QCOMPARE(appeared.at(0).at(0).toByteArray(), udev.link);
        udev.gone();
        QTRY_COMPARE(vanished.count(), 1);
        udev.to(target); // all three made at once, faster than one watch at a time could follow
        QTRY_COMPARE(appeared.count(), 2);
        QCOMPARE(::unlink(target.constData()), 0);
        QTRY_COMPARE(vanished.count(), 2);
        QCOMPARE(appeared.count(), 2);
    }

    // A module unplugged is noticed as its link goes, with no write; plugged in again it gets one
    // write, of the window's value then, read back, said in one line. Something else there, or a
    // device that answers wrongly, is said once and not taken.
    void anLcusModuleComesBack()
    {
        auto &active = port::ActivePort::instance();
        StandardError stderrLines;
        ByPath udev;
        auto first = std::make_unique<Module>(true);
        udev.to(first->pty.device);
        active.use(port::choose(port::parseRequest("lcus:" + udev.link + ":4"), 0x378, {}));
        active.watchForReturns();
        active.write(0x378, 0x02);
        QCOMPARE(first->relays, 0x02);

        first.reset(); // unplugged: its pseudo-terminal closes, udev takes the link and its folders
        udev.gone();
        QTRY_VERIFY(!active.available());
        QCOMPARE(active.where().kind, Kind::Stdout);
        for (const quint16 value : {0x00, 0x0C, 0x08})
            active.write(0x378, value);

        Module second(true);
        udev.to(second.pty.device);
        QTRY_VERIFY_WITH_TIMEOUT(active.available(), kReturnMs);
        QCOMPARE(active.where().kind, Kind::Lcus);
        QCOMPARE(second.relays, 0x08);
        // Asked at open, before and after the one write, which sets relay 4 alone.
        QCOMPARE(second.log(), QByteArray("ff ff a0 04 01 a5 ff"));
        QCOMPARE(active.held(), 0x08);
        QCOMPARE(stderrLines.count(QStringLiteral("módulo de relés %1 volvió y se usa de nuevo: tiene lo que muestran "
                                                  "las casillas (D3)").arg(QString::fromLatin1(udev.link))), 1);

        // Gone again; back as something else: not a serial port, then a GPS.
        udev.gone();
        QTRY_VERIFY(!active.available());
        second.pty.stop();
        udev.to("/dev/null");
        QTRY_COMPARE_WITH_TIMEOUT(stderrLines.count(QStringLiteral("no es un puerto serie")), 1, kReturnMs);
        udev.gone();
        Module gps(false);
        gps.startTalking("$GPGGA,123519,4807.038,N\r\n");
        udev.to(gps.pty.device);
        QTRY_COMPARE_WITH_TIMEOUT(stderrLines.count(QStringLiteral("no es un módulo de relés LCUS")), 1, kReturnMs);
        QVERIFY(!active.available());
        QCOMPARE(gps.log(), QByteArray("ff")); // asked what it is, never sent a frame
        QVERIFY(!active.lightsMayBeOn());
    }

    // A board that comes and goes ten times a second is tried at most once a second, less and
    // less often while it will not stay, and takes the window's value once it does.
    void aBoardThatWillNotStayIsNotAFlood()
    {
        auto &active = port::ActivePort::instance();
        StandardError stderrLines;
        ByPath udev;
        Module module(true);
        udev.to(module.pty.device);
        active.use(port::choose(port::parseRequest("lcus:" + udev.link + ":4"), 0x378, {}));
        active.watchForReturns();
        active.write(0x378, 0x01);
        QElapsedTimer flapping;
        flapping.start();
        for (int i = 0; i < 30; ++i) {
            udev.gone();
            QTest::qWait(50);
            udev.to(module.pty.device);
            QTest::qWait(50);
        }
        const int seconds = int(flapping.elapsed() / 1000);
        const int returns = stderrLines.count(QStringLiteral("volvió y se usa de nuevo"));
        QVERIFY2(returns <= seconds + 1, qPrintable(QStringLiteral("%1 returns in %2 s").arg(returns).arg(seconds)));
        // Each attempt that found it asked it what it holds: at open, and around a write.
        QVERIFY(module.log().count("ff") <= 3 * (seconds + 1));
        QTRY_VERIFY_WITH_TIMEOUT(active.available(), kReturnMs);
        QCOMPARE(module.relays, 0x01);
    }

    // A Modbus board has its own supply: its adapter gone, it keeps its coils. Back, it gets one
    // write of the window's value and one read; one answering for another address is refused, and
    // the exit says lights may be on. Last: the exit ends what the port may do.
    void aModbusBoardComesBack()
    {
        auto &active = port::ActivePort::instance();
        StandardError stderrLines;
        ByPath udev;
        auto adapter = std::make_unique<ModbusBoard>();
        udev.to(adapter->pty.device);
        active.use(port::choose(port::parseRequest("modbus:" + udev.link + ":1:9600"), 0x378, {}));
        active.watchForReturns();
        active.write(0x378, 0x81);
        QCOMPARE(adapter->coils(), 0x81);

        adapter->pty.stop();
        ::close(std::exchange(adapter->pty.end, -1)); // the adapter pulled out, the board powered on
        udev.gone();
        QTRY_VERIFY(!active.available());
        QVERIFY(active.lightsMayBeOn());
        active.write(0x378, 0x00);
        active.write(0x378, 0x10);

        ModbusBoard board; // the same board through the adapter plugged in again
        modbus_set_bits_from_byte(board.map->tab_bits, 0, 0x81);
        udev.to(board.pty.device);
        QTRY_VERIFY_WITH_TIMEOUT(active.available(), kReturnMs);
        QCOMPARE(board.coils(), 0x10);
        QCOMPARE(board.asked(), (std::vector<int>{0x0F, 0x01}));
        QCOMPARE(stderrLines.count(QStringLiteral("volvió y se usa de nuevo: tiene lo que muestran las casillas (D4)")), 1);
        QVERIFY(active.lightsMayBeOn()); // D4, as asked

        udev.gone();
        QTRY_VERIFY(!active.available());
        board.pty.stop();
        ModbusBoard liar(8, true, -1, 4);
        udev.to(liar.pty.device);
        QTRY_COMPARE_WITH_TIMEOUT(stderrLines.count(QStringLiteral("respondió la dirección 5")), 1, kReturnMs);
        QVERIFY(!active.available());
        QVERIFY(!active.switchOffForExit());
    }
};

QTEST_GUILESS_MAIN(SerialTest)
#include "serial_test.moc"
