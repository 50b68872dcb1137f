#include "parallel_port.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/major.h>
#include <linux/ppdev.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define TENVALIA_HAS_PORT_IO 1
#endif

namespace platform {
namespace {

QString systemSays(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QString hex2(quint8 n) { return QStringLiteral("0x%1").arg(n, 2, 16, QLatin1Char('0')); }
QString hex4(quint16 n) { return QStringLiteral("0x%1").arg(n, 4, 16, QLatin1Char('0')); }

// Bytes from outside (environment, paths) as the person may read them: undecodable bytes show as
// replacement characters, and a value too long to read is cut.
QString shown(const QByteArray &bytes)
{
    const QString text = QString::fromLocal8Bit(bytes);
    constexpr int longest = 200;
    return text.size() <= longest ? text : text.left(longest) + QStringLiteral("…");
}

const QString kStdoutName = QStringLiteral("simulado (salida estándar)");

QString carryingOn(const QString &next)
{
    return QStringLiteral("Tenvalia sigue con el puerto %1: las casillas funcionan, pero ninguna salida cambia.")
        .arg(next);
}

QString refusal(const QString &headline, const QStringList &tried)
{
    QString text = headline + QStringLiteral("\n\nSe intentó:");
    for (const QString &line : tried)
        text += QStringLiteral("\n• ") + line;
    return text + QStringLiteral("\n\n") + carryingOn(kStdoutName);
}

// What a person can do about the usual refusals of a ppdev device.
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

// A refused claim of a ppdev device, with what the person can do about it.
QString claimTrouble(const QString &path, int error)
{
    return QStringLiteral("PPCLAIM en %1: %2").arg(path, systemSays(error)) + ppdevHint(error);
}

// One line, without ever waiting for a reader: a full pipe fails at once, and a reader that has
// gone comes back as EPIPE (SIGPIPE is ignored), never as the end of the program.
QString writeLine(int fd, const QByteArray &line, const QString &where)
{
    const QString full = QStringLiteral("%1 está llena: nadie lee lo que se escribe ahí").arg(where);
    pollfd ready = {fd, POLLOUT, 0};
    int polled;
    do {
        polled = ::poll(&ready, 1, 0);
    } while (polled < 0 && errno == EINTR);
    if (polled == 0)
        return full;
    ssize_t done;
    do {
        done = ::write(fd, line.constData(), size_t(line.size()));
    } while (done < 0 && errno == EINTR);
    if (done < 0 && errno == EPIPE)
        return QStringLiteral("%1 se cerró: quien la leía ya no está").arg(where);
    if (done < 0 && errno == EAGAIN)
        return full;
    if (done < 0)
        return QStringLiteral("escribir en %1: %2").arg(where, systemSays(errno));
    if (done != line.size())
        return QStringLiteral("escribir en %1: escritura incompleta").arg(where);
    return {};
}

class SilentSim final : public PortWriter {
public:
    QString write(quint16, quint16) override { return {}; }
    QString name() const override { return QStringLiteral("simulado (sin registro)"); }
};

class StdoutSim final : public PortWriter {
public:
    QString write(quint16 address, quint16 value) override
    {
        const QString line = QStringLiteral("puerto %1 <- %2   D7..D0 %3\n")
                                 .arg(hex4(address), hex4(value))
                                 .arg(value & 0xFF, 8, 2, QLatin1Char('0'));
        return writeLine(STDOUT_FILENO, line.toUtf8(), QStringLiteral("la salida estándar"));
    }
    QString name() const override { return kStdoutName; }
    std::unique_ptr<PortWriter> fallback() const override { return std::make_unique<SilentSim>(); }
};

class FileSim final : public PortWriter {
public:
    FileSim(int fd, QString path) : fd_(fd), path_(std::move(path)) {}
    ~FileSim() override { ::close(fd_); }

    // One write(2) per line, straight to the kernel: a killed process loses nothing.
    QString write(quint16 address, quint16 value) override
    {
        return writeLine(fd_, (hex4(address) + QLatin1Char(' ') + hex4(value) + QLatin1Char('\n')).toLatin1(), path_);
    }
    QString name() const override { return QStringLiteral("simulado (%1)").arg(path_); }

private:
    int fd_;
    QString path_;
};

// Each write claims the port only for its own duration, so that several copies of the program
// (or a printer job) can share one port: a claim held by another opener makes PPCLAIM wait.
// The device answers for the program's port address wherever its own base lies.
class PpdevPort final : public PortWriter {
public:
    PpdevPort(int fd, QString path, quint16 address, long deviceBase)
        : fd_(fd), path_(std::move(path)), address_(address), deviceBase_(deviceBase)
    {
    }
    ~PpdevPort() override { ::close(fd_); }

    QString write(quint16 address, quint16 value) override
    {
        if (address != address_)
            return QStringLiteral("%1 atiende la dirección %2, no %3").arg(path_, hex4(address_), hex4(address));
        if (::ioctl(fd_, PPCLAIM) < 0)
            return claimTrouble(path_, errno);
        // Only the data register is written: the high byte would land on the status register,
        // which is read-only on a real port and drops it anyway.
        unsigned char data = value & 0xFF, latched = 0;
        QString failure;
        if (::ioctl(fd_, PPWDATA, &data) < 0)
            failure = QStringLiteral("PPWDATA en %1: %2").arg(path_, systemSays(errno));
        else if (::ioctl(fd_, PPRDATA, &latched) < 0)
            failure = QStringLiteral("PPRDATA en %1: %2").arg(path_, systemSays(errno));
        else
            failure = readBackTrouble(data, latched);
        ::ioctl(fd_, PPRELEASE);
        return failure;
    }
    QString name() const override
    {
        return deviceBase_ < 0 ? QStringLiteral("ppdev %1").arg(path_)
                               : QStringLiteral("ppdev %1 en %2").arg(path_, hex4(quint16(deviceBase_)));
    }

private:
    int fd_;
    QString path_;
    quint16 address_;
    long deviceBase_;
};

std::unique_ptr<PortWriter> openPpdev(const QByteArray &path, quint16 address, long deviceBase, QString *why)
{
    const QString shownPath = shown(path);
    // Only a ppdev node is opened: opening some other device can have effects of its own, and its
    // refusals would read like a parallel port's.
    struct stat info;
    if (::stat(path.constData(), &info) == 0 && !(S_ISCHR(info.st_mode) && major(info.st_rdev) == PP_MAJOR)) {
        *why = QStringLiteral("%1 no es un puerto paralelo (no es un dispositivo ppdev)").arg(shownPath);
        return nullptr;
    }
    const int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        *why = QStringLiteral("abrir %1: %2").arg(shownPath, systemSays(error)) + ppdevHint(error);
        return nullptr;
    }
    // A device node whose port has gone shows it only here.
    if (::ioctl(fd, PPCLAIM) < 0) {
        *why = claimTrouble(shownPath, errno);
        ::close(fd);
        return nullptr;
    }
    ::ioctl(fd, PPRELEASE);
    return std::make_unique<PpdevPort>(fd, shownPath, address, deviceBase);
}

// The base address the kernel gives a ppdev device, from parportN's sysctl folder; -1 when unknown.
long ppdevBase(const QByteArray &deviceName, const PortPaths &paths)
{
    QFile file(QFile::decodeName(paths.sysctl + '/' + deviceName + "/base-addr"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const long base = QString::fromLatin1(file.read(64)).simplified().section(QLatin1Char(' '), 0, 0).toLong(&ok);
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
        return readBackTrouble(value & 0xFF, inb(address));
    }
    QString name() const override { return QStringLiteral("E/S directa en %1").arg(hex4(base_)); }

private:
    quint16 base_;
};
#endif

std::unique_ptr<PortWriter> directPort(quint16 base)
{
#ifdef TENVALIA_HAS_PORT_IO
    return std::make_unique<DirectPort>(base);
#else
    Q_UNUSED(base);
    return nullptr;
#endif
}

void releaseDirectIo(quint16 base, const DirectIo &direct)
{
#ifdef TENVALIA_HAS_PORT_IO
    if (direct.granted)
        ::ioperm(base, 2, 0);
#else
    Q_UNUSED(base);
    Q_UNUSED(direct);
#endif
}

// Auto mode: the ppdev device at `base`, else the system's first parallel port wherever it lies,
// else direct I/O at `base`. Fills `tried` with one line per failed attempt.
std::unique_ptr<PortWriter> findRealPort(quint16 base, const DirectIo &direct, const PortPaths &paths,
                                         QStringList *tried, QString *notice)
{
    struct Device {
        QByteArray name;
        int number;
        long base;
    };
    std::vector<Device> devices;
    const QStringList names = QDir(QFile::decodeName(paths.devices)).entryList({QStringLiteral("parport*")}, QDir::System | QDir::Files);
    for (const QString &name : names) {
        bool numbered = false;
        const int number = name.mid(7).toInt(&numbered);
        if (numbered)
            devices.push_back({name.toLatin1(), number, ppdevBase(name.toLatin1(), paths)});
    }
    std::sort(devices.begin(), devices.end(), [base](const Device &a, const Device &b) {
        return std::make_pair(a.base != base, a.number) < std::make_pair(b.base != base, b.number);
    });
    if (devices.empty())
        tried->append(QStringLiteral("ppdev: no existe ningún %1/parport*").arg(shown(paths.devices)));
    for (const Device &device : devices) {
        QString why;
        auto port = openPpdev(paths.devices + '/' + device.name, base, device.base, &why);
        if (!port) {
            tried->append(QStringLiteral("ppdev: ") + why);
            continue;
        }
        releaseDirectIo(base, direct);
        if (device.base != base)
            *notice = QStringLiteral("no hay un puerto paralelo en %1; se usa el primero que tiene el sistema, %2")
                          .arg(hex4(base), port->name());
        return port;
    }
    if (direct.granted)
        return directPort(base);
    tried->append(QStringLiteral("E/S directa: ") + direct.refusal);
    return nullptr;
}

bool isAuto(const QByteArray &request) { return request.isEmpty() || request == "auto"; }

} // namespace

std::unique_ptr<PortWriter> PortWriter::fallback() const { return simulatedPort(); }

std::unique_ptr<PortWriter> simulatedPort() { return std::make_unique<StdoutSim>(); }

std::unique_ptr<PortWriter> simulatedPort(const QByteArray &traceFile, QString *why)
{
    // Never blocks: a FIFO without a reader is refused at once instead of waiting for one.
    const int fd = ::open(traceFile.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        const int error = errno;
        struct stat info;
        const bool fifo = error == ENXIO && ::stat(traceFile.constData(), &info) == 0 && S_ISFIFO(info.st_mode);
        *why = QStringLiteral("abrir %1: %2").arg(shown(traceFile), systemSays(error)) +
               (fifo ? QStringLiteral(" (es una FIFO y nadie la está leyendo)") : QString());
        return nullptr;
    }
    return std::make_unique<FileSim>(fd, shown(traceFile));
}

QString readBackTrouble(quint8 written, quint8 readBack)
{
    if (readBack == written)
        return {};
    const QString what = QStringLiteral("se escribió %1 y se leyó %2: ").arg(hex2(written), hex2(readBack));
    if (readBack == 0xFF)
        return what + QStringLiteral("nada responde en esa dirección, no hay un puerto ahí. "
                                     "Los puertos de las tarjetas PCI o PCIe están en otra dirección: "
                                     "úselos por ppdev (TENVALIA_PORT=auto o ppdev:/dev/parportN).");
    return what + QStringLiteral("el puerto no guarda lo que se le escribe. Sus líneas de datos pueden estar "
                                 "como entradas (modo bidireccional: elija el modo normal o SPP en la BIOS), "
                                 "o algo conectado las fuerza. Las salidas no tienen el valor pedido.");
}

DirectIo requestDirectIo(const QByteArray &request, quint16 base)
{
    if (!isAuto(request) && request != "direct")
        return {};
#ifdef TENVALIA_HAS_PORT_IO
    // Only the two ports a 16-bit write touches, never iopl's whole I/O space.
    if (::ioperm(base, 2, 1) < 0)
        return {false, QStringLiteral("ioperm(%1, 2): %2").arg(hex4(base), systemSays(errno))};
    return {true, {}};
#else
    Q_UNUSED(base);
    return {false, QStringLiteral("no hay instrucciones de E/S de puertos en este procesador")};
#endif
}

PortChoice choosePort(const QByteArray &request, quint16 base, const DirectIo &direct, const PortPaths &paths)
{
    const QString asked = QStringLiteral("TENVALIA_PORT=") + shown(request);
    const auto refusalOnFirstWrite = [](const QString &headline, const QStringList &tried) {
        return [headline, tried](const QString &failure) { return refusal(headline, tried + QStringList{failure}); };
    };

    if (isAuto(request)) {
        const QString headline = QStringLiteral("No hay un puerto paralelo en %1 que Tenvalia pueda usar.").arg(hex4(base));
        QStringList tried;
        QString notice;
        if (auto port = findRealPort(base, direct, paths, &tried, &notice))
            return {std::move(port), {}, notice, refusalOnFirstWrite(headline, tried)};
        return {simulatedPort(), refusal(headline, tried), {}, {}};
    }

    const QString refused = QStringLiteral("No se pudo usar el puerto pedido (%1).").arg(asked);
    QString why;
    if (request.startsWith("ppdev:")) {
        const QByteArray device = request.mid(6);
        if (auto port = openPpdev(device, base, ppdevBase(device.mid(device.lastIndexOf('/') + 1), paths), &why))
            return {std::move(port), {}, {}, refusalOnFirstWrite(refused, {})};
        return {simulatedPort(), refusal(refused, {why}), {}, {}};
    }
    if (request == "direct") {
        if (direct.granted)
            return {directPort(base), {}, {}, refusalOnFirstWrite(refused, {})};
        return {simulatedPort(), refusal(refused, {direct.refusal}), {}, {}};
    }
    if (request == "sim")
        return {simulatedPort(), {}, {}, {}};
    if (request.startsWith("sim:") && request.size() > 4) {
        if (auto port = simulatedPort(request.mid(4), &why))
            return {std::move(port), {}, {}, {}};
        return {simulatedPort(),
                QStringLiteral("No se pudo guardar el registro del puerto simulado (%1).\n\n%2\n\n"
                               "Cada escritura se muestra en la salida estándar.")
                    .arg(asked, why),
                {},
                {}};
    }
    return {simulatedPort(),
            QStringLiteral("%1 no es una forma conocida.\n\nFormas aceptadas: auto, ppdev:/dev/parportN, direct, "
                           "sim, sim:ARCHIVO.\n\n%2")
                .arg(asked, carryingOn(kStdoutName)),
            {},
            {}};
}

bool dropCapabilities()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, none) == 0)
        return true;
    std::fprintf(stderr,
                 "tenvalia: el sistema no dejó soltar los privilegios (capset: %s); Tenvalia no sigue con ellos.\n",
                 std::strerror(errno));
    return false;
}

