#include "active_port.h"

#include "simulated_output.h"
#include "words.h"

#include <QMetaObject>

#include <cstdio>

namespace platform::port {

ActivePort &ActivePort::instance()
{
    static ActivePort port;
    return port;
}

void ActivePort::use(Choice choice)
{
    choice_ = std::move(choice);
    if (const QString notice = words::notice(choice_); !notice.isEmpty())
        std::fprintf(stderr, "tenvalia: %s\n", qPrintable(notice));
    if (const QString refusal = words::refusal(choice_); !refusal.isEmpty())
        report(refusal);
}

void ActivePort::use(std::unique_ptr<Output> output, quint16 address)
{
    use(Choice{{}, address, std::move(output), {}, false, false});
}

void ActivePort::write(quint16 address, quint16 value)
{
    if (!choice_.output)
        choice_.output = stdoutOutput(choice_.address = address);
    const bool first = std::exchange(choice_.provesItself, false);
    const Outcome outcome = address == choice_.address ? choice_.output->write(value)
                                                       : Outcome{Step::Address, 0, value, -1, address};
    if (outcome.ok())
        return;
    // Standard output is where every failed port goes on; once it fails too, nothing is recorded.
    const Where lost = choice_.output->where();
    choice_.output = lost.kind == Kind::Stdout ? silentOutput() : stdoutOutput(choice_.address);
    if (outcome.step != Step::Address && !choice_.output->write(value).ok())
        choice_.output = silentOutput();
    report(first ? words::neverThere(choice_, lost, outcome) : words::failedWrite(lost, outcome, choice_.output->where()));
}

Where ActivePort::where() const { return choice_.output ? choice_.output->where() : Where{}; }

void ActivePort::report(const QString &text)
{
    std::fprintf(stderr, "tenvalia: %s\n", qPrintable(text));
    QMetaObject::invokeMethod(this, [this, text] { emit trouble(text); }, Qt::QueuedConnection);
}

} // namespace platform::port
