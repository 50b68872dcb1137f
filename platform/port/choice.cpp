#include "choice.h"

#include "direct_output.h"
#include "ppdev_output.h"
#include "simulated_output.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace platform::port {
namespace {

// The base address the kernel gives a ppdev device, from parportN's sysctl folder; -1 unknown.
long ppdevBase(const QByteArray &deviceName, const SystemPaths &paths)
{
    QFile file(QFile::decodeName(paths.sysctl + '/' + deviceName + "/base-addr"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const long base = QString::fromLatin1(file.read(64)).simplified().section(QLatin1Char(' '), 0, 0).toLong(&ok);
    return ok ? base : -1;
}

QByteArray baseName(const QByteArray &path) { return path.mid(path.lastIndexOf('/') + 1); }

std::unique_ptr<Output> tryPpdev(const QByteArray &device, long base, const SystemPaths &paths,
                                 std::vector<Attempt> *tried)
{
    Outcome refusal;
    auto output = ppdevOutput(device, base, paths.sysctl, &refusal);
    if (!output)
        tried->push_back({{Kind::Ppdev, device, base}, refusal});
    return output;
}

std::unique_ptr<Output> tryDirect(quint16 address, const DirectAccess &direct, std::vector<Attempt> *tried)
{
    if (direct.granted)
        return directOutput(address);
    tried->push_back({{Kind::Direct, {}, address}, direct.refusal});
    return nullptr;
}

std::unique_ptr<Output> findRealPort(quint16 address, const DirectAccess &direct, const SystemPaths &paths,
                                     std::vector<Attempt> *tried, bool *refused)
{
    struct Device {
        QByteArray path;
        int number;
        long base;
    };
    std::vector<Device> devices;
    const QStringList names =
        QDir(QFile::decodeName(paths.devices)).entryList({QStringLiteral("parport*")}, QDir::System | QDir::Files);
    for (const QString &name : names) {
        bool numbered = false;
        const int number = name.mid(7).toInt(&numbered);
        if (numbered)
            devices.push_back({paths.devices + '/' + name.toLatin1(), number, ppdevBase(name.toLatin1(), paths)});
    }
    std::sort(devices.begin(), devices.end(), [address](const Device &a, const Device &b) {
        return std::make_pair(a.base != address, a.number) < std::make_pair(b.base != address, b.number);
    });
    if (devices.empty())
        tried->push_back({{Kind::Ppdev, paths.devices, -1}, {Step::NoDevice}});
    for (const Device &device : devices) {
        if (auto output = tryPpdev(device.path, device.base, paths, tried))
            return output;
        // The device at the port's address, or one whose address is unknown, may be the very
        // port the person wired: refused or busy, it is theirs all the same. Neither another
        // port nor direct I/O behind its owner's back will do instead.
        if (device.base == address || device.base < 0) {
            *refused = true;
            return nullptr;
        }
    }
    return tryDirect(address, direct, tried);
}

} // namespace

Request parseRequest(const QByteArray &text)
{
    using Mode = Request::Mode;
    if (text.isEmpty() || text == "auto")
        return {Mode::Auto, text, {}};
    if (text.startsWith("ppdev:"))
        return {Mode::Ppdev, text, text.mid(6)};
    if (text == "direct")
        return {Mode::Direct, text, {}};
    if (text == "sim")
        return {Mode::Stdout, text, {}};
    if (text.startsWith("sim:") && text.size() > 4)
        return {Mode::Trace, text, text.mid(4)};
    return {Mode::Unknown, text, {}};
}

Choice choose(const Request &request, quint16 address, const DirectAccess &direct, const SystemPaths &paths)
{
    using Mode = Request::Mode;
    Choice choice{request, address, nullptr, {}, false, false};
    switch (request.mode) {
    case Mode::Auto:
        choice.output = findRealPort(address, direct, paths, &choice.tried, &choice.personsPortRefused);
        break;
    case Mode::Ppdev:
        choice.output = tryPpdev(request.path, ppdevBase(baseName(request.path), paths), paths, &choice.tried);
        break;
    case Mode::Direct:
        choice.output = tryDirect(address, direct, &choice.tried);
        break;
    case Mode::Trace: {
        Outcome refusal;
        choice.output = traceOutput(request.path, address, &refusal);
        if (!choice.output)
            choice.tried.push_back({{Kind::Trace, request.path, -1}, refusal});
        break;
    }
    case Mode::Stdout:
    case Mode::Unknown:
        break;
    }
    choice.refused = !choice.output && request.mode != Mode::Stdout;
    if (!choice.output)
        choice.output = stdoutOutput(address);
    const Kind kind = choice.output->where().kind;
    choice.provesItself = kind == Kind::Ppdev || kind == Kind::Direct;
    if (direct.granted && kind != Kind::Direct)
        releaseDirectAccess(address);
    return choice;
}

} // namespace platform::port