Port &Port::instance()
{
    static Port port;
    return port;
}

void Port::use(PortChoice choice)
{
    writer_ = std::move(choice.writer);
    refusalIfFirstWriteFails_ = std::move(choice.refusalIfFirstWriteFails);
    if (!choice.notice.isEmpty())
        std::fprintf(stderr, "tenvalia: %s\n", qPrintable(choice.notice));
    if (!choice.trouble.isEmpty())
        report(choice.trouble);
}

void Port::use(std::unique_ptr<PortWriter> writer) { use(PortChoice{std::move(writer), {}, {}, {}}); }

void Port::write(quint16 address, quint16 value)
{
    if (!writer_)
        writer_ = simulatedPort();
    const QString failure = writer_->write(address, value);
    const auto refusalOfPort = std::exchange(refusalIfFirstWriteFails_, nullptr);
    if (failure.isEmpty())
        return;
    const QString lost = writer_->name();
    do {
        writer_ = writer_->fallback();
    } while (!writer_->write(address, value).isEmpty());
    report(refusalOfPort ? refusalOfPort(QStringLiteral("%1: %2").arg(lost, failure))
                         : QStringLiteral("Falló una escritura en el puerto (%1).\n\n%2\n\n%3")
                               .arg(lost, failure, carryingOn(writer_->name())));
}

QString Port::name() const { return writer_ ? writer_->name() : QString(); }

void Port::report(const QString &text)
{
    std::fprintf(stderr, "tenvalia: %s\n", qPrintable(text));
    QMetaObject::invokeMethod(this, [this, text] { emit trouble(text); }, Qt::QueuedConnection);
}

} // namespace platform
