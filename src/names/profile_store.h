#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

// How profile files are found, read, locked and replaced on disk. Only the
// profile code uses it; reasons are in words for the user.
namespace orvalin::profile_store {

// A full name file is about 110 KB. A file this large is no name file, and
// reading it whole on every call would only exhaust memory.
constexpr qint64 file_size_limit = 64 * 1024 * 1024;
// A writer holds the lock for one read-modify-write of a few milliseconds;
// longer means another program keeps the file, and the panel must not freeze.
constexpr std::chrono::milliseconds lock_wait { 1000 };

// The whole file, when it is a regular file of at most file_size_limit
// bytes. Nothing else is read, and opening never blocks (a FIFO, a device).
// On failure reason (when given) says why: what the file is instead, too
// large, no permission, the system's text.
std::optional<QByteArray> read_file(const QString &path, QString *reason = nullptr);

// The file that writes to path change: the final target of a link, so that
// the link stays a link. Nothing for a link that leads nowhere (dangling or
// a loop): such a link is never replaced by a file; reason says so.
std::optional<QString> write_target(const QString &path, QString &reason);

// Serialises the read-modify-write of one file among processes. Waits at
// most lock_wait, letting the event loop run meanwhile (no user input), then
// gives up: in_use() tells why.
class file_lock {
public:
    explicit file_lock(const QString &target);
    ~file_lock();
    file_lock(const file_lock &) = delete;
    file_lock &operator=(const file_lock &) = delete;

    bool locked() const;

private:
    struct state;
    std::unique_ptr<state> state_;
};

// What the panel says when another program holds the file.
QString in_use_reason();

// Stores content as the file path, which must not be a link (the caller
// resolves links). A new file is made beside the old one and renamed over
// it, so that the file is always either the whole old or the whole new one;
// it takes the old file's owner, group and mode. Where the new file cannot
// be made or could not keep them, or the old file has several names, the old
// one is rewritten in place. Temporary files that a killed writer left
// beside it are removed first (call under the file's lock).
bool replace_file(const QString &path, const QByteArray &content, QString &reason);

// The system's text for an errno value, with a plain word for a full disk.
QString system_reason(int error);

} // namespace orvalin::profile_store
