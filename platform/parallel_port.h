// Where the program's port writes go: a parallel port through the kernel's ppdev driver,
// direct I/O instructions, or a simulated port that only records them.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

namespace platform {

class PortWriter {
public:
    virtual ~PortWriter() = default;
    // One 16-bit write: the low byte to `address`, the high byte to `address + 1`.
    // Answers an empty string on success, otherwise what went wrong in the system's words.
    virtual QString write(quint16 address, quint16 value) = 0;
    virtual QString name() const = 0;
};

// Records each write as a readable line on standard output, or, given a file, appends
// "0x0378 0x0002" lines to it, written through at once. Null with `why` set when the file
// cannot be opened.
std::unique_ptr<PortWriter> simulatedPort();
std::unique_ptr<PortWriter> simulatedPort(const QString &traceFile, QString *why);

// Where to look for ppdev devices; tests point these at a folder of their own.
struct PortPaths {
    QString devices = QStringLiteral("/dev");
    QString sysctl = QStringLiteral("/proc/sys/dev/parport");
};

struct PortChoice {
    std::unique_ptr<PortWriter> writer; // never null: the simulated port when nothing else could be had
    QString trouble;                    // for the person: what was asked, tried and answered; empty when all went as asked
};

// Carries out a request of the TENVALIA_PORT forms: "" or "auto", "ppdev:/dev/parportN",
// "direct", "sim", "sim:FILE". `base` is the port's I/O address.
PortChoice choosePort(const QString &request, quint16 base, const PortPaths &paths = {});

// Gives up every capability the process holds (effective, permitted, inheritable). An I/O
// permission already granted by ioperm stays, so an executable given cap_sys_rawio to reach the
// port directly keeps nothing of it once the port is open. Capabilities belong to threads: call
// it before any thread starts. False, with the reason on standard error, when the system refused.
bool dropCapabilities();

// The process's one port. A write that fails is reported once and the port carries on simulated,
// so the window keeps working whatever the hardware does.
class Port : public QObject {
    Q_OBJECT
public:
    static Port &instance();

    // Installs the writer; a non-empty `trouble` is reported as a write failure would be.
    void use(std::unique_ptr<PortWriter> writer, const QString &trouble = {});
    void write(quint16 address, quint16 value);
    QString name() const;

signals:
    // Delivered through the event loop, so that the window hears of trouble found before it
    // existed, and never from inside one of its own handlers.
    void trouble(const QString &text);

private:
    void report(const QString &text);
    std::unique_ptr<PortWriter> writer_;
};

} // namespace platform
