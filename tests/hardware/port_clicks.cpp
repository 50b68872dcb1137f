// Runs inside an emulated PC with a parallel port at 0x378: the window's clicks go through the
// port layer chosen by TENVALIA_PORT, and after each one the data register must read back the
// value's low byte. EXPECT_PORT names the path that must have been chosen: "direct", "ppdev",
// "hid" (a relay board of RELAYS relays, 8 unless said), "gpio" (the emulated lines, whose
// levels the kernel log records) or "ftdi" (the emulated FT245R, whose pins its log FTDI_LOG
// records; RELAYS lines if said). Each case is run by its name alone: the clicks, a port shared
// with others or gone, a board shared by two copies, a copy ended with a light on, or a board that
// fails (its words FAULT_SAYS; with FAULT_ENDS=off, every line off afterwards), or a board that
// goes and comes back (RELAY_BOARD: the HID board's emulator; GADGET_UDC and UDC_NAME: the FTDI
// gadget's controller file and controller).
#include "Unit1.h"
#include "platform/port/active_port.h"
#include "platform/port/guardian.h"
#include "platform/port/hid_output.h"
#include "platform/port/ppdev_output.h"
#include "platform/port/simulated_output.h"
#include "platform/port/words.h"
#include "platform/stderr_lines.h"

#include <QCheckBox>
#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/ppdev.h>
#include <linux/usbdevice_fs.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace port = platform::port;

namespace {

// A USB relay board plugged in for as long as it lives: the emulator, logging to `log`.
struct RelayBoard {
    QProcess emulator;
    QString log;
    RelayBoard(const QString &logFile, const QStringList &options) : log(logFile)
    {
        QFile::remove(log);
        emulator.start(qEnvironmentVariable("RELAY_BOARD"), QStringList{log} + options);
        emulator.waitForStarted();
    }
    ~RelayBoard() { unplug(); }
    void unplug()
    {
        emulator.terminate(); // closing /dev/uhid takes the board away
        emulator.waitForFinished();
    }
    QByteArray logged() const
    {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The commands it got, without the state requests.
    QByteArray commands() const
    {
        QByteArrayList set;
        for (const QByteArray &line : logged().split('\n'))
            if (line.startsWith("SET"))
                set << line;
        return set.join(' ');
    }
};

// What the program says on standard error from here on, through its own writer.
struct Said {
    QTemporaryFile file;
    int saved = ::dup(STDERR_FILENO);
    Said()
    {
        if (file.open())
            ::dup2(file.handle(), STDERR_FILENO);
        platform::startSaying();
    }
    ~Said()
    {
        platform::finishSaying(2000);
        ::dup2(saved, STDERR_FILENO);
        std::fputs(qPrintable(text()), stderr); // for the guest's console when a case fails
    }
    QString text()
    {
        platform::finishSaying(2000);
        QFile read(file.fileName());
        return read.open(QIODevice::ReadOnly) ? QString::fromUtf8(read.readAll()) : QString();
    }
    int count(const QString &words) { return text().count(words); }
};

constexpr int kReturnMs = 30000; // a return waits its turn: a second or more after the last attempt

} // namespace

class PortClicks : public QObject {
    Q_OBJECT

    port::Output *output = nullptr; // the chosen output, owned by the active port
    const QByteArray expected = qgetenv("EXPECT_PORT");
    const port::Kind kind = expected == "ppdev" ? port::Kind::Ppdev
                            : expected == "hid" ? port::Kind::Hid
                            : expected == "gpio" ? port::Kind::Gpio
                            : expected == "ftdi" ? port::Kind::Ftdi
                                                 : port::Kind::Direct;
    const port::Request request = port::parseRequest(qgetenv("TENVALIA_PORT"));
    const QByteArray device = request.path;
    const int relays = qEnvironmentVariableIntValue("RELAYS");
    const int mask = relays ? (1 << relays) - 1 : 0xFF;
    // Opened while the capability to read the kernel's log is still there.
    const int kernelLog = ::open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);

