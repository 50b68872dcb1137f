#include "small_file.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

SmallFile readSmallFile(const QString &path, qint64 longest)
{
    SmallFile read;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        read.error = errno;
        return read;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        read.error = errno;
        ::close(fd);
        return read;
    }
    read.regular = S_ISREG(status.st_mode) && status.st_size <= longest;
    read.mode = status.st_mode;
    read.owner = status.st_uid;
    // A file that grew since fstat is still read no further than `longest`.
    while (read.regular && read.bytes.size() < longest) {
        char chunk[4096];
        const ssize_t got = ::read(fd, chunk, size_t(std::min<qint64>(sizeof chunk, longest - read.bytes.size())));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            read.error = errno;
        if (got <= 0)
            break;
        read.bytes.append(chunk, got);
    }
    ::close(fd);
    return read;
}

} // namespace platform
