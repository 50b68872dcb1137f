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
    // A hop that exists is watched itself: its going, and its owner or mode changing. One that does
    // not is waited for in the nearest of its folders that exists, where each name made wakes the
    // watch (a busy folder such as /dev only while the device is away).
    struct Spot {
        QByteArray path;
        bool itself;
        bool operator==(const Spot &other) const { return path == other.path && itself == other.itself; }
    };
    static constexpr uint32_t kItself = IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB | IN_DONT_FOLLOW;
    static constexpr uint32_t kFolder = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

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

    std::vector<Spot> spots() const
    {
        std::vector<Spot> spots;
        for (const QByteArray &hop : hops()) {
            struct stat info;
            if (::lstat(hop.constData(), &info) == 0) {
                spots.push_back({hop, true});
                continue;
            }
            QByteArray folder = folderOf(hop);
            while (!isFolder(folder) && folder != "/" && folder != ".")
                folder = folderOf(folder);
            spots.push_back({folder, false});
        }
        return spots;
    }

    // Watches the spots as they are now, and only those. What changed between the look and the
    // watch is found by looking again once the watch is in place.
    void follow()
    {
        for (std::vector<Spot> now; (now = spots()) != watched_;) {
            for (const int wd : wds_)
                ::inotify_rm_watch(fd_, wd);
            wds_.clear();
            for (const Spot &spot : now)
                wds_.push_back(::inotify_add_watch(fd_, spot.path.constData(), spot.itself ? kItself : kFolder));
            watched_ = now;
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
                for (size_t spot = 0; spot < wds_.size(); ++spot) {
                    if (event->wd == wds_[spot] && watched_[spot].itself) {
                        went |= (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0;
                        touched |= (event->mask & IN_ATTRIB) != 0;
                    }
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
    std::vector<Spot> watched_; // one for each hop
    std::vector<int> wds_;
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