    // What the lines hold, read past the program's own code: the data register, the board's
    // state report, or the levels the emulated GPIO chip logged last.
    int dataRegister()
    {
        if (expected == "direct")
            return inb(TForm1::PuertoParalelo);
        if (expected == "hid")
            return boardState();
        if (expected == "gpio")
            return gpioLevels();
        if (expected == "ftdi")
            return ftdiLines();
        const int fd = ::open("/dev/parport0", O_RDWR);
        unsigned char data = 0;
        const bool ok = fd >= 0 && ::ioctl(fd, PPCLAIM) == 0 && ::ioctl(fd, PPRDATA, &data) == 0;
        if (fd >= 0) {
            ::ioctl(fd, PPRELEASE);
            ::close(fd);
        }
        return ok ? data : -1;
    }

    static int boardState()
    {
        const int fd = ::open("/dev/hidraw0", O_RDWR);
        unsigned char report[9] = {};
        const bool ok = fd >= 0 && ::ioctl(fd, HIDIOCGFEATURE(sizeof report), report) == int(sizeof report);
        ::close(fd);
        return ok ? report[8] : -1;
    }

    int gpioLevels()
    {
        ::lseek(kernelLog, 0, SEEK_SET);
        const int fd = kernelLog;
        char record[8192]; // a record longer than this would end the reading
        int levels = 0;
        // EPIPE: records overwritten before they were read; the reading goes on after them.
        for (ssize_t n; (n = ::read(fd, record, sizeof record - 1)) > 0 || (n < 0 && errno == EPIPE);) {
            if (n < 0)
                continue;
            record[n] = 0;
            int line, level;
            if (const char *at = std::strstr(record, "gpio_relays: line "); at && std::sscanf(at, "gpio_relays: line %d -> %d", &line, &level) == 2)
                levels = (levels & ~(1 << line)) | (level << line);
        }
        return request.activeLow ? ~levels & 0xFF : levels;
    }

    // The lines the emulated FT245R's pins hold: the pins its log recorded last, through the map.
    int ftdiLines() const
    {
        QFile log(qEnvironmentVariable("FTDI_LOG"));
        const QByteArray text = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
        const int pins = text.mid(text.lastIndexOf("PINS ") + 5, 2).toInt(nullptr, 16);
        int lines = request.lines.empty() ? pins : 0;
        for (size_t line = 0; line < request.lines.size(); ++line)
            lines |= (pins >> request.lines[line] & 1) << line;
        return lines;
    }

    void linesAre(int value) { QCOMPARE(dataRegister(), value & mask); }

    // What the port layer tells after `act`: exactly one report, holding `words`.
    static void toldOnce(const std::function<void(TForm1 &)> &act, const QString &words)
    {
        auto &active = port::ActivePort::instance();
        QSignalSpy trouble(&active, &port::ActivePort::trouble);
        TForm1 form;
        form.Reloj->stop();
        QObject::disconnect(&active, &port::ActivePort::trouble, &form, nullptr); // no box to close
        form.show();
        act(form);
        QTRY_COMPARE(trouble.count(), 1);
        const QString told = trouble.at(0).at(0).toString();
        QVERIFY2(told.contains(words), qPrintable(told));
    }

    static void click(QCheckBox *box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, 8)); }

    // The window as the program shows it, watching for the board's comings and goings; trouble is
    // said on standard error, with no box to close.
    static std::unique_ptr<TForm1> watchedWindow()
    {
        auto &active = port::ActivePort::instance();
        auto form = std::make_unique<TForm1>();
        form->Reloj->stop();
        QObject::disconnect(&active, &port::ActivePort::trouble, form.get(), nullptr);
        form->show();
        active.watchForReturns();
        return form;
    }

    static void writeFile(const QString &path, const QByteArray &text)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    }

    // As the program does: ask for direct I/O, give up every privilege, then open the port; the
    // writes (and this test's own inb, under the same I/O permission) must still reach it.
    void useThePort()
    {
        const auto direct = port::requestDirectAccess(TForm1::PuertoParalelo);
        QCOMPARE(port::dropCapabilities(), 0);
        auto choice = port::choose(request, TForm1::PuertoParalelo, direct);
        QVERIFY2(!choice.refused, qPrintable(port::words::refusal(choice)));
        QCOMPARE(choice.output->where().kind, kind);
        QVERIFY(kind != port::Kind::Ppdev || choice.output->where().path == "/dev/parport0");
        output = choice.output.get();
        port::ActivePort::instance().use(std::move(choice));
    }

