// The port layer: TENVALIA_PORT's forms, the simulated port's outputs, and a real port that cannot
// be had or does not answer (here: no /dev/parport*, no ioperm; the emulated PC has real ones).
#include "platform/port/active_port.h"
#include "platform/port/device_node.h"
#include "platform/port/hid_output.h"
#include "platform/port/simulated_output.h"
#include "platform/port/words.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <map>
#include <cerrno>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace port = platform::port;
using port::Kind;
using port::Step;

namespace {

// By the path's bytes: Qt's own file names cannot hold bytes that are not UTF-8.
void writeFile(const QByteArray &path, const QByteArray &text)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, text.constData(), size_t(text.size())), ssize_t(text.size()));
    ::close(fd);
}

port::Choice choose(const QByteArray &request, const port::SystemPaths &paths = {},
                    port::DirectAccess direct = {false, {Step::Permission, EPERM}})
{
    return port::choose(port::parseRequest(request), 0x378, direct, paths);
}

// A port at `at` that reads back 0xff from its `failFrom`th write on (counting from 1).
struct FakePort final : port::Output {
    FakePort(port::Where where, int from) : at(std::move(where)), failFrom(from) {}
    port::Outcome write(quint16 value) override
    {
        return ++writes >= failFrom ? port::Outcome{Step::ReadBack, 0, value, 0xFF} : port::Outcome{Step::Done, 0, value};
    }
    port::Where where() const override { return at; }
    port::Where at;
    int failFrom, writes = 0;
};

// A direct port with lines that do not follow: `dead` never light, `sticky` stay lit once lit.
struct StuckPort final : port::Output {
    StuckPort(quint8 deadLines, quint8 stickyLines, std::vector<quint16> *writes)
        : dead(deadLines), sticky(stickyLines), written(writes) {}
    port::Outcome write(quint16 value) override
    {
        written->push_back(value);
        lit = (value & ~dead) | (lit & sticky);
        return {lit == value ? Step::Done : Step::ReadBack, 0, value, lit};
    }
    port::Where where() const override { return {Kind::Direct, {}, 0x378}; }
    quint8 dead, sticky, lit = 0;
    std::vector<quint16> *written;
};

QStringList reportsOf(const std::function<void()> &writes)
{
    QSignalSpy trouble(&port::ActivePort::instance(), &port::ActivePort::trouble);
    writes();
    QTest::qWait(20);
    QStringList texts;
    for (const auto &signal : trouble)
        texts << signal.at(0).toString();
    return texts;
}

} // namespace

class PortTest : public QObject {
    Q_OBJECT

private slots:
    void traceGoesToTheFileNamedByItsExactBytes()
    {
        QTemporaryDir dir;
        const QByteArray trace = QFile::encodeName(dir.path()) + "/registro-\xff\xfe"; // not UTF-8
        writeFile(trace, "0x0378 0x0010\n");
        auto choice = choose("sim:" + trace);
        QVERIFY(!choice.refused);
        QVERIFY(choice.output->write(0x0002).ok());
        QVERIFY(choice.output->write(0x00FF).ok());
        // Written through at once, to that very file and no other.
        QVERIFY(!QFile::exists(QFile::decodeName(trace))); // not a look-alike with the bytes replaced
        char text[64] = {};
        const int fd = ::open(trace.constData(), O_RDONLY);
        QVERIFY(fd >= 0);
        QCOMPARE(::read(fd, text, sizeof text - 1), 42);
        ::close(fd);
        ::unlink(trace.constData());
        QCOMPARE(QByteArray(text), QByteArray("0x0378 0x0010\n0x0378 0x0002\n0x0378 0x00ff\n"));
    }

