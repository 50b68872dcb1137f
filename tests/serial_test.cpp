// The serial relay boards, each against an emulator at the other end of a pseudo-terminal: a
// CH340 module ("LCUS") that keeps every byte it is sent, and a Modbus RTU board played by
// libmodbus's own server side.
#include "platform/port/choice.h"
#include "platform/port/lcus_output.h"
#include "platform/port/modbus_output.h"
#include "platform/port/words.h"

#include <QtTest>

#include <modbus.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace port = platform::port;
using port::Kind;
using port::Step;

namespace {

// The board's end of a pseudo-terminal, served by `serve` on a thread of its own while the test
// is the program at the other end, `device`.
class Board {
public:
    Board() : end_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        if (end_ >= 0 && ::grantpt(end_) == 0 && ::unlockpt(end_) == 0)
            device = ::ptsname(end_);
    }
    virtual ~Board() { ::close(end_); } // each kind stops its thread before it goes
    void start()
    {
        thread_ = std::thread([this] {
            pollfd ready{end_, POLLIN, 0};
            while (!stopping_) {
                if (::poll(&ready, 1, 20) > 0 && (ready.revents & POLLIN))
                    serve(end_);
                else if (ready.revents) // the program's end closed
                    ::usleep(20 * 1000);
            }
        });
    }
    void stop()
    {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    QByteArray device;

protected:
    virtual void serve(int end) = 0;

private:
    int end_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A module of four relays: frames A0 <relay> <0|1> <sum>; the status request 0xff answered by a
// module that `reports`, with something else by one that `chatters`.
struct Module final : Board {
    ~Module() override { stop(); }
    bool reports = false, chatters = false;
    int stuck = 0; // relays that never change
    QByteArray heard() const
    {
        const std::lock_guard lock(mutex);
        return received.toHex(' ');
    }
    int state() const
    {
        const std::lock_guard lock(mutex);
        return relays;
    }

private:
    mutable std::mutex mutex;
    QByteArray received;
    qsizetype done = 0;
    int relays = 0;
    void serve(int end) override
    {
        char bytes[64];
        const ssize_t n = ::read(end, bytes, sizeof bytes);
        const std::lock_guard lock(mutex);
        received.append(bytes, std::max<ssize_t>(n, 0));
        while (done < received.size()) {
            const auto byte = quint8(received[done]);
            if (byte == 0xA0 && received.size() - done >= 4) {
                const int bit = 1 << (received[done + 1] - 1);
                if (!(bit & stuck) && quint8(0xA0 + received[done + 1] + received[done + 2]) == quint8(received[done + 3]))
                    relays = received[done + 2] ? relays | bit : relays & ~bit;
                done += 4;
            } else if (byte == 0xA0) {
                return;
            } else {
                QByteArray answer;
                for (int relay = 1; relay <= 4 && reports; ++relay)
                    answer += "CH" + QByteArray::number(relay) + (relays & 1 << (relay - 1) ? ":ON\r\n" : ":OFF\r\n");
                if (chatters)
                    answer = "$GPGGA,123519,4807.038,N\r\n";
                [[maybe_unused]] const ssize_t written = ::write(end, answer.constData(), size_t(answer.size()));
                ++done;
            }
        }
    }
};

// A Modbus board at address 1 with `coils` coils, as libmodbus serves one; `stuck` coils keep
// their value, and one that `liesAbout` its address answers as another.
struct ModbusBoard final : Board {
    explicit ModbusBoard(int coils = 8) : server(modbus_new_rtu("/dev/null", 9600, 'N', 8, 1)), map(modbus_mapping_new(coils, 0, 0, 0))
    {
        modbus_set_slave(server, 1);
    }
    ~ModbusBoard() override
    {
        stop();
        modbus_free(server);
        modbus_mapping_free(map);
    }
    int coils() const { return modbus_get_byte_from_bits(map->tab_bits, 0, 8); }
    void serve(int end) override
    {
        modbus_set_socket(server, end);
        uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
        const int length = modbus_receive(server, request);
        if (length <= 0)
            return;
        request[0] = quint8(request[0] + liesAbout);
        modbus_reply(server, request, length, map);
        if (stuck >= 0)
            map->tab_bits[stuck] = 1;
    }
    modbus_t *server;
    modbus_mapping_t *map;
    int stuck = -1, liesAbout = 0;
};

QString said(const port::Output &output, const port::Outcome &outcome)
{
    return port::words::failedWrite(output.where(), outcome, {Kind::Stdout});
}

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
        QCOMPARE(modbus.path, QByteArray("/dev/ttyUSB1"));
        QCOMPARE(modbus.unit, 17);
        QCOMPARE(modbus.baud, 19200);
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
    // that nothing is read back. What switchOff() holds puts every relay off.
    void lcusModuleThatCannotReport()
    {
        Module module;
        module.start();
        auto choice = port::choose(port::parseRequest("lcus:" + module.device + ":4"), 0x378, {});
        QCOMPARE(choice.output->where().kind, Kind::Lcus);
        QCOMPARE(port::words::notice(choice),
                 QStringLiteral("módulo de relés %1, 4 relés: D4, D5, D6, D7 no van a ninguna parte; el módulo no dice "
                                "qué relés tiene encendidos: se le escriben, pero no se leen de vuelta, y si uno no "
                                "sigue, Tenvalia no lo sabrá").arg(QString::fromLatin1(module.device)));
        const QByteArray allOff = "a0 01 00 a1 a0 02 00 a2 a0 03 00 a3 a0 04 00 a4";
        const QByteArray expected[] = {allOff, "a0 01 00 a1 a0 03 00 a3 a0 04 00 a4 a0 02 01 a3", allOff, allOff,
                                       "a0 01 01 a2 a0 02 01 a3 a0 03 01 a4 a0 04 01 a5"};
        QByteArray heard = "ff"; // the one status request, at open
        int i = 0;
        for (const quint16 value : {0x00, 0x02, 0x10, 0x00, 0xFF}) {
            QVERIFY(choice.output->write(value).ok());
            heard += ' ' + expected[i++];
            QTRY_COMPARE(module.heard(), heard);
        }
        const port::SwitchOff off = choice.output->switchOff();
        QCOMPARE(off.how, port::SwitchOff::How::Write);
        QCOMPARE(::write(off.fd, off.bytes, off.length), ssize_t(16));
        QTRY_COMPARE(module.heard(), heard + ' ' + allOff);
        QCOMPARE(module.state(), 0);
    }

    // A module that reports is asked before each write and after it, and sent only what changes.
    void lcusModuleThatReports()
    {
        Module module;
        module.reports = true;
        module.stuck = 0x04;
        module.start();
        port::Outcome refusal;
        auto output = port::lcusOutput(module.device, 4, &refusal, 100);
        QVERIFY(output && !output->where().writeOnly);
        QVERIFY(output->write(0x01).ok());
        QCOMPARE(module.heard(), QByteArray("ff ff a0 01 01 a2 ff"));
        QVERIFY(output->write(0x02).ok());
        QCOMPARE(module.heard().mid(20), QByteArray(" ff a0 01 00 a1 a0 02 01 a3 ff"));
        const port::Outcome stuck = output->write(0x04);
        QCOMPARE(stuck.step, Step::ReadBack);
        QVERIFY2(said(*output, stuck).contains(QStringLiteral("(módulo de relés %1).\n\nlos relés de D2 no siguieron: se pidió "
                                                              "0100 y el módulo tiene 0000").arg(QString::fromLatin1(module.device))),
                 qPrintable(said(*output, stuck)));

        Module gps;
        gps.chatters = true;
        gps.start();
        QVERIFY(!port::lcusOutput(gps.device, 4, &refusal, 100));
        QVERIFY(port::words::clause({Kind::Lcus, gps.device}, refusal).contains(QStringLiteral("«$GPGGA,123519,4807.038,N\\x0d\\x0a»: no es un módulo")));
    }

    void modbusCoilsFollowEveryWrite()
    {
        ModbusBoard board;
        board.start();
        auto choice = port::choose(port::parseRequest("modbus:" + board.device + ":1:9600"), 0x378, {});
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
        const auto outcomeOf = [](ModbusBoard &board, int unit, QString *words) {
            port::Outcome refusal;
            auto output = port::modbusOutput(board.device, unit, 9600, &refusal, 100);
            if (!output)
                return refusal;
            const port::Outcome outcome = output->write(0x01);
            *words = said(*output, outcome);
            return outcome;
        };
        QString words;
        ModbusBoard stuck;
        stuck.stuck = 3;
        stuck.start();
        QCOMPARE(outcomeOf(stuck, 1, &words).readBack, 0x09);
        QVERIFY2(words.contains(QStringLiteral("(placa Modbus %1 en la dirección 1).\n\nlos relés de D3 no siguieron: se "
                                               "pidió 00000001 y la placa tiene 00001001").arg(QString::fromLatin1(stuck.device))),
                 qPrintable(words));

        ModbusBoard fourRelays(4);
        fourRelays.start();
        QCOMPARE(outcomeOf(fourRelays, 1, &words).step, Step::Exception);
        QVERIFY2(words.contains(QStringLiteral("rechazó la función 15 (escribir varias bobinas) con la excepción 2")), qPrintable(words));

        ModbusBoard silent; // nobody serves its end
        QCOMPARE(outcomeOf(silent, 1, &words).step, Step::NoAnswer);
        QVERIFY2(words.contains(QStringLiteral("en la dirección 1 no respondió a la función 15")), qPrintable(words));

        ModbusBoard elsewhere;
        elsewhere.start();
        QCOMPARE(outcomeOf(elsewhere, 2, &words).step, Step::NoAnswer);
        QVERIFY2(words.contains(QStringLiteral("¿es 2 la dirección de la placa")), qPrintable(words));

        ModbusBoard liar;
        liar.liesAbout = 4;
        liar.start();
        QCOMPARE(outcomeOf(liar, 1, &words).step, Step::WrongAnswer);
        QVERIFY2(words.contains(QStringLiteral("respondió la dirección 5")), qPrintable(words));
    }
};

QTEST_GUILESS_MAIN(SerialTest)
#include "serial_test.moc"