private slots:
    void clicksReachTheDataLines()
    {
        useThePort();
        port::ActivePort::instance().write(TForm1::PuertoParalelo, 0x5A); // something FormCreate must clear
        linesAre(0x5A);
        // What a crash handler or the guardian would send, through the descriptor the output names.
        if (const port::SwitchOff off = output->switchOff(); off.how == port::SwitchOff::How::UsbBulk) {
            usbdevfs_bulktransfer bulk{off.endpoint, off.length, 1000, const_cast<unsigned char *>(off.bytes)};
            QCOMPARE(::ioctl(off.fd, USBDEVFS_BULK, &bulk), int(off.length));
            QTRY_COMPARE(dataRegister(), 0x00); // the emulator logs the byte a moment after the host sent it
        }
        TForm1 form;
        form.Reloj->stop();
        form.show();
        linesAre(0x00);
        for (const auto &[box, value] : {std::pair(form.CheckCocina, 0x02), {form.CheckSala, 0x10}, {form.CheckSala, 0x00},
                                         {form.CheckIntExt, 0xFF}}) {
            click(box);
            linesAre(value);
        }
        form.close();
        linesAre(0x00);
        QCOMPARE(port::ActivePort::instance().where().kind, kind);
    }

    // A board that fails under a click is told once in its own words, and the window goes on.
    void aFailingBoardIsToldOnce()
    {
        useThePort();
        toldOnce([](TForm1 &form) {
            click(form.CheckIntExt);
            click(form.CheckIntExt);
        }, qEnvironmentVariable("FAULT_SAYS"));
        QCOMPARE(port::ActivePort::instance().where().kind, port::Kind::Stdout);
        if (qgetenv("FAULT_ENDS") == "off") // a board that can still be read was driven off first
            linesAre(0x00);
    }

    // Another program claims the port between two clicks: the second is a busy write, told at
    // once, and the light it left on counts as on until the port is free again and switched off.
    void aHeldPortIsABusyWrite()
    {
        useThePort();
        auto &active = port::ActivePort::instance();
        int holder = -1;
        toldOnce([&](TForm1 &form) {
            click(form.CheckCocina);
            QCOMPARE(dataRegister(), 0x02);
            holder = ::open("/dev/parport0", O_RDWR);
            QVERIFY(holder >= 0 && ::ioctl(holder, PPCLAIM) == 0);
            click(form.CheckCocina);
        }, QStringLiteral("está ocupado"));
        unsigned char data = 0;
        QVERIFY(::ioctl(holder, PPRDATA, &data) == 0);
        QCOMPARE(int(data), 0x02);
        QVERIFY(active.lightsMayBeOn());
        QVERIFY(!active.switchOffForExit());
        QVERIFY(::ioctl(holder, PPRELEASE) == 0 && ::close(holder) == 0);
        QVERIFY(active.switchOffForExit());
        QCOMPARE(dataRegister(), 0x00);
    }

    // Without the kernel's folder of ports the program cannot see a holder, so its claim meets
    // one: the claim must give up (a claim that waited would wait for ever: the holder is this
    // very thread), and leave nothing queued in the kernel, which would otherwise hand the port
    // to it when the holder lets go, claimed by nobody who knows.
    void aClaimThatMeetsAHolderLeavesNoClaim()
    {
        port::Outcome refusal;
        const auto output = port::ppdevOutput(device, -1, "/nowhere", &refusal);
        QVERIFY(output);
        const int holder = ::open(device.constData(), O_RDWR);
        QVERIFY(holder >= 0 && ::ioctl(holder, PPCLAIM) == 0);
        QCOMPARE(output->write(0x02).step, port::Step::Busy);
        QVERIFY(::ioctl(holder, PPRELEASE) == 0);
        QFile active(QStringLiteral("/proc/sys/dev/parport/%1/devices/active").arg(QString(device.mid(5))));
        QVERIFY(active.open(QIODevice::ReadOnly));
        QCOMPARE(active.readAll().trimmed(), QByteArray("none"));
        QVERIFY(output->write(0x02).ok());
        ::close(holder);
    }

    // Two copies at once, each claiming, writing and releasing in turn: a claim that waited
    // would keep the kernel's ppdev lock, and the copy holding the port could not release it.
    // Each write either takes or finds the other copy holding the port; each copy marks the folder
    // COPIES_MET once it has met the other, and goes on until both have, however late one starts.
    void twoCopiesTakeTurns()
    {
        port::Outcome refusal{port::Step::Busy};
        std::unique_ptr<port::Output> output;
        for (int tries = 0; !output && refusal.step == port::Step::Busy && tries < 1000; ++tries)
            output = port::ppdevOutput(device, -1, "/proc/sys/dev/parport", &refusal);
        QVERIFY(output);
        QVERIFY(qEnvironmentVariableIsSet("COPIES_MET"));
        const QString met = qEnvironmentVariable("COPIES_MET");
        int busy = 0, writes = 0;
        for (; writes < 400 || QDir(met).entryList(QDir::Files).size() < 2; ++writes) { // looked at anew
            QVERIFY2(writes < 1000 * 1000, "the copies never met");
            const port::Outcome outcome = output->write(writes & 0xFF);
            QVERIFY2(outcome.ok() || outcome.step == port::Step::Busy,
                     qPrintable(port::words::failedWrite(output->where(), outcome, output->where())));
            if (!outcome.ok() && busy++ == 0)
                QVERIFY(QFile(met + '/' + QString::number(::getpid())).open(QIODevice::WriteOnly));
        }
        qInfo("%d of %d writes found the port busy", busy, writes);
    }

    // Two copies on one board, switching it in turn: each write leaves the board holding that
    // copy's whole value, whatever the other one did, and never blames the board.
    void twoCopiesShareABoard()
    {
        port::Outcome refusal;
        port::Where seen;
        const auto one = port::hidOutput(device, "/sys/dev/char", &refusal, &seen);
        const auto other = port::hidOutput(device, "/sys/dev/char", &refusal, &seen);
        QVERIFY(one && other);
        for (const auto &[copy, value] : {std::pair(one.get(), 0x02), {other.get(), 0x10}, {one.get(), 0x12},
                                          {other.get(), 0xFF}, {one.get(), 0x01}, {other.get(), 0x00}}) {
            const port::Outcome outcome = copy->write(value);
            QVERIFY2(outcome.ok(), qPrintable(port::words::failedWrite(seen, outcome, seen)));
            linesAre(value);
        }
    }

    // A copy of the program lights a line, then is ended by kill -9, which nothing inside it
    // sees, or by SIGSEGV: the guardian, or the crash handler, switches every line off, and
    // neither the copy nor its guardian stays behind. The guardian starts as in the program:
    // once the port is had, before any line is lit.
    void endsUnseenLeaveTheLinesOff()
    {
        QCOMPARE(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); // the guardian is this process's to reap
        if (expected == "direct") // to read the data register here too
            QVERIFY(port::requestDirectAccess(TForm1::PuertoParalelo).granted);
        for (const int signal : {SIGKILL, SIGSEGV}) {
            int lit[2];
            QCOMPARE(::pipe(lit), 0);
            const pid_t copy = ::fork();
            if (copy == 0) {
                port::guardian::catchCrashes();
                useThePort();
                if (port::guardian::start() != 0)
                    ::_exit(1);
                port::ActivePort::instance().write(TForm1::PuertoParalelo, 0x02);
                if (::write(lit[1], "!", 1) == 1)
                    for (;;)
                        ::pause();
                ::_exit(1);
            }
            ::close(lit[1]);
            char byte;
            QCOMPARE(::read(lit[0], &byte, 1), ssize_t(1));
            ::close(lit[0]);
            linesAre(0x02);
            int status = 0;
            QVERIFY(::kill(copy, signal) == 0 && ::waitpid(copy, &status, 0) == copy);
            QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == signal);
            QTRY_COMPARE(dataRegister(), 0x00);
            while (::waitpid(-1, nullptr, 0) > 0) {
            }
        }
    }

    // A board unplugged under the window is noticed with no write; while it is away the clicks
    // reach no board. A board with another ID is not taken (said once, though looked at each
    // time); one with the ID that vanishes in the middle of its first write is said and stays
    // away (one whose relay does not follow: see aBoardPluggedInLater). The board itself, plugged
    // in again, gets one write: the value the window holds then, read back; one line says it is
    // back.
    void aRelayBoardComesBack()
    {
        Said said;
        auto &active = port::ActivePort::instance();
        auto first = std::make_unique<RelayBoard>(QStringLiteral("/tmp/back-first.log"), QStringList{"-i", "TNV01"});
        QTRY_VERIFY(QFile::exists(QStringLiteral("/dev/hidraw0")));
        useThePort();
        const auto form = watchedWindow();
        click(form->CheckCocina);
        linesAre(0x02);
        first.reset();
        QTRY_VERIFY(!active.available());
        QCOMPARE(active.where().kind, port::Kind::Stdout);
        click(form->CheckCocina);
        click(form->CheckSala); // 0x10: relay 5

        RelayBoard other(QStringLiteral("/tmp/back-other.log"), {"-i", "TNV02"});
        QTRY_VERIFY_WITH_TIMEOUT(other.logged().contains("GET"), kReturnMs); // looked at
        RelayBoard vanishing(QStringLiteral("/tmp/back-vanishing.log"), {"-i", "TNV01", "-u", "2"});
        QTRY_VERIFY_WITH_TIMEOUT(said.count(QStringLiteral("se desconectó (sin corriente")) == 2, kReturnMs);
        QVERIFY(!active.available() && !active.lightsMayBeOn());
        other.unplug();
        QTRY_VERIFY(!QFile::exists(QStringLiteral("/dev/hidraw0")));

        RelayBoard back(QStringLiteral("/tmp/back.log"), {"-i", "TNV01"});
        QTRY_VERIFY_WITH_TIMEOUT(active.available(), kReturnMs);
        QCOMPARE(active.where().kind, port::Kind::Hid);
        linesAre(0x10);
        // The one write of each return, nothing else: no board got the clicks made while away.
        QCOMPARE(back.commands(), QByteArray("SET ff 05"));
        QCOMPARE(vanishing.commands(), QByteArray("SET ff 05 unanswered"));
        QCOMPARE(other.commands(), QByteArray());
        QCOMPARE(said.count(QStringLiteral("placa de relés /dev/hidraw0 volvió y se usa de nuevo: tiene lo que muestran "
                                           "las casillas (D4)")), 1);
        QCOMPARE(said.count(QStringLiteral("id «TNV02», no es la que se usa (id «TNV01»)")), 1);
        click(form->CheckSala);
        linesAre(0x00);
    }

    // Auto mode that found nothing (here, as for a user without the I/O permission) takes the
    // first relay board plugged in later, with the window's value, and names it. One that fails
    // that write is said once and passed over while it stays: a board plugged in beside it later
    // is taken, and so is one found beside it at the same look.
    void aBoardPluggedInLater()
    {
        Said said;
        auto &active = port::ActivePort::instance();
        const auto nothingFound = [&] {
            return port::choose(request, TForm1::PuertoParalelo, {false, {port::Step::Permission, EPERM}});
        };
        auto choice = nothingFound();
        QCOMPARE(choice.output->where().kind, port::Kind::Stdout);
        active.use(std::move(choice));
        const auto form = watchedWindow();
        click(form->CheckCocina);
        auto stuck = std::make_unique<RelayBoard>(QStringLiteral("/tmp/later-stuck.log"), QStringList{"-i", "TNV09", "-s", "2"});
        QTRY_VERIFY_WITH_TIMEOUT(said.count(QStringLiteral("los relés de D1 no siguieron")) == 1, kReturnMs);
        QVERIFY(active.where().kind == port::Kind::Stdout && !active.lightsMayBeOn());
        auto board = std::make_unique<RelayBoard>(QStringLiteral("/tmp/later.log"), QStringList{"-i", "TNV01"});
        QTRY_COMPARE_WITH_TIMEOUT(active.where().path, QByteArray("/dev/hidraw1"), kReturnMs);
        QCOMPARE(board->commands(), QByteArray("SET ff 02"));
        QCOMPARE(stuck->commands(), QByteArray("SET ff 02")); // its one try, not one more for the other board
        QCOMPARE(said.count(QStringLiteral("se usa la placa de relés /dev/hidraw1: USBRelay8, id «TNV01», 8 relés; se "
                                           "conectó después del inicio, y tiene lo que muestran las casillas (D1)")), 1);

        // A board that no longer answers, and the right one beside it, both there at the first look.
        active.use(port::stdoutOutput(TForm1::PuertoParalelo), TForm1::PuertoParalelo); // nothing looked for meanwhile
        board.reset();
        stuck.reset();
        QTRY_VERIFY(!QFile::exists(QStringLiteral("/dev/hidraw0")) && !QFile::exists(QStringLiteral("/dev/hidraw1")));
        choice = nothingFound();
        QCOMPARE(choice.output->where().kind, port::Kind::Stdout);
        RelayBoard silent(QStringLiteral("/tmp/later-silent.log"), {"-i", "TNV09", "-q", "1"});
        QTRY_VERIFY(QFile::exists(QStringLiteral("/dev/hidraw0")));
        RelayBoard beside(QStringLiteral("/tmp/later-beside.log"), {"-i", "TNV01"});
        QTRY_VERIFY(QFile::exists(QStringLiteral("/dev/hidraw1")));
        active.use(std::move(choice));
        QTRY_COMPARE_WITH_TIMEOUT(active.where().path, QByteArray("/dev/hidraw1"), kReturnMs);
        QCOMPARE(beside.commands(), QByteArray("SET ff 02"));
        QCOMPARE(silent.commands(), QByteArray());
        QCOMPARE(said.count(QStringLiteral("placa de relés /dev/hidraw0 se conectó, pero no se usa")), 2); // each board once
        click(form->CheckCocina);
        QCOMPARE(beside.commands(), QByteArray("SET ff 02 SET fd 02"));
    }

    // The FT245R's gadget unbound from its controller and bound again, as a board reset: gone with
    // no write, and back with one byte, the window's value, latched before bit-bang mode drives
    // the pins (the emulator's latch starts at 0xff again, as the chip's may after a reset).
    void anFtdiBoardComesBack()
    {
        Said said;
        auto &active = port::ActivePort::instance();
        useThePort();
        const auto form = watchedWindow();
        click(form->CheckCocina);
        linesAre(0x02);
        writeFile(qEnvironmentVariable("GADGET_UDC"), "\n");
        QTRY_VERIFY(!active.available());
        click(form->CheckCocina);
        click(form->CheckSala);
        const auto log = [] {
            QFile file(qEnvironmentVariable("FTDI_LOG"));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QTRY_VERIFY(log().contains("UNBIND"));
        writeFile(qEnvironmentVariable("GADGET_UDC"), qgetenv("UDC_NAME"));
        QTRY_VERIFY_WITH_TIMEOUT(active.available(), kReturnMs);
        QCOMPARE(active.where().kind, port::Kind::Ftdi);
        linesAre(0x10);
        QByteArrayList latches, pins;
        const QByteArray since = log();
        for (const QByteArray &line : since.mid(since.lastIndexOf("UNBIND")).split('\n')) {
            if (line.startsWith("WRITE "))
                latches << line.mid(6, 2);
            if (line.contains("PINS "))
                pins << line.mid(line.indexOf("PINS ") + 5, 2);
        }
        QCOMPARE(latches, QByteArrayList{"10"});
        QVERIFY2(std::all_of(pins.begin(), pins.end(), [](const QByteArray &p) { return p == "00" || p == "10"; }),
                 pins.join(' ').constData());
        QCOMPARE(said.count(QStringLiteral("volvió y se usa de nuevo: tiene lo que muestran las casillas (D4)")), 1);
    }

    // The port's driver unbound and bound again, as a card or a module that goes and comes back
    // (PORT_PNP: the port's Plug and Play name): gone with no click, and back with one write, of
    // the value of the last click made while it was away.
    void aPpdevPortComesBack()
    {
        Said said;
        auto &active = port::ActivePort::instance();
        useThePort();
        const auto form = watchedWindow();
        click(form->CheckCocina);
        linesAre(0x02);
        const QByteArray pnp = qgetenv("PORT_PNP");
        writeFile(QStringLiteral("/sys/bus/pnp/drivers/parport_pc/unbind"), pnp);
        QTRY_VERIFY(!active.available());
        QTRY_VERIFY(said.count(QStringLiteral("ya no está")) == 1);
        click(form->CheckCocina);
        click(form->CheckSala);
        writeFile(QStringLiteral("/sys/bus/pnp/drivers/parport_pc/bind"), pnp);
        QTRY_VERIFY_WITH_TIMEOUT(active.available(), kReturnMs);
        QCOMPARE(active.where().kind, port::Kind::Ppdev);
        linesAre(0x10);
        QCOMPARE(said.count(QStringLiteral("volvió y se usa de nuevo: tiene lo que muestran las casillas (D4)")), 1);
        click(form->CheckSala);
        linesAre(0x00);
        QVERIFY(active.switchOffForExit());
    }

    // Another program, holding the port exclusively until its standard input ends.
    void holdThePort()
    {
        const int fd = ::open(device.constData(), O_RDWR);
        QVERIFY(fd >= 0 && ::ioctl(fd, PPEXCL) == 0 && ::ioctl(fd, PPCLAIM) == 0);
        std::puts("holding");
        std::fflush(stdout);
        char byte;
        while (::read(STDIN_FILENO, &byte, 1) > 0) {
        }
        ::close(fd);
    }

    // The port's driver is unbound under the program, as when its card or module goes: the
    // device then reads 0 from nothing, and a write of 0 must fail all the same.
    void aGonePortIsAFailedWrite()
    {
        useThePort();
        auto &active = port::ActivePort::instance();
        toldOnce([&](TForm1 &) {
            active.write(TForm1::PuertoParalelo, 0x02);
            QCOMPARE(dataRegister(), 0x02);
            const QByteArray pnp = qgetenv("PORT_PNP"); // the port's Plug and Play name
            const int unbind = ::open("/sys/bus/pnp/drivers/parport_pc/unbind", O_WRONLY);
            QVERIFY(!pnp.isEmpty() && ::write(unbind, pnp.constData(), pnp.size()) == pnp.size());
            ::close(unbind);
            active.write(TForm1::PuertoParalelo, 0);
        }, QStringLiteral("ya no está"));
        QVERIFY(!active.switchOffForExit());
    }
};

QTEST_MAIN(PortClicks)
#include "port_clicks.moc"
