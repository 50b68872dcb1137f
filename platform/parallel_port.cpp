#include "parallel_port.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define TENVALIA_HAS_PORT_IO 1
#endif

namespace platform {
namespace {

QString systemSays(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QString hex4(quint16 n) { return QStringLiteral("0x%1").arg(n, 4, 16, QLatin1Char('0')); }

const QString kCarryingOn = QStringLiteral(
    "Tenvalia sigue con el puerto simulado: las casillas funcionan, pero ninguna salida cambia.");

// What a person can do about the usual refusals.
QString ppdevHint(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return QStringLiteral(" (los miembros del grupo lp pueden usar el puerto sin ser root: "
                              "sudo adduser $USER lp, y volver a iniciar la sesión)");
    case EBUSY:
    case ENXIO:
        return QStringLiteral(" (puede tenerlo el controlador de impresora lp: sudo rmmod lp, y para que no vuelva "
                              "a cargarse, una línea «blacklist lp» en /etc/modprobe.d/tenvalia.conf)");
    default:
        return {};
    }
}

class StdoutSim final : public PortWriter {
public:
    QString write(quint16 address, quint16 value) override
    {
        const QString lines = QStringLiteral("%1").arg(value & 0xFF, 8, 2, QLatin1Char('0'));
        std::printf("puerto %s <- %s   D7..D0 %s\n", qPrintable(hex4(address)), qPrintable(hex4(value)),
                    qPrintable(lines));
        std::fflush(stdout);
        return {};
    }
    QString name() const override { return QStringLiteral("simulado (salida estándar)"); }
};

class FileSim final : public PortWriter {
public:
    FileSim(int fd, QString path) : fd_(fd), path_(std::move(path)) {}
    ~FileSim() override { ::close(fd_); }

    QString write(quint16 address, quint16 value) override
    {
        // One write(2) per line, straight to the kernel: a killed process loses nothing.
        const QByteArray line = (hex4(address) + QLatin1Char(' ') + hex4(value) + QLatin1Char('\n')).toLatin1();
        ssize_t done;
        do {
            done = ::write(fd_, line.constData(), size_t(line.size()));
        } while (done < 0 && errno == EINTR);
        if (done < 0)
            return QStringLiteral("escribir en %1: %2").arg(path_, systemSays(errno));
        if (done != line.size())
            return QStringLiteral("escribir en %1: escritura incompleta").arg(path_);
        return {};
    }
    QString name() const override { return QStringLiteral("simulado (%1)").arg(path_); }

private:
    int fd_;
    QString path_;
};

// Each write claims the port only for its own duration, so that several copies of the program
// (or a printer job) can share one port: a claim held by another opener makes PPCLAIM wait.
class PpdevPort final : public PortWriter {
public:
    PpdevPort(int fd, QString path, quint16 base) : fd_(fd), path_(std::move(path)), base_(base) {}
    ~PpdevPort() override { ::close(fd_); }

    QString write(quint16 address, quint16 value) override
    {
        if (address != base_)
            return QStringLiteral("%1 atiende la dirección %2, no %3").arg(path_, hex4(base_), hex4(address));
        if (::ioctl(fd_, PPCLAIM) < 0) {
            const int error = errno;
            return QStringLiteral("PPCLAIM en %1: %2").arg(path_, systemSays(error)) + ppdevHint(error);
        }
        // Only the data register is written: the high byte would land on the status register,
        // which is read-only on a real port and drops it anyway.
        unsigned char data = value & 0xFF;
        QString failure;
        if (::ioctl(fd_, PPWDATA, &data) < 0)
            failure = QStringLiteral("PPWDATA en %1: %2").arg(path_, systemSays(errno));
        ::ioctl(fd_, PPRELEASE);
        return failure;
    }
    QString name() const override { return QStringLiteral("ppdev %1").arg(path_); }

private:
    int fd_;
    QString path_;
    quint16 base_;
};

std::unique_ptr<PortWriter> openPpdev(const QString &path, quint16 base, QString *why)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        *why = QStringLiteral("abrir %1: %2").arg(path, systemSays(error)) + ppdevHint(error);
        return nullptr;
    }
    // A device node whose port has gone shows it only here.
    if (::ioctl(fd, PPCLAIM) < 0) {
        const int error = errno;
        *why = QStringLiteral("PPCLAIM en %1: %2").arg(path, systemSays(error)) + ppdevHint(error);
        ::close(fd);
        return nullptr;
    }
    ::ioctl(fd, PPRELEASE);
    return std::make_unique<PpdevPort>(fd, path, base);
}

