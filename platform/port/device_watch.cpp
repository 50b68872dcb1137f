#include "device_watch.h"

#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <libudev.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::port {
namespace {

class UdevWatch final : public DeviceWatch {
public:
    UdevWatch(udev *context, udev_monitor *monitor, QObject *parent)
        : DeviceWatch(parent), context_(context), monitor_(monitor),
          notifier_(udev_monitor_get_fd(monitor), QSocketNotifier::Read, this)
    {
        connect(&notifier_, &QSocketNotifier::activated, this, &UdevWatch::drain);
    }
    ~UdevWatch() override
    {
        udev_monitor_unref(monitor_);
        udev_unref(context_);
    }

private:
    void drain()
    {
        while (udev_device *device = udev_monitor_receive_device(monitor_)) {
            const QByteArray action = udev_device_get_action(device);
            const QByteArray node = udev_device_get_devnode(device);
            // A USB device is added before its configuration is set: only once bound does it have
            // the interfaces a driver claims.
            const QByteArrayView ready = QByteArrayView(udev_device_get_subsystem(device)) == "usb" ? "bind" : "add";
            udev_device_unref(device);
            if (node.isEmpty())
                continue;
            if (action == "remove")
                emit vanished(node);
            else if (action == ready)
                emit appeared(node);
        }
    }

    udev *context_;
    udev_monitor *monitor_;
    QSocketNotifier notifier_;
};

// The folder a path's last name is in; "." for a bare name.
QByteArray folderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? "." : slash == 0 ? "/" : path.left(slash);
}

bool isFolder(const QByteArray &path)
{
    struct stat info;
    return ::stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

class PathWatch final : public DeviceWatch {
public:
    PathWatch(int fd, QByteArray path, QObject *parent)
        : DeviceWatch(parent), fd_(fd), path_(std::move(path)), notifier_(fd, QSocketNotifier::Read, this)
    {
        connect(&notifier_, &QSocketNotifier::activated, this, &PathWatch::drain);
        follow();
        there_ = isThere();
    }
    ~PathWatch() override { ::close(fd_); }

private:
    static constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

    bool isThere() const
    {
        struct stat info;
        return ::stat(path_.constData(), &info) == 0;
    }

    // The path and every link on its way to the device, as they are now: a link is read afresh
    // each time, and may point elsewhere since the last.
    std::vector<QByteArray> hops() const
    {
        std::vector<QByteArray> hops{path_};
        char target[PATH_MAX];
        for (int links = 0; links < 8; ++links) {
            const ssize_t length = ::readlink(hops.back().constData(), target, sizeof target);
            if (length <= 0 || length == sizeof target)
                break;
            QByteArray next(target, length);
            hops.push_back(next.startsWith('/') ? next : folderOf(hops.back()) + '/' + next);
        }
        return hops;
    }

    // Watches the nearest existing folder of each hop, and only those. A folder made between the
    // look and the watch is found by looking again once the watch is in place.
    void follow()
    {
        for (;;) {
            std::vector<QByteArray> folders;
            names_.clear();
            for (const QByteArray &hop : hops()) {
                QByteArray folder = folderOf(hop);
                while (!isFolder(folder) && folder != "/" && folder != ".")
                    folder = folderOf(folder);
                folders.push_back(folder);
                names_.push_back(hop.mid(hop.lastIndexOf('/') + 1));
            }
            if (folders == watched_)
                break;
            for (const int wd : wds_)
                ::inotify_rm_watch(fd_, wd);
            wds_.clear();
            for (const QByteArray &folder : folders)
                wds_.push_back(::inotify_add_watch(fd_, folder.constData(), kEvents));
            watched_ = folders; // and once more: what was found before the watches may have changed
        }
    }

    // A hop removed and made again between two looks is a going and a coming all the same: the
    // events say so, where the path's state alone would not.
    void drain()
    {
        alignas(inotify_event) char events[4096];
        bool went = false, touched = false;
        for (ssize_t n; (n = ::read(fd_, events, sizeof events)) > 0;) {
            for (const char *at = events; at < events + n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                at += sizeof(inotify_event) + event->len;
                for (size_t hop = 0; hop < wds_.size(); ++hop) {
                    if (event->wd != wds_[hop])
                        continue;
                    const bool itself = event->len > 0 && names_[hop] == event->name;
                    went |= (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) ||
                            (itself && (event->mask & (IN_DELETE | IN_MOVED_FROM)));
                    touched |= itself && (event->mask & (IN_CREATE | IN_MOVED_TO | IN_ATTRIB));
                }
            }
        }
        follow();
        const bool there = isThere(), was = std::exchange(there_, there);
        if (was && (went || !there))
            emit vanished(path_);
        if (there && (!was || went || touched))
            emit appeared(path_);
    }

    int fd_;
    QByteArray path_;
    QSocketNotifier notifier_;
    std::vector<QByteArray> watched_; // the folders watched, one for each hop
    std::vector<int> wds_;
    std::vector<QByteArray> names_;   // each hop's own name in its folder
    bool there_ = false;
};

} // namespace

DeviceWatch *DeviceWatch::devices(const std::vector<QByteArray> &subsystems, QObject *parent, int *error)
{
    errno = 0;
    udev *context = udev_new();
    // Where udevd runs, its events come once the node is set up (owner, mode, links); where it
    // does not (a container, a small system), the kernel's own are all there is.
    const char *source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    udev_monitor *monitor = context ? udev_monitor_new_from_netlink(context, source) : nullptr;
    bool ready = monitor != nullptr;
    for (const QByteArray &subsystem : subsystems)
        ready = ready && udev_monitor_filter_add_match_subsystem_devtype(monitor, subsystem.constData(),
                                                                         subsystem == "usb" ? "usb_device" : nullptr) >= 0;
    if (ready && udev_monitor_enable_receiving(monitor) >= 0)
        return new UdevWatch(context, monitor, parent);
    *error = errno ? errno : EIO;
    udev_monitor_unref(monitor);
    udev_unref(context);
    return nullptr;
}

DeviceWatch *DeviceWatch::path(const QByteArray &path, QObject *parent, int *error)
{
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    return new PathWatch(fd, path, parent);
}

} // namespace platform::port