    // A request that cannot be carried out says why, in words that quote it safely, and the
    // writes go on simulated, standing in for the output asked for: not available.
    void refusedRequestsSayWhyAndGoOnSimulated()
    {
        const QStringList forms{"no es una forma conocida", "ppdev:/dev/parportN", "sim:ARCHIVO", "simulado"};
        const std::vector<std::tuple<QByteArray, QStringList, QString>> cases{
            {"parallel", forms, {}},
            {"sim:", forms, {}},
            {"sim:/nonexistent-dir/trace", {"abrir /nonexistent-dir/trace: No such file or directory", "salida estándar"}, {}},
            {"ppdev:/dev/parport7", {"TENVALIA_PORT=ppdev:/dev/parport7", "abrir /dev/parport7: No such file or directory"}, {}},
            // Another device's refusals must not read as a parallel port's (no printer-driver hint).
            {"ppdev:/dev/null", {"/dev/null no es un puerto paralelo", "simulado"}, "lp"},
            // Bytes from outside never reach a terminal or a box as control characters.
            {"sim:/x/\e]0;PWNED\a\e[2J\x9b", {"/x/\\x1b]0;PWNED\\x07\\x1b[2J"}, {}},
        };
        for (const auto &[request, said, notSaid] : cases) {
            auto choice = choose(request);
            QCOMPARE(choice.output->where().kind, Kind::Stdout);
            const QString refusal = port::words::refusal(choice);
            for (const QString &words : said)
                QVERIFY2(refusal.contains(words), qPrintable(refusal));
            QVERIFY(notSaid.isEmpty() || !refusal.contains(notSaid));
            QVERIFY(std::none_of(refusal.begin(), refusal.end(), [](QChar c) { return c.unicode() < 0x20 && c != '\n'; }));
            auto &active = port::ActivePort::instance();
            active.use(std::move(choice));
            QVERIFY(!active.available());
            QVERIFY2(active.standingIn().startsWith(QStringLiteral("la salida pedida no está disponible (TENVALIA_PORT=")),
                     qPrintable(active.standingIn()));
        }
        QCoreApplication::sendPostedEvents(); // the refusals told, before another test listens
    }