// The base address the kernel gives a ppdev device, from parportN's sysctl folder; -1 when unknown.
long ppdevBase(const QString &device, const PortPaths &paths)
{
    QFile file(paths.sysctl + QLatin1Char('/') + QFileInfo(device).fileName() + QStringLiteral("/base-addr"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const long base = QString::fromLatin1(file.readAll()).simplified().section(QLatin1Char(' '), 0, 0).toLong(&ok);
    return ok ? base : -1;
}

#ifdef TENVALIA_HAS_PORT_IO
class DirectPort final : public PortWriter {
public:
    explicit DirectPort(quint16 base) : base_(base) {}

    QString write(quint16 address, quint16 value) override
    {
        // Permission covers base and base + 1 only; anything else would kill the process.
        if (address != base_)
            return QStringLiteral("la E/S directa solo tiene permiso en %1 y la siguiente, no en %2")
                .arg(hex4(base_), hex4(address));
        outw(value, address);
        return {};
    }
    QString name() const override { return QStringLiteral("E/S directa en %1").arg(hex4(base_)); }

private:
    quint16 base_;
};
#endif

std::unique_ptr<PortWriter> openDirect(quint16 base, QString *why)
{
#ifdef TENVALIA_HAS_PORT_IO
    // Only the two ports a 16-bit write touches, never iopl's whole I/O space.
    if (::ioperm(base, 2, 1) < 0) {
        *why = QStringLiteral("ioperm(%1, 2): %2").arg(hex4(base), systemSays(errno));
        return nullptr;
    }
    return std::make_unique<DirectPort>(base);
#else
    Q_UNUSED(base);
    *why = QStringLiteral("no hay instrucciones de E/S de puertos en este procesador");
    return nullptr;
#endif
}

// Auto mode: the ppdev device at `base`, else direct I/O. Fills `tried` with one line per attempt.
std::unique_ptr<PortWriter> findRealPort(quint16 base, const PortPaths &paths, QStringList *tried)
{
    const QStringList devices = QDir(paths.devices).entryList({QStringLiteral("parport*")}, QDir::System | QDir::Files);
    if (devices.isEmpty())
        tried->append(QStringLiteral("ppdev: no existe ningún %1/parport*").arg(paths.devices));
    for (const QString &device : devices) {
        const QString path = paths.devices + QLatin1Char('/') + device;
        const long deviceBase = ppdevBase(path, paths);
        if (deviceBase != base) {
            tried->append(deviceBase < 0 ? QStringLiteral("ppdev: no se sabe en qué dirección está %1").arg(path)
                                         : QStringLiteral("ppdev: %1 está en %2, no en %3")
                                               .arg(path, hex4(quint16(deviceBase)), hex4(base)));
            continue;
        }
        QString why;
        if (auto port = openPpdev(path, base, &why))
            return port;
        tried->append(QStringLiteral("ppdev: ") + why);
    }
    QString why;
    if (auto port = openDirect(base, &why))
        return port;
    tried->append(QStringLiteral("E/S directa: ") + why);
    return nullptr;
}

QString refusal(const QString &headline, const QStringList &tried)
{
    QString text = headline + QStringLiteral("\n\nSe intentó:");
    for (const QString &line : tried)
        text += QStringLiteral("\n• ") + line;
    return text + QStringLiteral("\n\n") + kCarryingOn;
}

} // namespace

std::unique_ptr<PortWriter> simulatedPort() { return std::make_unique<StdoutSim>(); }

std::unique_ptr<PortWriter> simulatedPort(const QString &traceFile, QString *why)
{
    const int fd = ::open(QFile::encodeName(traceFile).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = QStringLiteral("abrir %1: %2").arg(traceFile, systemSays(errno));
        return nullptr;
    }
    return std::make_unique<FileSim>(fd, traceFile);
}

PortChoice choosePort(const QString &request, quint16 base, const PortPaths &paths)
{
    const QString asked = QStringLiteral("TENVALIA_PORT=") + request;
    const QString refused = QStringLiteral("No se pudo usar el puerto pedido (%1).").arg(asked);
    QString why;

    if (request.isEmpty() || request == QLatin1String("auto")) {
        QStringList tried;
        if (auto port = findRealPort(base, paths, &tried))
            return {std::move(port), {}};
        return {simulatedPort(),
                refusal(QStringLiteral("No hay un puerto paralelo en %1 que Tenvalia pueda usar.").arg(hex4(base)),
                        tried)};
    }
    if (request.startsWith(QLatin1String("ppdev:"))) {
        const QString device = request.mid(6);
        if (auto port = openPpdev(device, base, &why))
            return {std::move(port), {}};
        return {simulatedPort(), refusal(refused, {why})};
    }
    if (request == QLatin1String("direct")) {
        if (auto port = openDirect(base, &why))
            return {std::move(port), {}};
        return {simulatedPort(), refusal(refused, {why})};
    }
    if (request == QLatin1String("sim"))
        return {simulatedPort(), {}};
    if (request.startsWith(QLatin1String("sim:")) && request.size() > 4) {
        if (auto port = simulatedPort(request.mid(4), &why))
            return {std::move(port), {}};
        return {simulatedPort(),
                QStringLiteral("No se pudo guardar el registro del puerto simulado (%1).\n\n%2\n\n"
                               "Cada escritura se muestra en la salida estándar.")
                    .arg(asked, why)};
    }
    return {simulatedPort(),
            QStringLiteral("%1 no es una forma conocida.\n\nFormas aceptadas: auto, ppdev:/dev/parportN, direct, "
                           "sim, sim:ARCHIVO.\n\n%2")
                .arg(asked, kCarryingOn)};
}

bool dropCapabilities()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, none) == 0)
        return true;
    std::fprintf(stderr, "tenvalia: could not give up capabilities: %s\n", std::strerror(errno));
    return false;
}

Port &Port::instance()
{
    static Port port;
    return port;
}

void Port::use(std::unique_ptr<PortWriter> writer, const QString &trouble)
{
    writer_ = std::move(writer);
    if (!trouble.isEmpty())
        report(trouble);
}

void Port::write(quint16 address, quint16 value)
{
    if (!writer_)
        writer_ = simulatedPort();
    const QString failure = writer_->write(address, value);
    if (failure.isEmpty())
        return;
    const QString lost = writer_->name();
    writer_ = simulatedPort();
    writer_->write(address, value);
    report(QStringLiteral("Falló una escritura en el puerto (%1).\n\n%2\n\n%3").arg(lost, failure, kCarryingOn));
}

QString Port::name() const { return writer_ ? writer_->name() : QString(); }

void Port::report(const QString &text)
{
    std::fprintf(stderr, "tenvalia: %s\n", qPrintable(text));
    QMetaObject::invokeMethod(this, [this, text] { emit trouble(text); }, Qt::QueuedConnection);
}

} // namespace platform
