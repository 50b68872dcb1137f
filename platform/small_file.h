// A small file from a path someone else may have chosen: opened without waiting (a FIFO there
// must not hold the window up), and read only when it is a regular file of bounded size.
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace platform {

struct SmallFile {
    int error = 0;        // errno of the open, or of the read; 0 when neither failed
    bool regular = false; // a regular file of at most the size asked for
    mode_t mode = 0;
    uid_t owner = 0;
    QByteArray bytes;     // read whole, when regular
};

SmallFile readSmallFile(const QString &path, qint64 longest);

} // namespace platform
