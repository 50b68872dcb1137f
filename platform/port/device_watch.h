// Devices that come and go, heard from the kernel as they do and never looked for on a timer: USB
// and ppdev devices through libudev's monitor, a path named from outside through inotify on its
// folders. Each is one descriptor the event loop wakes for only when the kernel has news.
#pragma once

#include <QByteArray>
#include <QObject>

#include <vector>

namespace platform::port {

class DeviceWatch : public QObject {
    Q_OBJECT
public:
    // Devices of these kernel subsystems ("hidraw", "usb", "ppdev"; a USB device once its driver
    // has it, when its interfaces are there), heard from udevd where it runs (after its rules have
    // set up the node), else from the kernel itself. Null, with the system's `error`, when the
    // system offers no such notices.
    static DeviceWatch *devices(const std::vector<QByteArray> &subsystems, QObject *parent, int *error);
    // `path` as given, and each link on its way: each itself while it exists, else the nearest of
    // its folders that exists; as a folder appears the watch steps down into it, as it goes the
    // watch steps up. Null, with the system's `error`, when inotify is refused.
    static DeviceWatch *path(const QByteArray &path, QObject *parent, int *error);

signals:
    // Something that may be the device is there: a device added (`node`, its device node), or the
    // path made again or its node's owner or mode changed (`node`, the path).
    void appeared(const QByteArray &node);
    // The device whose node is `node` has gone, or the path has.
    void vanished(const QByteArray &node);

protected:
    using QObject::QObject;
};

} // namespace platform::port
