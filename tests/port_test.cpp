// The port layer: reading TENVALIA_PORT, the simulated port's trace and the outputs it may be
// pointed at, and what happens when a real port cannot be had or does not answer (on these
// machines: no /dev/parport*, no ioperm; the emulated PC covers the real ones).
#include "platform/port/active_port.h"
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

// A direct port that reads back 0xff from its `failFrom`th write on (counting from 1).
struct FailingPort final : port::Output {
    explicit FailingPort(int from) : failFrom(from) {}
    port::Outcome write(quint16 value) override
    {
        return ++writes >= failFrom ? port::Outcome{Step::ReadBack, 0, value, 0xFF} : port::Outcome{Step::Done, 0, value};
    }
    port::Where where() const override { return {Kind::Direct, {}, 0x378}; }
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

    void refusedRequestsSayWhyAndGoOnSimulated_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QStringList>("said");
        QTest::addColumn<QString>("notSaid");
        const QStringList forms{"no es una forma conocida", "ppdev:/dev/parportN", "sim:ARCHIVO", "simulado"};
        QTest::newRow("unknown") << QByteArray("parallel") << forms << QString();
        QTest::newRow("sim without file") << QByteArray("sim:") << forms << QString();
        QTest::newRow("no trace folder")
            << QByteArray("sim:/nonexistent-dir/trace")
            << QStringList{"abrir /nonexistent-dir/trace: No such file or directory", "salida estándar"} << QString();
        QTest::newRow("no such device")
            << QByteArray("ppdev:/dev/parport7")
            << QStringList{"TENVALIA_PORT=ppdev:/dev/parport7", "abrir /dev/parport7: No such file or directory"}
            << QString();
        // Another device's refusals must not read as a parallel port's (no printer-driver hint).
        QTest::newRow("not a port") << QByteArray("ppdev:/dev/null")
                                    << QStringList{"/dev/null no es un puerto paralelo", "simulado"} << "lp";
    }
    void refusedRequestsSayWhyAndGoOnSimulated()
    {
        QFETCH(QByteArray, request);
        QFETCH(QStringList, said);
        QFETCH(QString, notSaid);
        auto choice = choose(request);
        QCOMPARE(choice.output->where().kind, Kind::Stdout);
        const QString refusal = port::words::refusal(choice);
        for (const QString &words : said)
            QVERIFY2(refusal.contains(words), qPrintable(refusal));
        if (!notSaid.isEmpty())
            QVERIFY2(!refusal.contains(notSaid), qPrintable(refusal));
    }

    // A pipe or FIFO that nobody reads, that fills up, or whose reader leaves: each is said once
    // and never waited for, and the writes go on (at last recorded nowhere).
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

        // Standard output, a pipe whose reader leaves: one report, then nothing recorded.
        int pipeEnds[2];
        QCOMPARE(::pipe(pipeEnds), 0);
        const int savedStdout = ::dup(STDOUT_FILENO);
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::close(pipeEnds[1]);
        ::close(pipeEnds[0]);
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

    // What came back, and what it means for the way the port was reached: only direct I/O can be
    // pointed at the wrong address, so only there is ppdev the way out.
    void readBackSaysWhatCameBackAndWhatItMeans()
    {
        const port::Where stdoutPort{Kind::Stdout};
        const auto said = [&](Kind kind, quint8 written, quint8 readBack) {
            return port::words::failedWrite({kind, "/dev/parport0", 0x378}, {Step::ReadBack, 0, written, readBack}, stdoutPort);
        };
        const QString direct = said(Kind::Direct, 0x00, 0xFF);
        QVERIFY2(direct.contains(QStringLiteral("(E/S directa en 0x0378).\n\nse escribió 0x00 y se leyó 0xff: nada responde")),
                 qPrintable(direct));
        QVERIFY(direct.contains(QStringLiteral("úselos por ppdev")));
        const QString ppdev = said(Kind::Ppdev, 0x00, 0xFF);
        QVERIFY2(ppdev.contains(QStringLiteral("nada responde")) && !ppdev.contains(QStringLiteral("úselos por ppdev")),
                 qPrintable(ppdev));
        QVERIFY(said(Kind::Ppdev, 0x02, 0x00).contains(QStringLiteral("no guarda lo que se le escribe")));
    }

    // Auto mode tries the device at 0x378 first, then the others from the lowest number, then
    // direct I/O, and tells every attempt. A device that may be the person's own port (at 0x378,
    // or of unknown address) ends the search when refused: nothing else is driven in its place.
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
        const auto triedOf = [&](const port::Choice &choice) {
            QStringList tried;
            for (const port::Attempt &attempt : choice.tried)
                tried << QString::fromLatin1(attempt.where.path.mid(root.size())) + ' ' +
                             QString::number(int(attempt.outcome.step));
            return tried;
        };
        const QString notADevice = QString::number(int(Step::NotADevice));
        addDevice("parport10", "632");
        addDevice("parport1", "956");
        writeFile(paths.devices + "/parportal", ""); // not a numbered port
        auto elsewhere = choose("auto", paths);
        QCOMPARE(elsewhere.output->where().kind, Kind::Stdout);
        QCOMPARE(triedOf(elsewhere), (QStringList{"/dev/parport1 " + notADevice, "/dev/parport10 " + notADevice,
                                                  " " + QString::number(int(Step::Permission)),
                                                  "/dev " + QString::number(int(Step::NoDevice)),
                                                  "/usb " + QString::number(int(Step::NoDevice))}));
        QStringList lines = port::words::refusal(elsewhere).split(QLatin1Char('\n'));
        QCOMPARE(lines.first(), QStringLiteral("No hay un puerto paralelo en 0x0378 que Tenvalia pueda usar."));
        QCOMPARE(lines.filter(QStringLiteral("• ")).at(2), QStringLiteral("• E/S directa: ioperm(0x0378, 2): ") + qt_error_string(EPERM));
        QVERIFY(lines.filter(QStringLiteral("• ")).at(3).startsWith(QStringLiteral("• placa USB: no hay ninguna placa de relés USB")));
        QVERIFY(lines.filter(QStringLiteral("• ")).last().startsWith(QStringLiteral("• placa FTDI: no hay ninguna placa de relés FTDI")));

        addDevice("parport2", "888\t1912");
        auto theirs = choose("auto", paths, {true, {}});
        QCOMPARE(theirs.output->where().kind, Kind::Stdout); // not direct I/O, although it was granted
        QCOMPARE(triedOf(theirs), QStringList{"/dev/parport2 " + notADevice});
        lines = port::words::refusal(theirs).split(QLatin1Char('\n'));
        QCOMPARE(lines.first(), QStringLiteral("No se pudo usar el puerto paralelo en 0x0378 (%1/dev/parport2).").arg(dir.path()));

        QDir(QFile::decodeName(paths.sysctl + "/parport2")).removeRecursively();
        addDevice("parport0", {});
        auto unknown = choose("auto", paths);
        QCOMPARE(triedOf(unknown), QStringList{"/dev/parport0 " + notADevice}); // unknown is not "elsewhere"
        QVERIFY(port::words::refusal(unknown).startsWith(QStringLiteral("No se pudo usar %1/dev/parport0, que puede ser "
                                                                       "el puerto paralelo en 0x0378").arg(dir.path())));

        auto none = choose("", {root, root});
        QVERIFY(port::words::refusal(none).contains(QStringLiteral("ppdev: no existe ningún ") + dir.path() + QStringLiteral("/parport*")));
    }

    // Only the boards this program speaks to are taken; a look-alike is refused by its name.
    void relayBoardsAreKnownByWhatTheKernelSays_data()
    {
        QTest::addColumn<QByteArray>("uevent");
        QTest::addColumn<int>("is");
        QTest::addColumn<int>("relays");
        const QByteArray id = "HID_ID=0003:000016C0:000005DF\nHID_NAME=www.dcttech.com USBRelay";
        QTest::newRow("8 relays") << id + "8\nHID_PHYS=usb-0000:00:14.0-1/input0\n" << int(port::BoardIs::One) << 8;
        QTest::newRow("4 relays") << id + "4" << int(port::BoardIs::One) << 4;
        QTest::newRow("3 relays") << id + "3" << int(port::BoardIs::LookAlike) << 0;
        QTest::newRow("other product") << QByteArray("HID_ID=0003:000016C0:000005E0\nHID_NAME=www.dcttech.com USBRelay8")
                                       << int(port::BoardIs::LookAlike) << 0;
        QTest::newRow("other maker") << QByteArray("HID_ID=0003:00005131:00002007\nHID_NAME=USBRelay2")
                                     << int(port::BoardIs::LookAlike) << 0;
        QTest::newRow("a keyboard") << QByteArray("HID_ID=0003:0000046D:0000C31C\nHID_NAME=Logitech USB Keyboard")
                                    << int(port::BoardIs::Other) << 0;
    }
    void relayBoardsAreKnownByWhatTheKernelSays()
    {
        QFETCH(QByteArray, uevent);
        QFETCH(int, is);
        QFETCH(int, relays);
        port::Where where;
        QCOMPARE(int(port::identifyBoard(uevent, &where)), is);
        QCOMPARE(int(where.lines.size()), relays);
    }

    // What the standard error line says of a board with fewer relays than lines, and how GPIO
    // forms parse.
    void boardsAndLinesAreSaidAsTheyAre()
    {
        port::Choice choice{port::parseRequest("auto"), 0x378};
        port::Where board{Kind::Hid, "/dev/hidraw3", -1, "USBRelay4", "\xff\xff\xff\xff\xff", {1, 2, 3, 4}};
        struct Board final : port::Output {
            port::Where at;
            port::Outcome write(quint16) override { return {}; }
            port::Where where() const override { return at; }
        };
        auto output = std::make_unique<Board>();
        output->at = board;
        choice.output = std::move(output);
        choice.passedOver = {{Kind::Hid, "/dev/hidraw4", -1, {}, "TNV02"}, {Kind::Ftdi, "/dev/bus/usb/002/002", -1, {}, "A5X"}};
        QCOMPARE(port::words::notice(choice),
                 QStringLiteral("no hay un puerto paralelo en 0x0378; se usa la placa de relés /dev/hidraw3: USBRelay4, "
                                "id «\\xff\\xff\\xff\\xff\\xff», 4 relés; D4, D5, D6, D7 no van a ninguna parte; quedan sin "
                                "usar: /dev/hidraw4, id «TNV02» (TENVALIA_PORT=hid:TNV02); placa de relés FTDI «A5X» "
                                "(TENVALIA_PORT=ftdi:A5X)"));

        const port::Request gpio = port::parseRequest("gpio:/dev/gpiochip0:5,6,13:active-low");
        QCOMPARE(gpio.mode, port::Request::Mode::Gpio);
        QCOMPARE(gpio.path, QByteArray("/dev/gpiochip0"));
        QCOMPARE(gpio.lines, (std::vector<int>{5, 6, 13}));
        QVERIFY(gpio.activeLow);
        for (const char *wrong : {"gpio:/dev/gpiochip0", "gpio:/dev/gpiochip0:5,5", "gpio:/dev/gpiochip0:1,2,3,4,5,6,7,8,9",
                                  "gpio:/dev/gpiochip0:-1", "gpio::1"})
            QCOMPARE(port::parseRequest(wrong).mode, port::Request::Mode::Unknown);
    }

    // An FT245R board is known by its product string: an FT232R serial adapter, with the same ids,
    // is never opened, even asked for by its serial number.
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
        for (const char *wrong : {"ftdi:", "ftdi:1,8", "ftdi:1,1", "ftdi:A:B", "ftdi:A:1,2:3", "ftdi:,"})
            QCOMPARE(port::parseRequest(wrong).mode, port::Request::Mode::Unknown);
    }

    // Bytes from outside never reach a terminal or a box as control characters.
    void controlCharactersFromOutsideAreShownEscaped()
    {
        const QString said = port::words::refusal(choose("sim:/x/\e]0;PWNED\a\e[2J\x9b"));
        QVERIFY2(said.contains(QStringLiteral("/x/\\x1b]0;PWNED\\x07\\x1b[2J")), qPrintable(said));
        QVERIFY(std::none_of(said.begin(), said.end(), [](QChar c) { return c.unicode() < 0x20 && c != '\n'; }));
    }

    // A full disk keeps its reason, and a trace never ends in half a record. The small file
    // system this needs takes root to mount.
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

    // A port's first write proves it: failing there, it was never there. Later failures are a
    // failed write. Either is said once, and the writes go on simulated.
    void firstWriteProvesThePort()
    {
        auto &active = port::ActivePort::instance();
        const auto failingFrom = [](int write) {
            return port::Choice{port::parseRequest("direct"), 0x378, std::make_unique<FailingPort>(write), {}, false, true};
        };
        QStringList reports = reportsOf([&] {
            active.use(failingFrom(1));
            active.write(0x378, 0x00);
            active.write(0x378, 0x02);
        });
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].startsWith(QStringLiteral("No se pudo usar el puerto pedido (TENVALIA_PORT=direct).\n\n"
                                                      "Se intentó:\n• E/S directa en 0x0378: se escribió 0x00 y se leyó 0xff")),
                 qPrintable(reports[0]));
        QCOMPARE(active.where().kind, Kind::Stdout);

        reports = reportsOf([&] {
            active.use(failingFrom(2));
            active.write(0x378, 0x00);
            active.write(0x378, 0x02);
            active.write(0x378, 0x00);
        });
        QCOMPARE(reports.size(), 1);
        QVERIFY(reports[0].startsWith(QStringLiteral("Falló una escritura en el puerto (E/S directa en 0x0378).")));
        QVERIFY(reports[0].contains(QStringLiteral("sigue con el puerto simulado (salida estándar)")));
    }

    // A port is driven off before it is given up, and the exit tries again whatever failed; only
    // what is still lit makes the exit say so. Last: the exit ends what the port may do.
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
