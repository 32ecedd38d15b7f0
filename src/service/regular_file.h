#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace orvalin::service {

// A file the config names, opened without ever blocking: a FIFO, a device or
// a folder is refused before anything waits on it.
struct regular_file {
    QByteArray data; // the first max_bytes + 1 bytes at most
    int mode = 0; // permission bits (0644 ...), 0 where unknown
};

// Reads up to max_bytes + 1 bytes of path when it is a regular file (after
// symbolic links); otherwise no value and problem says why in a few words
// ("is a directory", "is not a regular file (a FIFO)", the system's reason).
std::optional<regular_file> read_regular_file(
    const QString &path, qint64 max_bytes, QString &problem);

} // namespace orvalin::service
