#include "service/regular_file.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace orvalin::service {

#ifdef Q_OS_UNIX
namespace {

QString kind_of(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("is a directory");
    if (S_ISFIFO(mode))
        return QStringLiteral("is not a regular file (a FIFO)");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("is not a regular file (a device)");
    if (S_ISSOCK(mode))
        return QStringLiteral("is not a regular file (a socket)");
    return QStringLiteral("is not a regular file");
}

} // namespace

std::optional<regular_file> read_regular_file(
    const QString &path, qint64 max_bytes, QString &problem)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer; the type is checked on the very file opened.
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        problem = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    struct stat info { };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = kind_of(info.st_mode);
        ::close(fd);
        return std::nullopt;
    }
    regular_file file;
    file.mode = int(info.st_mode & 07777);
    const qint64 want = max_bytes + 1;
    file.data.resize(want);
    qint64 got = 0;
    while (got < want) {
        const auto n = ::read(fd, file.data.data() + got, size_t(want - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            problem = QString::fromLocal8Bit(std::strerror(errno));
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        got += n;
    }
    ::close(fd);
    file.data.truncate(got);
    return file;
}
#else
std::optional<regular_file> read_regular_file(
    const QString &path, qint64 max_bytes, QString &problem)
{
    const QFileInfo info(path);
    if (info.exists() && info.isDir()) {
        problem = QStringLiteral("is a directory");
        return std::nullopt;
    }
    if (info.exists() && !info.isFile()) {
        problem = QStringLiteral("is not a regular file");
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
        return std::nullopt;
    }
    return regular_file { file.read(max_bytes + 1), 0 };
}
#endif

} // namespace orvalin::service
