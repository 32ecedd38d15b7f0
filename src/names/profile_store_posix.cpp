// The profile store on POSIX systems: non-blocking reads of regular files,
// an flock for writers, replacement by rename or in place.

#include "names/profile_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvalin::profile_store {

namespace {

names_failure not_regular(mode_t mode)
{
    const names_problem kind = S_ISDIR(mode) ? names_problem::directory
        : S_ISCHR(mode)                      ? names_problem::character_device
        : S_ISBLK(mode)                      ? names_problem::block_device
        : S_ISFIFO(mode)                     ? names_problem::fifo
        : S_ISSOCK(mode)                     ? names_problem::socket
                                             : names_problem::special_file;
    return { kind, {} };
}

names_failure read_failure(int error)
{
    const bool denied = error == EACCES || error == EPERM;
    return { denied ? names_problem::no_read_permission : names_problem::read_error,
        qt_error_string(error) };
}

// A full disk is named plainly; the system's text for it adds nothing.
names_failure write_failure(int error)
{
    if (error == ENOSPC
#ifdef EDQUOT
        || error == EDQUOT
#endif
    )
        return { names_problem::disk_full, {} };
    const bool denied = error == EACCES || error == EPERM;
    return { denied ? names_problem::no_write_permission : names_problem::write_error,
        qt_error_string(error) };
}

bool write_all(int fd, const QByteArray &content)
{
    for (qsizetype done = 0; done < content.size();) {
        const ssize_t n = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Rewrites the file where it stands: for a file with several names, and for
// one in a folder that takes no new file. Room for the new content is taken
// before the old is overwritten, so a full disk leaves the file as it was.
bool write_in_place(const QString &path, const QByteArray &content, names_failure &failure)
{
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat info { };
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        failure = fd < 0 ? write_failure(errno) : not_regular(info.st_mode);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    bool written = true;
    if (content.size() > info.st_size)
        if (const int error = ::posix_fallocate(fd, 0, content.size()); error != 0) {
            // Best effort: the old content is still whole either way.
            if (::ftruncate(fd, info.st_size) != 0) { }
            failure = write_failure(error);
            written = false;
        }
    if (written
        && (!write_all(fd, content) || ::ftruncate(fd, content.size()) != 0 || ::fsync(fd) != 0)) {
        failure = write_failure(errno);
        written = false;
    }
    ::close(fd);
    return written;
}

// Each writer names its new file after the target, so that one left by a
// writer that was killed is known as such.
const QString temporary_infix = QStringLiteral(".orvalin-save-");
constexpr int temporary_suffix = 6;

void remove_leftovers(const QString &path)
{
    const QFileInfo info(path);
    const QRegularExpression ours(QLatin1Char('^') + QRegularExpression::escape(info.fileName())
        + QRegularExpression::escape(temporary_infix)
        + QStringLiteral("[A-Za-z0-9]{%1}$").arg(temporary_suffix));
    const QDir dir(info.absolutePath());
    const QStringList names = dir.entryList({ info.fileName() + temporary_infix + u'*' },
        QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QString &name : names)
        if (ours.match(name).hasMatch())
            QFile::remove(dir.filePath(name));
}

// Opens a new temporary file beside path; -1 with errno set when the folder
// takes none.
int open_temporary(const QString &path, mode_t mode, QString &name)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = path + temporary_infix;
        for (int i = 0; i < temporary_suffix; ++i)
            name += QLatin1Char(alphabet[QRandomGenerator::global()->bounded(62)]);
        const int fd = ::open(QFile::encodeName(name).constData(),
            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

} // namespace

std::optional<QByteArray> read_file(const QString &path, names_failure *failure)
{
    const auto fail = [failure](const names_failure &why) -> std::optional<QByteArray> {
        if (failure)
            *failure = why;
        return std::nullopt;
    };
    const QByteArray native = QFile::encodeName(path);
    // Whatever is not a regular file is not even opened: opening a device
    // may act on it, and a FIFO would wait for a writer.
    struct stat info { };
    if (::stat(native.constData(), &info) != 0)
        return fail(read_failure(errno));
    if (!S_ISREG(info.st_mode))
        return fail(not_regular(info.st_mode));
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return fail(read_failure(errno));
    // The name may have been given to something else since.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return fail(not_regular(info.st_mode));
    }
    QByteArray data;
    if (info.st_size > file_size_limit) {
        ::close(fd);
        return fail({ names_problem::too_large, {} });
    }
    // The size is only a hint: a file may grow while it is read.
    data.reserve(qsizetype(info.st_size) + 1);
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return fail({ names_problem::read_error, qt_error_string(error) });
        }
        if (n == 0)
            break;
        data.append(chunk, n);
        if (data.size() > file_size_limit) {
            ::close(fd);
            return fail({ names_problem::too_large, {} });
        }
    }
    ::close(fd);
    return data;
}

