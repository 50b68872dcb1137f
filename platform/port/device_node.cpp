#include "device_node.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform::port {

QByteArray deviceFolder(const QByteArray &sysDevChar, const struct stat &node)
{
    return sysDevChar + '/' + QByteArray::number(major(node.st_rdev)) + ':' + QByteArray::number(minor(node.st_rdev));
}

QByteArray subsystemOf(const QByteArray &sysDevChar, const struct stat &node)
{
    char target[4096];
    const ssize_t length = ::readlink((deviceFolder(sysDevChar, node) + "/subsystem").constData(), target, sizeof target);
    if (length <= 0 || length == sizeof target)
        return {};
    const QByteArray link(target, length);
    return link.mid(link.lastIndexOf('/') + 1);
}

int openDevice(const QByteArray &path, const std::function<Step(const struct stat &)> &check, Outcome *refusal, int flags)
{
    const int node = ::open(path.constData(), O_PATH | O_CLOEXEC);
    struct stat seen;
    if (node < 0 || ::fstat(node, &seen) != 0) {
        *refusal = {Step::Open, errno};
        if (node >= 0)
            ::close(node);
        return -1;
    }
    *refusal = {S_ISCHR(seen.st_mode) ? check(seen) : Step::NotADevice};
    int fd = -1;
    if (refusal->ok()) {
        fd = ::open(("/proc/self/fd/" + QByteArray::number(node)).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC | flags);
        struct stat opened;
        if (fd < 0)
            *refusal = {Step::Open, errno};
        else if (::fstat(fd, &opened) != 0 || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino ||
                 opened.st_rdev != seen.st_rdev) {
            *refusal = {Step::NotADevice};
            ::close(fd);
            fd = -1;
        }
    }
    ::close(node);
    return fd;
}

} // namespace platform::port
