// Where the program's port writes go: a parallel port through the kernel's ppdev driver,
// direct I/O instructions, or a simulated port that only records them.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace platform {

class PortWriter {
public:
    virtual ~PortWriter() = default;
    // One 16-bit write: the low byte to `address`, the high byte to `address + 1`.
    // Answers an empty string on success, otherwise what went wrong in words for the person.
    virtual QString write(quint16 address, quint16 value) = 0;
    virtual QString name() const = 0;
    // Where the writes go once this writer has failed: a port or a trace file falls back on
    // standard output, standard output on recording nothing at all.
    virtual std::unique_ptr<PortWriter> fallback() const;
};

// Records each write as a readable line on standard output, or, given a file, appends
// "0x0378 0x0002" lines to it, written through at once. Neither ever waits for a reader: a pipe
// that is full or has lost its reader is a failed write. The file is named by its bytes, exactly;
// null with `why` set when it cannot be opened.
std::unique_ptr<PortWriter> simulatedPort();
std::unique_ptr<PortWriter> simulatedPort(const QByteArray &traceFile, QString *why);

// What a data register that was written and read back says; empty when the value came back.
QString readBackTrouble(quint8 written, quint8 readBack);

// Where to look for ppdev devices; tests point these at a folder of their own.
struct PortPaths {
    QByteArray devices = "/dev";
    QByteArray sysctl = "/proc/sys/dev/parport";
};

// Permission for direct I/O on the port's two addresses. Asking for it is the one step that needs
// a privilege, so it comes before dropCapabilities(), and every file is opened after.
struct DirectIo {
    bool granted = false;
    QString refusal; // the system's answer when it was asked for and refused
};
DirectIo requestDirectIo(const QByteArray &request, quint16 base);

struct PortChoice {
    std::unique_ptr<PortWriter> writer; // never null: the simulated port when nothing else could be had
    QString trouble;                    // for the person: what was asked, tried and answered; empty when all went as asked
    QString notice;                     // one line for standard error when it works, but not where it was asked
    // A real port proves itself with its first write. If that fails, the port was never there,
    // and this says so (with the failure) instead of a failed write.
    std::function<QString(const QString &failure)> refusalIfFirstWriteFails;
};

// Carries out a request of the TENVALIA_PORT forms: "" or "auto", "ppdev:/dev/parportN",
// "direct", "sim", "sim:FILE". `base` is the port's I/O address.
PortChoice choosePort(const QByteArray &request, quint16 base, const DirectIo &direct, const PortPaths &paths = {});

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

    void use(PortChoice choice);
    void use(std::unique_ptr<PortWriter> writer);
    void write(quint16 address, quint16 value);
    QString name() const;

signals:
    // Delivered through the event loop, so that the window hears of trouble found before it
    // existed, and never from inside one of its own handlers.
    void trouble(const QString &text);

private:
    void report(const QString &text);
    std::unique_ptr<PortWriter> writer_;
    std::function<QString(const QString &)> refusalIfFirstWriteFails_;
};

} // namespace platform
