#include "modbus_output.h"

#include "serial_line.h"

#include <modbus.h>

#include <cerrno>
#include <termios.h>
#include <unistd.h>

namespace platform::port {
namespace {

enum Function : quint8 { ReadCoils = 0x01, WriteCoils = 0x0F };

// Modbus's CRC-16 (polynomial 0xA001 reflected, starting at 0xFFFF), low byte first on the wire.
QByteArray withCrc(QByteArray frame)
{
    quint16 crc = 0xFFFF;
    for (const char byte : frame) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return frame + char(crc & 0xFF) + char(crc >> 8);
}

class ModbusOutput final : public Output {
public:
    ModbusOutput(modbus_t *bus, int fd, Where where) : bus_(bus), fd_(fd), where_(std::move(where)) {}
    ~ModbusOutput() override
    {
        modbus_free(bus_); // not modbus_close(): the descriptor is ours, set up by us
        serial::release(fd_);
    }

    Outcome write(quint16 value) override
    {
        const quint8 coils = value & 0xFF;
        const QByteArray written = writeRequest(coils);
        if (const Outcome outcome = ask(written, written.left(6), value); !outcome.ok())
            return outcome;
        QByteArray read = written.left(6); // the same 8 coils from coil 0, read
        read[1] = char(ReadCoils);
        Outcome outcome = ask(read, read.left(2) + '\x01', value, 1);
        if (!outcome.ok())
            return outcome;
        outcome.readBack = quint8(outcome.answer.at(3));
        outcome.step = outcome.readBack == coils ? Step::Done : Step::ReadBack;
        return outcome;
    }
    Where where() const override { return where_; }

    SwitchOff switchOff() const override
    {
        SwitchOff off{SwitchOff::How::Write, fd_};
        const QByteArray frame = withCrc(writeRequest(0));
        std::copy(frame.begin(), frame.end(), off.bytes);
        off.length = quint8(frame.size());
        return off;
    }

private:
    QByteArray writeRequest(quint8 coils) const
    {
        const char request[] = {char(where_.unit), char(WriteCoils), 0, 0, 0, 8, 1, char(coils)};
        return QByteArray(request, sizeof request);
    }

    // Sends `request` and takes its answer, which must begin with `expected` and hold `extra`
    // bytes more: the answer, without its CRC, comes back in the outcome.
    Outcome ask(const QByteArray &request, const QByteArray &expected, quint16 value, int extra = 0)
    {
        ::tcflush(fd_, TCIFLUSH); // a late answer to an earlier request is not this one's
        Outcome outcome{Step::Done, 0, value};
        outcome.function = quint8(request.at(1));
        if (modbus_send_raw_request(bus_, reinterpret_cast<const uint8_t *>(request.constData()), int(request.size())) < 0) {
            const Outcome failure = serial::failed(where_.path, Step::Write, value);
            outcome.step = failure.step;
            outcome.error = failure.error;
            return outcome;
        }
        uint8_t answer[MODBUS_RTU_MAX_ADU_LENGTH];
        const int length = modbus_receive_confirmation(bus_, answer);
        if (length < 0 && errno == ETIMEDOUT) {
            outcome.step = Step::NoAnswer;
        } else if (length < 0 && errno < MODBUS_ENOBASE) {
            const Outcome failure = serial::failed(where_.path, Step::Read, value);
            outcome.step = failure.step;
            outcome.error = failure.error;
        } else if (length < 0) {
            outcome.step = Step::WrongAnswer; // a frame libmodbus could not take, its CRC wrong
            outcome.error = errno;
        } else if (length == 0) {
            outcome.step = Step::WrongAnswer; // from another address: libmodbus keeps only that
            outcome.answer = QByteArray(1, char(answer[0]));
        } else {
            outcome.answer = QByteArray(reinterpret_cast<const char *>(answer), length - 2);
            if (outcome.answer.size() == 3 && outcome.answer.at(1) == char(outcome.function | 0x80))
                outcome.step = Step::Exception;
            else if (outcome.answer.size() != expected.size() + extra || !outcome.answer.startsWith(expected))
                outcome.step = Step::WrongAnswer;
        }
        return outcome;
    }

    modbus_t *bus_;
    int fd_;
    Where where_;
};

} // namespace

std::unique_ptr<Output> modbusOutput(const QByteArray &device, int unit, int baud, Outcome *refusal, int answerMs)
{
    Where where{Kind::Modbus, device};
    where.lines = {0, 1, 2, 3, 4, 5, 6, 7};
    where.unit = unit;
    where.baud = baud;
    const int fd = serial::open(device, baud, refusal);
    if (fd < 0)
        return nullptr;
    // libmodbus frames, times and checks the messages; the port it would open itself is the one
    // opened and checked above.
    modbus_t *bus = modbus_new_rtu(device.constData(), baud, 'N', 8, 1);
    if (!bus) {
        *refusal = {Step::Open, errno};
        ::close(fd);
        return nullptr;
    }
    modbus_set_slave(bus, unit);
    modbus_set_socket(bus, fd);
    modbus_set_response_timeout(bus, uint32_t(answerMs / 1000), uint32_t(answerMs % 1000 * 1000));
    return std::make_unique<ModbusOutput>(bus, fd, where);
}

} // namespace platform::port
