#include "horario_file.h"

#include "platform/port/words.h"
#include "platform/text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::schedule {

namespace {
constexpr off_t kLongest = 64 * 1024;
QString shownPath(const QString &path) { return port::words::shown(QFile::encodeName(path)); }
} // namespace

Source horarioSource()
{
    if (!qEnvironmentVariableIsEmpty("TENVALIA_HORARIO"))
        return {qEnvironmentVariable("TENVALIA_HORARIO"), true};
    return {QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/tenvalia/horario.conf"),
            false};
}

std::optional<QByteArray> readHorario(const Source &source, QString *why)
{
    why->clear();
    const QString off = QStringLiteral("; el horario queda apagado");
    const int fd = ::open(QFile::encodeName(source.path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (source.named || errno != ENOENT)
            *why = QStringLiteral("no se pudo leer %1 (%2)").arg(shownPath(source.path), QString::fromLocal8Bit(std::strerror(errno))) + off;
        return std::nullopt;
    }
    QFile file;
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kLongest) {
        *why = QStringLiteral("%1 no es un archivo de horario (un archivo normal de hasta 64 KiB)").arg(shownPath(source.path)) + off;
        return std::nullopt;
    }
    // Whoever can change the file switches the house's lights.
    if (status.st_uid != ::geteuid() && status.st_uid != 0) {
        *why = QStringLiteral("%1 es de otro usuario, que podría cambiarlo").arg(shownPath(source.path)) + off;
        return std::nullopt;
    }
    if (status.st_mode & (S_IWGRP | S_IWOTH)) {
        *why = QStringLiteral("%1 lo pueden cambiar otros usuarios%2. Que solo su dueño lo escriba: chmod go-w %1")
                   .arg(shownPath(source.path), off);
        return std::nullopt;
    }
    const QByteArray text = file.read(kLongest);
    if (file.error() != QFileDevice::NoError) {
        *why = QStringLiteral("no se pudo leer %1 (%2)").arg(shownPath(source.path), escapeControls(file.errorString())) + off;
        return std::nullopt;
    }
    return text;
}

FileWatch::FileWatch(const QString &path, QObject *parent) : QObject(parent), path_(path)
{
    // An editor writes in several steps; the file is read once they are done.
    settle_.setSingleShot(true);
    settle_.setInterval(200);
    connect(&settle_, &QTimer::timeout, this, [this] {
        rewatch();
        emit changed();
    });
    connect(&watcher_, &QFileSystemWatcher::fileChanged, &settle_, qOverload<>(&QTimer::start));
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, &settle_, qOverload<>(&QTimer::start));
    rewatch();
}

// The file, and the nearest folder above it that exists: a file saved by renaming over it, or
// made later (and its folder with it), is seen too.
void FileWatch::rewatch()
{
    const QStringList watched = watcher_.files() + watcher_.directories();
    if (!watched.isEmpty())
        watcher_.removePaths(watched);
    if (QFileInfo::exists(path_))
        watcher_.addPath(path_);
    QString folder = QFileInfo(path_).absolutePath();
    while (!QFileInfo::exists(folder) && folder != QDir::rootPath())
        folder = QFileInfo(folder).absolutePath();
    watcher_.addPath(folder);
}

} // namespace platform::schedule
