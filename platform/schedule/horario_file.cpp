#include "horario_file.h"

#include "platform/port/words.h"
#include "platform/small_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::schedule {

namespace {
constexpr qint64 kLongest = 64 * 1024;
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
    const SmallFile file = readSmallFile(source.path, kLongest);
    if (file.error) {
        if (source.named || file.error != ENOENT)
            *why = QStringLiteral("no se pudo leer %1 (%2)").arg(shownPath(source.path), QString::fromLocal8Bit(std::strerror(file.error))) + off;
        return std::nullopt;
    }
    if (!file.regular) {
        *why = QStringLiteral("%1 no es un archivo de horario (un archivo normal de hasta 64 KiB)").arg(shownPath(source.path)) + off;
        return std::nullopt;
    }
    // Whoever can change the file switches the house's lights.
    if (file.owner != ::geteuid() && file.owner != 0) {
        *why = QStringLiteral("%1 es de otro usuario, que podría cambiarlo").arg(shownPath(source.path)) + off;
        return std::nullopt;
    }
    if (file.mode & (S_IWGRP | S_IWOTH)) {
        *why = QStringLiteral("%1 lo pueden cambiar otros usuarios%2. Que solo su dueño lo escriba: chmod go-w %1")
                   .arg(shownPath(source.path), off);
        return std::nullopt;
    }
    return file.bytes;
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