    // A FIFO nobody reads, one that fills up or whose reader leaves: said once, never waited for.
    void outputsThatStopReadingNeverStopTheProgram()
    {
        QTemporaryDir dir;
        const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("fifo")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        auto unread = choose("sim:" + fifo);
        QVERIFY2(port::words::refusal(unread).contains(QStringLiteral("es una FIFO y nadie la está leyendo")),
                 qPrintable(port::words::refusal(unread)));

        const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
        auto read = choose("sim:" + fifo);
        QVERIFY(!read.refused);
        port::Outcome outcome;
        for (int i = 0; i < 100000 && outcome.ok(); ++i)
            outcome = read.output->write(0x02);
        QCOMPARE(outcome.step, Step::Full);
        ::close(reader);
        QCOMPARE(read.output->write(0x02).step, Step::ReaderGone);

        // Standard output: the switch-off writes what a write of 0 writes. Then its reader leaves:
        // one report, then nothing recorded.
        int pipeEnds[2];
        QCOMPARE(::pipe(pipeEnds), 0);
        const int savedStdout = ::dup(STDOUT_FILENO);
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::close(pipeEnds[1]);
        const auto stdoutPort = port::stdoutOutput(0x378);
        const port::SwitchOff off = stdoutPort->switchOff();
        QVERIFY(stdoutPort->write(0).ok() && ::write(off.fd, off.bytes, off.length) == off.length);
        char lines[128] = {};
        QCOMPARE(::read(pipeEnds[0], lines, sizeof lines), 2 * off.length);
        ::close(pipeEnds[0]);
        QCOMPARE(QByteArray(lines, off.length) + QByteArray(lines, off.length), QByteArray(lines, 2 * off.length));
        const QStringList reports = reportsOf([] {
            auto &active = port::ActivePort::instance();
            active.use(port::stdoutOutput(0x378), 0x378);
            active.write(0x378, 0x10);
            active.write(0x378, 0x00);
        });
        ::dup2(savedStdout, STDOUT_FILENO);
        ::close(savedStdout);
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].contains(QStringLiteral("la salida estándar se cerró")), qPrintable(reports[0]));
        QCOMPARE(port::ActivePort::instance().where().kind, Kind::Silent);
    }

    // Auto mode tries the device at 0x378, the others from the lowest, then direct I/O, telling each.
    // One that may be the person's own port (at 0x378 or unknown), refused, ends the search.
    void autoModeTriesEveryPortInOrder()
    {
        QTemporaryDir dir;
        const QByteArray root = QFile::encodeName(dir.path());
        port::SystemPaths paths{root + "/dev", root + "/sys", "/sys/dev/char", root + "/usb"};
        QDir().mkpath(QFile::decodeName(paths.devices));
        const auto addDevice = [&](const QByteArray &device, const QByteArray &base) {
            writeFile(paths.devices + '/' + device, "");
            QDir().mkpath(QFile::decodeName(paths.sysctl + '/' + device));
            if (!base.isEmpty())
                writeFile(paths.sysctl + '/' + device + "/base-addr", base + '\n');
        };
        // The refusal's first line and every attempt, in order, the folder's own name left out.
        const auto said = [&](const port::Choice &choice) {
            const QStringList lines = port::words::refusal(choice).remove(dir.path()).split(QLatin1Char('\n'));
            return lines.mid(0, 1) + lines.filter(QStringLiteral("• "));
        };
        const QString notAPort = QStringLiteral(" no es un puerto paralelo (no es un dispositivo ppdev)");
        const QString noBoard = QStringLiteral("• placa USB: no hay ninguna placa de relés USB (www.dcttech.com USBRelayN) en ");
        const QString noPermission = QStringLiteral("• E/S directa: ioperm(0x0378, 2): ") + qt_error_string(EPERM);
        const QString nowhere = QStringLiteral("No hay un puerto paralelo en 0x0378 que Tenvalia pueda usar.");
        const QString noFtdi = QStringLiteral("• placa FTDI: no hay ninguna placa de relés FTDI (0403:6001, «FT245R USB FIFO»)");
        addDevice("parport10", "632");
        addDevice("parport1", "956");
        writeFile(paths.devices + "/parportal", ""); // not a numbered port
        auto elsewhere = choose("auto", paths);
        QCOMPARE(elsewhere.output->where().kind, Kind::Stdout);
        QCOMPARE(said(elsewhere), (QStringList{nowhere, "• ppdev: /dev/parport1" + notAPort, "• ppdev: /dev/parport10" + notAPort,
                                               noPermission, noBoard + "/dev/hidraw*", noFtdi}));

        addDevice("parport2", "888\t1912");
        auto theirs = choose("auto", paths, {true, {}});
        QCOMPARE(theirs.output->where().kind, Kind::Stdout); // not direct I/O, although it was granted
        QCOMPARE(said(theirs), (QStringList{"No se pudo usar el puerto paralelo en 0x0378 (/dev/parport2).",
                                            "• ppdev: /dev/parport2" + notAPort}));
        // Finding nothing lost nothing; the person's port found and refused is lost.
        auto &active = port::ActivePort::instance();
        active.use(std::move(elsewhere));
        QVERIFY(active.available());
        active.use(std::move(theirs));
        QVERIFY(!active.available());
        QCoreApplication::sendPostedEvents(); // the refusals told, before another test listens

        QDir(QFile::decodeName(paths.sysctl + "/parport2")).removeRecursively();
        addDevice("parport0", {});
        QCOMPARE(said(choose("auto", paths)), // unknown is not "elsewhere"
                 (QStringList{"No se pudo usar /dev/parport0, que puede ser el puerto paralelo en 0x0378 (no se pudo leer "
                              "en qué dirección está).",
                              "• ppdev: /dev/parport0" + notAPort}));
        QCOMPARE(said(choose("", {root, root, "/sys/dev/char", root})),
                 (QStringList{nowhere, "• ppdev: no existe ningún /parport*", noPermission, noBoard + "/hidraw*", noFtdi}));
    }

    // A path given for a device is looked at before it is opened: a FIFO, a terminal (whose
    // modem lines an open toggles) or a file is refused, and never opened for writing.
    void whatIsNotTheDeviceIsNeverOpened()
    {
        QTemporaryDir dir;
        const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("fifo")));
        const QByteArray file = QFile::encodeName(dir.filePath(QStringLiteral("file")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        writeFile(file, "");
        const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
        const QByteArray pty = ::ptsname(terminal);
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        for (const QByteArray &path : {fifo, file, pty}) {
            QVERIFY(::inotify_add_watch(watch, path.constData(), IN_CLOSE_WRITE) >= 0);
            for (const QByteArray &request : {"gpio:" + path + ":0", "hid:" + path, "ppdev:" + path}) {
                const auto choice = choose(request);
                QCOMPARE(choice.tried.size(), size_t(1));
                QCOMPARE(choice.tried[0].outcome.step, Step::NotADevice);
            }
        }
        char event[4096];
        QCOMPARE(::read(watch, event, sizeof event), -1); // no open for writing was closed
        ::close(watch);
        ::close(terminal);

        // The kernel's folder checked again on the descriptor: here it calls /dev/null a board, a chip.
        struct stat null;
        QCOMPARE(::stat("/dev/null", &null), 0);
        const QByteArray sys = QFile::encodeName(dir.path()), folder = port::deviceFolder(sys, null);
        QDir().mkpath(QFile::decodeName(folder + "/device"));
        writeFile(folder + "/device/uevent", "HID_ID=0003:000016C0:000005DF\nHID_NAME=www.dcttech.com USBRelay8\n");
        for (const char *subsystem : {"hidraw", "gpio"}) {
            ::unlink((folder + "/subsystem").constData());
            QCOMPARE(::symlink(QByteArray("../class/").append(subsystem).constData(), (folder + "/subsystem").constData()), 0);
            const auto choice = choose(subsystem[0] == 'h' ? "hid:/dev/null" : "gpio:/dev/null:0", {"/dev", "/proc", sys});
            QCOMPARE(choice.tried.size(), size_t(1));
            QCOMPARE(choice.tried[0].outcome.step, Step::NotADevice);
        }
    }

    // Only the boards this program speaks to are taken; a look-alike is refused by its name.
    void relayBoardsAreKnownByWhatTheKernelSays()
    {
        const QByteArray id = "HID_ID=0003:000016C0:000005DF\nHID_NAME=www.dcttech.com USBRelay";
        const std::vector<std::tuple<QByteArray, port::BoardIs, size_t>> cases{
            {id + "8\nHID_PHYS=usb-0000:00:14.0-1/input0\n", port::BoardIs::One, 8},
            {id + "3", port::BoardIs::LookAlike, 0},
            {"HID_ID=0003:000016C0:000005E0\nHID_NAME=www.dcttech.com USBRelay8", port::BoardIs::LookAlike, 0}, // product
            {"HID_ID=0003:00005131:00002007\nHID_NAME=USBRelay2", port::BoardIs::LookAlike, 0},                  // maker
            {"HID_ID=0003:0000046D:0000C31C\nHID_NAME=Logitech USB Keyboard", port::BoardIs::Other, 0},
        };
        for (const auto &[uevent, is, relays] : cases) {
            port::Where where;
            QCOMPARE(port::identifyBoard(uevent, &where), is);
            QCOMPARE(where.lines.size(), relays);
        }
    }

    // The notice of a board with fewer relays than lines; GPIO's forms, and wrong ones of FTDI's.
    void boardsAndLinesAreSaidAsTheyAre()
    {
        port::Choice choice{port::parseRequest("auto"), 0x378};
        choice.output = std::make_unique<FakePort>(
            port::Where{Kind::Hid, "/dev/hidraw3", -1, "USBRelay4", "\xff\xff\xff\xff\xff", {1, 2, 3, 4}}, 1);
        choice.passedOver = {{Kind::Hid, "/dev/hidraw4", -1, {}, "TNV02"}, {Kind::Ftdi, "/dev/bus/usb/002/002", -1, {}, "A5X"}};
        QCOMPARE(port::words::notice(choice),
                 QStringLiteral("no hay un puerto paralelo en 0x0378; se usa la placa de relés /dev/hidraw3: USBRelay4, "
                                "id «\\xff\\xff\\xff\\xff\\xff», 4 relés; D4, D5, D6, D7 no van a ninguna parte; quedan sin "
                                "usar: /dev/hidraw4, id «TNV02» (TENVALIA_PORT=hid:TNV02); placa de relés FTDI «A5X» "
                                "(TENVALIA_PORT=ftdi:A5X)"));

        const port::Request gpio = port::parseRequest("gpio:/dev/gpiochip0:5,6,13:active-low");
        QVERIFY(gpio.mode == port::Request::Mode::Gpio && gpio.path == "/dev/gpiochip0" && gpio.activeLow);
        QCOMPARE(gpio.lines, (std::vector<int>{5, 6, 13}));
        for (const char *wrong : {"gpio:/dev/gpiochip0", "gpio:/dev/gpiochip0:5,5", "gpio:/dev/gpiochip0:1,2,3,4,5,6,7,8,9",
                                  "gpio:/dev/gpiochip0:-1", "gpio::1", "ftdi:", "ftdi:1,8", "ftdi:1,1", "ftdi:A:B",
                                  "ftdi:A:1,2:3", "ftdi:,"})
            QCOMPARE(port::parseRequest(wrong).mode, port::Request::Mode::Unknown);
    }

    // An output that goes is looked for again by what it is, whatever number the system gives it
    // when it comes back; what was asked for and never found, as it was asked.
    void outputsAreRememberedByWhatTheyAre()
    {
        using Mode = port::Request::Mode;
        const auto remembered = [](const QByteArray &asked, const port::Where &found) {
            port::Choice choice{port::parseRequest(asked), 0x378};
            if (found.kind != Kind::Silent)
                choice.output = std::make_unique<FakePort>(found, 99);
            return port::rememberedAs(choice);
        };
        port::Where hid{Kind::Hid, "/dev/hidraw3", -1, "USBRelay8", "TNV01"};
        const port::Request byId = remembered("auto", hid);
        QVERIFY(byId.mode == Mode::Hid && byId.serial == "TNV01" && byId.path.isEmpty());
        hid.serial = "\xff\xff\xff\xff\xff"; // left unset, as on many boards
        QCOMPARE(remembered("hid", hid).path, QByteArray("/dev/hidraw3"));
        port::Where ftdi{Kind::Ftdi, "/dev/bus/usb/002/007", -1, "FT245R USB FIFO"};
        ftdi.place = "2-1.4";
        const port::Request byPlace = remembered("ftdi:1,3", ftdi);
        QVERIFY(byPlace.mode == Mode::Ftdi && byPlace.path == "2-1.4" && byPlace.lines == std::vector<int>({1, 3}));
        const QByteArray link = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0";
        QCOMPARE(remembered("lcus:" + link + ":4", {Kind::Lcus, link}).path, link);
        QCOMPARE(remembered("auto", {}).mode, Mode::Board);
        QCOMPARE(remembered("hid:TNV09", {}).serial, QByteArray("TNV09"));
        QCOMPARE(remembered("modbus:" + link, {}).path, link);
        QCOMPARE(remembered("direct", {Kind::Direct, {}, 0x378}).mode, Mode::Unknown);
        QCOMPARE(remembered("gpio:/dev/gpiochip0:1", {Kind::Gpio, "/dev/gpiochip0"}).mode, Mode::Unknown);
        port::Choice theirs{port::parseRequest("auto"), 0x378}; // the person's port refused: nothing instead
        theirs.personsPortRefused = true;
        QCOMPARE(port::rememberedAs(theirs).mode, Mode::Unknown);
    }

    // An FT232R serial adapter, with an FT245R board's ids, is never opened, even asked for by serial.
    void ftdiBoardsAreKnownByTheirProductString()
    {
        QTemporaryDir dir;
        const QByteArray usb = QFile::encodeName(dir.path());
        for (const QByteArray bus : {"1", "2"}) {
            QDir().mkpath(QFile::decodeName(usb + '/' + bus));
            const QByteArray product = bus == "1" ? "FT232R USB UART" : "FT245R USB FIFO";
            for (const auto &[file, text] : std::map<const char *, QByteArray>{
                     {"idVendor", "0403"}, {"idProduct", "6001"}, {"product", product}, {"serial", "S" + bus}, {"busnum", bus}, {"devnum", "2"}})
                writeFile(usb + '/' + bus + '/' + file, text + '\n');
        }
        const QString adapter = port::words::refusal(choose("ftdi:S1", {usb, usb, usb, usb}));
        QVERIFY2(adapter.contains(QStringLiteral("«S1» es «FT232R USB UART», no una placa de relés")), qPrintable(adapter));
        const auto board = choose("ftdi", {usb, usb, usb, usb}); // found, but its usbfs node is not there
        QCOMPARE(board.tried.size(), size_t(2));
        QCOMPARE(board.tried.front().where.path, usb + "/bus/usb/002/002");
        QCOMPARE(board.tried.front().outcome.error, ENOENT);
    }

    // A full disk keeps its reason, and a trace never ends in half a record (mounting needs root).
    void aFullDiskIsSaidWithItsReason()
    {
        auto full = choose("sim:/dev/full");
        const port::Outcome outcome = full.output->write(0x02);
        QCOMPARE(outcome.step, Step::Write);
        QCOMPARE(outcome.error, ENOSPC);
        QVERIFY(port::words::failedWrite(full.output->where(), outcome, {Kind::Stdout})
                    .contains(QStringLiteral("escribir en /dev/full: ") + qt_error_string(ENOSPC)));

        if (::geteuid() != 0)
            QSKIP("a trace on a full file system needs a small tmpfs, and mounting one needs root");
        QTemporaryDir dir;
        const QByteArray mountPoint = QFile::encodeName(dir.path());
        QVERIFY(::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=8k") == 0);
        const auto unmount = qScopeGuard([&] { ::umount(mountPoint.constData()); });
        writeFile(mountPoint + "/filler", QByteArray(4096, 'x')); // one of the two pages
        auto trace = choose("sim:" + mountPoint + "/trace");
        port::Outcome last;
        int records = 0;
        while ((last = trace.output->write(0x02)).ok())
            ++records;
        QCOMPARE(last.error, ENOSPC);
        QFile written(dir.filePath(QStringLiteral("trace")));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.size(), qint64(records) * 14); // "0x0378 0x0002\n" each, none cut short
    }

    // A port failing its first write was never there; later, it is a failed write. Said once each.
    void firstWriteProvesThePort()
    {
        auto &active = port::ActivePort::instance();
        const auto failingFrom = [](int write) {
            return port::Choice{port::parseRequest("direct"), 0x378, std::make_unique<FakePort>(port::Where{Kind::Direct, {}, 0x378}, write), {}, false, true};
        };
        QStringList reports = reportsOf([&] {
            active.use(failingFrom(1));
            active.write(0x378, 0x00);
            active.write(0x378, 0x02);
        });
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].startsWith(QStringLiteral("No se pudo usar el puerto pedido (TENVALIA_PORT=direct).\n\n"
                                                      "Se intentó:\n• E/S directa en 0x0378: se escribió 0x00 y se leyó 0xff")) &&
                     reports[0].contains(QStringLiteral("úselos por ppdev")),
                 qPrintable(reports[0]));
        QCOMPARE(active.where().kind, Kind::Stdout);

        reports = reportsOf([&] {
            active.use(failingFrom(2));
            active.write(0x378, 0x00);
            active.write(0x378, 0x02);
            active.write(0x378, 0x00);
        });
        QCOMPARE(reports.size(), 1);
        QVERIFY(reports[0].startsWith(QStringLiteral("Falló una escritura en el puerto (E/S directa en 0x0378).\n\n"
                                                     "se escribió 0x02 y se leyó 0xff: nada responde")));
        QVERIFY(reports[0].contains(QStringLiteral("sigue con el puerto simulado (salida estándar)")));

        // Only direct I/O can be pointed at the wrong address, so only there is ppdev the way out.
        const auto said = [](quint8 written, quint8 readBack) {
            return port::words::failedWrite({Kind::Ppdev, "/dev/parport0", 0x378}, {Step::ReadBack, 0, written, readBack}, {Kind::Stdout});
        };
        QVERIFY(said(0x00, 0xFF).contains(QStringLiteral("nada responde")) && !said(0x00, 0xFF).contains(QStringLiteral("úselos")));
        QVERIFY(said(0x02, 0x00).contains(QStringLiteral("no guarda lo que se le escribe")));
    }

    // A port is driven off before it is given up, and the exit tries again: only what is still lit
    // makes it say so. Last: the exit ends what the port may do.
    void aPortGivenUpIsSwitchedOffFirst()
    {
        auto &active = port::ActivePort::instance();
        std::vector<quint16> writes;
        active.use(port::Choice{port::parseRequest("direct"), 0x378, std::make_unique<StuckPort>(0x02, 0, &writes)});
        reportsOf([&] {
            active.write(0x378, 0x00);
            active.write(0x378, 0x02); // D1 does not follow
        });
        QCOMPARE(writes, (std::vector<quint16>{0x00, 0x02, 0x00}));

        writes.clear();
        active.use(port::Choice{port::parseRequest("direct"), 0x378, std::make_unique<StuckPort>(0, 0x02, &writes)});
        reportsOf([&] {
            active.write(0x378, 0x00);
            active.write(0x378, 0x02);
            active.write(0x378, 0x10); // D1 stays lit
        });
        QVERIFY(active.lightsMayBeOn());
        QVERIFY(!active.switchOffForExit());
        QCOMPARE(writes, (std::vector<quint16>{0x00, 0x02, 0x10, 0x00, 0x00}));
    }
};

QTEST_GUILESS_MAIN(PortTest)
#include "port_test.moc"