// A lock on the file itself, or on its folder while the file is missing.
// The system drops it when its holder dies, so no lock goes stale, and it
// needs no file of its own (a read-only folder can be locked too).
struct file_lock::state {
    int fd = -1;
    bool locked = false;
};

file_lock::file_lock(const QString &target)
    : state_(std::make_unique<state>())
{
    const QByteArray file = QFile::encodeName(target);
    const QByteArray dir = QFile::encodeName(QFileInfo(target).absolutePath());
    const auto deadline = std::chrono::steady_clock::now() + lock_wait;
    int &fd = state_->fd;
    while (std::chrono::steady_clock::now() < deadline) {
        struct stat before { };
        const bool missing = ::stat(file.constData(), &before) != 0;
        // Only a regular file is ever rewritten; nothing else is opened.
        if (!missing && !S_ISREG(before.st_mode)) {
            state_->locked = true;
            return;
        }
        fd = ::open(missing ? dir.constData() : file.constData(),
            O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        // A file that cannot be opened for reading is never rewritten;
        // a folder that cannot be read (rare) is written to unlocked.
        if (fd < 0) {
            state_->locked = true;
            return;
        }
        bool got = false;
        while (!(got = ::flock(fd, LOCK_EX | LOCK_NB) == 0) && errno == EWOULDBLOCK
            && std::chrono::steady_clock::now() < deadline)
            pause_for_lock();
        // The holder before may have replaced or made the file: the lock
        // counts only if the name still leads where it was taken.
        struct stat held { };
        struct stat now { };
        if (got
            && (missing ? ::stat(file.constData(), &now) != 0
                        : ::fstat(fd, &held) == 0 && ::stat(file.constData(), &now) == 0
                        && held.st_dev == now.st_dev && held.st_ino == now.st_ino)) {
            state_->locked = true;
            return;
        }
        ::close(fd);
        fd = -1;
    }
}

file_lock::~file_lock()
{
    if (state_->fd >= 0)
        ::close(state_->fd);
}

bool file_lock::locked() const
{
    return state_->locked;
}

bool replace_file(const QString &path, const QByteArray &content, names_failure &failure)
{
    struct stat old_file { };
    const QByteArray native = QFile::encodeName(path);
    const bool existed = ::stat(native.constData(), &old_file) == 0;
    // A file its owner made read-only stays as it is, though its folder
    // would let it be replaced.
    if (existed && ::access(native.constData(), W_OK) != 0) {
        failure = write_failure(errno);
        return false;
    }
    if (existed && old_file.st_nlink > 1)
        return write_in_place(path, content, failure);
    remove_leftovers(path);

    QString temporary;
    const int fd = open_temporary(path, existed ? 0600 : 0666, temporary);
    if (fd < 0) {
        failure = write_failure(errno);
        // A folder that refuses the new file may still let the old one be
        // written.
        return existed && write_in_place(path, content, failure);
    }
    const QByteArray temporary_native = QFile::encodeName(temporary);
    if (existed) {
        const bool same_owner = old_file.st_uid == ::geteuid() && old_file.st_gid == ::getegid();
        if ((!same_owner && ::fchown(fd, old_file.st_uid, old_file.st_gid) != 0)
            || ::fchmod(fd, old_file.st_mode & 07777) != 0) {
            ::close(fd);
            ::unlink(temporary_native.constData());
            return write_in_place(path, content, failure);
        }
    }
    const bool written = write_all(fd, content) && ::fsync(fd) == 0;
    const int error = errno;
    if (::close(fd) != 0 || !written
        || ::rename(temporary_native.constData(), native.constData()) != 0) {
        failure = write_failure(written ? errno : error);
        ::unlink(temporary_native.constData());
        return false;
    }
    // The rename itself lasts only once the folder is on disk.
    if (const int dir_fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
            O_RDONLY | O_CLOEXEC | O_DIRECTORY);
        dir_fd >= 0) {
        (void)::fsync(dir_fd);
        ::close(dir_fd);
    }
    return true;
}

} // namespace orvalin::profile_store
