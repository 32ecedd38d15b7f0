#include "names/profile_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QThread>

#include <thread>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QCryptographicHash>
#include <QLockFile>
#include <QSaveFile>
#endif

namespace orvalin::profile_store {

namespace {

QString too_large_reason()
{
    return QStringLiteral("文件大于 %1 MiB").arg(file_size_limit >> 20);
}

QString unreadable_reason(const QString &why)
{
    return QStringLiteral("无法读取（%1）").arg(why);
}

// Between two tries for a lock: timers and repaints go on, user input waits.
void pause_for_lock()
{
    const auto *app = QCoreApplication::instance();
    if (app && app->thread() == QThread::currentThread())
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

#ifdef Q_OS_UNIX

QString not_regular_reason(mode_t mode)
{
    const QString kind = S_ISDIR(mode) ? QStringLiteral("文件夹")
        : S_ISCHR(mode)                ? QStringLiteral("字符设备")
        : S_ISBLK(mode)                ? QStringLiteral("块设备")
        : S_ISFIFO(mode)               ? QStringLiteral("命名管道")
        : S_ISSOCK(mode)               ? QStringLiteral("套接字")
                                       : QStringLiteral("特殊文件");
    return QStringLiteral("它不是普通文件，而是%1").arg(kind);
}

QString open_failure_reason(int error)
{
    if (error == EACCES || error == EPERM)
        return QStringLiteral("没有读取权限（%1）").arg(system_reason(error));
    return unreadable_reason(system_reason(error));
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
bool write_in_place(const QString &path, const QByteArray &content, QString &reason)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
        O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat info { };
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        reason = fd < 0 ? system_reason(errno) : not_regular_reason(info.st_mode);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    bool written = true;
    if (content.size() > info.st_size)
        if (const int error = ::posix_fallocate(fd, 0, content.size()); error != 0) {
            // Best effort: the old content is still whole either way.
            if (::ftruncate(fd, info.st_size) != 0) { }
            reason = system_reason(error);
            written = false;
        }
    if (written
        && (!write_all(fd, content) || ::ftruncate(fd, content.size()) != 0 || ::fsync(fd) != 0)) {
        reason = system_reason(errno);
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
    static const char alphabet[]
        = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
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

#endif

} // namespace

QString system_reason(int error)
{
#ifdef Q_OS_UNIX
    if (error == ENOSPC
#ifdef EDQUOT
        || error == EDQUOT
#endif
    )
        return QStringLiteral("磁盘已满");
#endif
    return qt_error_string(error);
}

QString in_use_reason()
{
    return QStringLiteral("文件正被另一个程序使用");
}

std::optional<QString> write_target(const QString &path, QString &reason)
{
    const QFileInfo info(path);
    if (!info.isSymLink())
        return path;
    // A loop resolves to itself, a name that leads nowhere either.
    const QString target = info.canonicalFilePath();
    if (target.isEmpty() || !QFileInfo::exists(target)) {
        reason = QStringLiteral("它是一个不通向任何文件的符号链接（目标不存在或链接成环）");
        return std::nullopt;
    }
    return target;
}

#ifdef Q_OS_UNIX

std::optional<QByteArray> read_file(const QString &path, QString *reason)
{
    const auto fail = [reason](const QString &why) -> std::optional<QByteArray> {
        if (reason)
            *reason = why;
        return std::nullopt;
    };
    const QByteArray native = QFile::encodeName(path);
    // Whatever is not a regular file is not even opened: opening a device
    // may act on it, and a FIFO would wait for a writer.
    struct stat info { };
    if (::stat(native.constData(), &info) != 0)
        return fail(open_failure_reason(errno));
    if (!S_ISREG(info.st_mode))
        return fail(not_regular_reason(info.st_mode));
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return fail(open_failure_reason(errno));
    // The name may have been given to something else since.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return fail(not_regular_reason(info.st_mode));
    }
    QByteArray data;
    if (info.st_size > file_size_limit) {
        ::close(fd);
        return fail(too_large_reason());
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
            return fail(unreadable_reason(system_reason(error)));
        }
        if (n == 0)
            break;
        data.append(chunk, n);
        if (data.size() > file_size_limit) {
            ::close(fd);
            return fail(too_large_reason());
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

bool replace_file(const QString &path, const QByteArray &content, QString &reason)
{
    struct stat old_file { };
    const QByteArray native = QFile::encodeName(path);
    const bool existed = ::stat(native.constData(), &old_file) == 0;
    // A file its owner made read-only stays as it is, though its folder
    // would let it be replaced.
    if (existed && ::access(native.constData(), W_OK) != 0) {
        reason = system_reason(errno);
        return false;
    }
    if (existed && old_file.st_nlink > 1)
        return write_in_place(path, content, reason);
    remove_leftovers(path);

    QString temporary;
    const int fd = open_temporary(path, existed ? 0600 : 0666, temporary);
    if (fd < 0) {
        reason = system_reason(errno);
        // A folder that refuses the new file may still let the old one be
        // written.
        return existed && write_in_place(path, content, reason);
    }
    const QByteArray temporary_native = QFile::encodeName(temporary);
    if (existed) {
        const bool same_owner = old_file.st_uid == ::geteuid() && old_file.st_gid == ::getegid();
        if ((!same_owner && ::fchown(fd, old_file.st_uid, old_file.st_gid) != 0)
            || ::fchmod(fd, old_file.st_mode & 07777) != 0) {
            ::close(fd);
            ::unlink(temporary_native.constData());
            return write_in_place(path, content, reason);
        }
    }
    const bool written = write_all(fd, content) && ::fsync(fd) == 0;
    const int error = errno;
    if (::close(fd) != 0 || !written
        || ::rename(temporary_native.constData(), native.constData()) != 0) {
        reason = system_reason(written ? errno : error);
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

#else

std::optional<QByteArray> read_file(const QString &path, QString *reason)
{
    const auto fail = [reason](const QString &why) -> std::optional<QByteArray> {
        if (reason)
            *reason = why;
        return std::nullopt;
    };
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return fail(QStringLiteral("它不是普通文件"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (info.exists() && !info.isReadable())
            return fail(QStringLiteral("没有读取权限（%1）").arg(file.errorString()));
        return fail(unreadable_reason(file.errorString()));
    }
    if (file.size() > file_size_limit)
        return fail(too_large_reason());
    QByteArray data = file.read(file_size_limit + 1);
    if (file.error() != QFileDevice::NoError)
        return fail(unreadable_reason(file.errorString()));
    if (data.size() > file_size_limit)
        return fail(too_large_reason());
    return data;
}

// A lock file beside the file, or, where its folder takes no new file, one in
// the temporary folder named after the file. A lock left by a process that
// died is taken over.
struct file_lock::state {
    std::unique_ptr<QLockFile> lock;
    bool locked = false;
};

file_lock::file_lock(const QString &target)
    : state_(std::make_unique<state>())
{
    const QString absolute = QFileInfo(target).absoluteFilePath();
    const QString hashed = QStringLiteral("orvalin-")
        + QString::fromLatin1(
            QCryptographicHash::hash(absolute.toUtf8(), QCryptographicHash::Sha1).toHex())
        + QStringLiteral(".lock");
    for (const QString &place :
        { absolute + QStringLiteral(".lock"), QDir::temp().filePath(hashed) }) {
        auto &lock = state_->lock;
        lock = std::make_unique<QLockFile>(place);
        const auto deadline = std::chrono::steady_clock::now() + lock_wait;
        while (!lock->tryLock(0) && lock->error() == QLockFile::LockFailedError
            && std::chrono::steady_clock::now() < deadline)
            pause_for_lock();
        if (lock->isLocked()) {
            state_->locked = true;
            return;
        }
        // Held by another writer all along: give up rather than write
        // without it.
        if (lock->error() == QLockFile::LockFailedError)
            return;
    }
}

file_lock::~file_lock() = default;

bool replace_file(const QString &path, const QByteArray &content, QString &reason)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()
        || !file.flush() || !file.commit()) {
        reason = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

#endif

bool file_lock::locked() const
{
    return state_->locked;
}

} // namespace orvalin::profile_store
