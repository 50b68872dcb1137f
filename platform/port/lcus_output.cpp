#include "lcus_output.h"

#include "serial_line.h"

#include <QList>

#include <termios.h>
#include <unistd.h>

namespace platform::port {
namespace {

constexpr char kStatus = '\xff';
constexpr int kGapMs = 100; // the most a module pauses within its answer (a USB adapter's latency, and then some)

QByteArray frame(int relay, bool on)
{
    const quint8 bytes[] = {0xA0, quint8(relay), quint8(on), quint8(0xA0 + relay + on)};
    return QByteArray(reinterpret_cast<const char *>(bytes), sizeof bytes);
}

class LcusOutput final : public Output {
public:
    LcusOutput(int fd, Where where, int answerMs) : fd_(fd), where_(std::move(where)), answerMs_(answerMs) {}
    ~LcusOutput() override { serial::release(fd_); }

    // What the module holds, asked with the status request; Done with `held` set, or why not.
    Outcome readState(quint16 value, int *held)
    {
        ::tcflush(fd_, TCIFLUSH); // nothing that came before is part of the answer
        const int relays = int(where_.lines.size());
        QByteArray answer;
        if (!serial::writeAll(fd_, QByteArray(1, kStatus), answerMs_))
            return serial::failed(where_.path, Step::Write, value);
        if (!serial::readAnswer(fd_, &answer, answerMs_, kGapMs,
                                [relays](const QByteArray &got) { return lcusState(got, relays) >= 0; }))
            return serial::failed(where_.path, Step::Read, value);
        *held = lcusState(answer, relays);
        Outcome outcome{*held >= 0 ? Step::Done : answer.isEmpty() ? Step::NoAnswer : Step::WrongAnswer, 0, value};
        outcome.function = quint8(kStatus);
        outcome.answer = answer.left(200);
        return outcome;
    }

    // The whole value, offs before ons. A module that reports is sent only the relays that change
    // and read back; one that cannot is sent every relay, since what it holds is not known.
    Outcome write(quint16 value) override
    {
        const int wanted = value & mask();
        int held = ~wanted & mask();
        if (!where_.writeOnly) {
            if (const Outcome before = readState(value, &held); !before.ok())
                return before;
        }
        QByteArray frames;
        for (const bool on : {false, true})
            for (int relay = 0; relay < int(where_.lines.size()); ++relay)
                if (bool(wanted & (1 << relay)) == on && ((held ^ wanted) & (1 << relay)))
                    frames += frame(relay + 1, on);
        if (!serial::writeAll(fd_, frames, answerMs_))
            return serial::failed(where_.path, Step::Write, value);
        if (where_.writeOnly)
            return {Step::Done, 0, value};
        if (const Outcome after = readState(value, &held); !after.ok())
            return after;
        return {held == wanted ? Step::Done : Step::ReadBack, 0, value, held};
    }
    Where where() const override { return where_; }
    void setWriteOnly() { where_.writeOnly = true; }

    SwitchOff switchOff() const override
    {
        SwitchOff off{SwitchOff::How::Write, fd_};
        QByteArray frames;
        for (int relay = 1; relay <= int(where_.lines.size()); ++relay)
            frames += frame(relay, false);
        std::copy(frames.begin(), frames.end(), off.bytes);
        off.length = quint8(frames.size());
        return off;
    }

private:
    int mask() const { return (1 << where_.lines.size()) - 1; }

    int fd_;
    Where where_;
    int answerMs_;
};

} // namespace

int lcusState(const QByteArray &answer, int relays)
{
    int state = 0, named = 0;
    for (QByteArray line : answer.split('\n')) {
        line = line.trimmed().toUpper().replace(' ', "");
        if (!line.startsWith("CH") || line.indexOf(':') < 0)
            continue;
        bool number = false;
        const int relay = line.mid(2, line.indexOf(':') - 2).toInt(&number);
        const QByteArray said = line.mid(line.indexOf(':') + 1);
        if (!number || relay < 1 || relay > relays || (said != "ON" && said != "OFF"))
            continue;
        named |= 1 << (relay - 1);
        state = said == "ON" ? state | 1 << (relay - 1) : state & ~(1 << (relay - 1));
    }
    return named == (1 << relays) - 1 ? state : -1;
}

std::unique_ptr<Output> lcusOutput(const QByteArray &device, int relays, Outcome *refusal, int answerMs)
{
    Where where{Kind::Lcus, device};
    for (int relay = 1; relay <= relays; ++relay)
        where.lines.push_back(relay);
    where.baud = 9600;
    const int fd = serial::open(device, where.baud, refusal);
    if (fd < 0)
        return nullptr;
    auto output = std::make_unique<LcusOutput>(fd, where, answerMs);
    int held = 0;
    const Outcome asked = output->readState(0, &held);
    if (asked.step == Step::NoAnswer)
        output->setWriteOnly();
    else if (!asked.ok()) {
        *refusal = asked;
        return nullptr;
    }
    return output;
}

} // namespace platform::port
