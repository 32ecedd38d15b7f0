#pragma once

#include "names/names_problem.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

// How profile files are found, read, locked and replaced on disk. Only the
// profile code uses it; a failure is reported as a value (names_failure).
// What differs between systems lives in profile_store_posix.cpp and
// profile_store_windows.cpp, one of which the build takes.
namespace orvalin::profile_store {

// A full name file is about 110 KB. A file this large is no name file, and
// reading it whole on every call would only exhaust memory.
constexpr qint64 file_size_limit = 64 * 1024 * 1024;
// A writer holds the lock for one read-modify-write of a few milliseconds;
// longer means another program keeps the file, and the panel must not freeze.
constexpr std::chrono::milliseconds lock_wait { 1000 };

// The whole file, when it is a regular file of at most file_size_limit
// bytes. Nothing else is read, and opening never blocks (a FIFO, a device).
// On failure, failure (when given) says why: what the file is instead, too
// large, no permission, the system's text.
std::optional<QByteArray> read_file(const QString &path, names_failure *failure = nullptr);

// The file that writes to path change: the final target of a link, so that
// the link stays a link. Nothing for a link that leads nowhere (dangling or
// a loop): such a link is never replaced by a file; failure says so.
std::optional<QString> write_target(const QString &path, names_failure &failure);

// Serialises the read-modify-write of one file among processes. Waits at
// most lock_wait, letting the event loop run meanwhile (no user input), then
// gives up, and locked() is false: the file counts as in use.
//
// On POSIX systems it is an flock on the file itself, or on its folder while
// the file is missing; it needs no file of its own and the system drops it
// when its holder dies. It counts only if the name still leads to the file
// locked, since the holder before may have replaced it. A name that is no
// regular file or cannot be opened for reading counts as locked (it is never
// rewritten), as does a missing file in a folder that cannot be read.
//
// On Windows it is a QLockFile "<file>.lock" beside the file or, where the
// folder takes no new file, one in the temporary folder named after a hash
// of the file's path; a lock file left by a process that died is taken over.
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

// Stores content as the file path, which must not be a link (the caller
// resolves links). A new file is made beside the old one and renamed over
// it, so that the file is always either the whole old or the whole new one.
// On POSIX systems it takes the old file's owner, group and mode; where the
// new file cannot be made or could not keep them, or the old file has
// several names, the old one is rewritten in place. Temporary files that a
// killed writer left beside it are removed first (call under the file's
// lock). On Windows QSaveFile does the replacement.
bool replace_file(const QString &path, const QByteArray &content, names_failure &failure);

// Between two tries for a lock: timers and repaints go on, user input waits.
void pause_for_lock();

} // namespace orvalin::profile_store
