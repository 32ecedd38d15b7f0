#include "link/port_device.h"

#include "system/numbers.h"
#include "system/toolkit.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPort>

#include <limits>

#ifdef Q_OS_UNIX
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace orvalin {

port_folders installed_port_folders()
{
    return port_folders { toolkit::program_directory(), toolkit::app_data_directory() };
}

QString device_for_port(int number, const port_folders &folders)
{
    if (number < 0)
        return {};
#ifdef Q_OS_WIN
    Q_UNUSED(folders);
    return number == 0 ? QString() : QStringLiteral("COM%1").arg(number);
#else
    const QString name = QStringLiteral("COM%1").arg(number);
    for (const QString &dir : { folders.program_dir, folders.data_dir }) {
        if (dir.isEmpty())
            continue;
        const QString link = QDir(dir).filePath(name);
        const QFileInfo entry(link);
        if (entry.exists() || entry.isSymLink())
            return QDir::toNativeSeparators(link);
    }
    if (number == 0)
        return {};
    return QDir(folders.dev_dir).filePath(QStringLiteral("ttyS%1").arg(number - 1));
#endif
}

QString device_for(const QString &port, const port_folders &folders, const QString &relative_to)
{
    const QString text = port.trimmed();
    const auto number = parse_whole(text, 0, std::numeric_limits<int>::max());
    if (!number) {
        const QDir base(relative_to.isEmpty() ? QDir::currentPath() : relative_to);
#ifdef Q_OS_WIN
        // "COM3" and "\\.\COM10" go to the system as they stand.
        const bool path = port.contains(u'/') || port.contains(u'\\');
        if (!path || QDir::isAbsolutePath(port))
            return port;
        return QDir::toNativeSeparators(base.absoluteFilePath(port));
#else
        if (port.isEmpty() || port.startsWith(u'/'))
            return port;
        // Qt would look for a name without "./" or "../" in front under /dev.
        const QString local = base.absoluteFilePath(port);
        if (port.contains(u'/'))
            return local;
        const QFileInfo entry(local);
        return entry.exists() || entry.isSymLink() ? local : port;
#endif
    }
    return device_for_port(*number, folders);
}

namespace {

port_failure failure(port_problem problem, QString text)
{
    return port_failure { problem, std::move(text) };
}

bool in_use_text(const QString &text)
{
    static const char lock_held[] = "Permission error while locking the device";
    if (text == QLatin1String(lock_held) || text == QSerialPort::tr(lock_held))
        return true;
#ifdef Q_OS_UNIX
    return text == QString::fromLocal8Bit(std::strerror(EBUSY));
#else
    return false;
#endif
}

// QSerialPort's open errors carry the errno text; sort them by what the user
// has to do about them.
port_failure classify_open_error(const QSerialPort &port, const QString &device)
{
    const QString text = port.errorString();
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return failure(port_problem::missing, text);
    case QSerialPort::PermissionError: {
        // Qt says "permission" both for a refused open and for a port that
        // another opener holds: its own lock file under the same name, or a
        // terminal in exclusive mode (EBUSY).
        if (in_use_text(text))
            return failure(port_problem::busy, text);
        const QFileInfo info(device);
        if (info.exists() && info.isReadable() && info.isWritable())
            return failure(port_problem::busy, text);
        return failure(port_problem::no_permission, text);
    }
    case QSerialPort::OpenError:
        return failure(port_problem::busy, text);
    case QSerialPort::UnsupportedOperationError:
        return failure(port_problem::not_serial, text);
    default:
        break;
    }
    const QFileInfo info(device);
    if (!info.exists())
        return failure(port_problem::missing, text);
    if (info.isDir() || info.isFile())
        return failure(port_problem::not_serial, text);
    if (text.contains(QLatin1String("ioctl"), Qt::CaseInsensitive))
        return failure(port_problem::not_serial, text);
    return failure(port_problem::other, text);
}

} // namespace

port_failure check_device(const QString &device)
{
#ifdef Q_OS_UNIX
    // A bare name ("ttyUSB0") is Qt's to find under /dev.
    if (!device.contains(u'/'))
        return {};
    const QByteArray path = QFile::encodeName(device);
    struct stat entry { };
    if (::lstat(path.constData(), &entry) != 0)
        return failure(port_problem::missing, QString::fromLocal8Bit(std::strerror(errno)));
    struct stat target { };
    if (::stat(path.constData(), &target) != 0) {
        const int error = errno;
        if (error == ELOOP)
            return failure(port_problem::not_serial,
                QStringLiteral("a loop of symbolic links: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(error))));
        if (error == ENOENT && S_ISLNK(entry.st_mode))
            return failure(port_problem::missing,
                QStringLiteral("a symbolic link to %1, which does not exist")
                    .arg(QFileInfo(device).symLinkTarget()));
        return failure(port_problem::other, QString::fromLocal8Bit(std::strerror(error)));
    }
    if (S_ISCHR(target.st_mode))
        return {};
    const char *what = S_ISDIR(target.st_mode) ? "a folder"
        : S_ISREG(target.st_mode)              ? "a regular file"
        : S_ISFIFO(target.st_mode)             ? "a FIFO"
        : S_ISSOCK(target.st_mode)             ? "a socket"
        : S_ISBLK(target.st_mode)              ? "a block device"
                                               : "no character device";
    return failure(port_problem::not_serial,
        QStringLiteral("%1, not a character device").arg(QLatin1String(what)));
#else
    Q_UNUSED(device);
    return {};
#endif
}

port_failure open_line(QSerialPort &port, const QString &device)
{
    if (device.isEmpty())
        return failure(port_problem::missing, QString());
    if (const port_failure wrong = check_device(device)) {
        if (port.isOpen())
            port.close();
        port.setPortName(device);
        return wrong;
    }
    if (port.isOpen())
        port.close();
    port.setPortName(device);
    port.setBaudRate(QSerialPort::Baud9600);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    port.setReadBufferSize(0);
    if (!port.open(QIODevice::ReadWrite)) {
        const port_failure result = classify_open_error(port, device);
        port.close();
        return result;
    }
#ifdef Q_OS_UNIX
    // QSerialPort's own lock is per name and its exclusive mode does not stop
    // root; a lock on the open device holds for every name and every user.
    // A device that takes no locks at all is used unlocked, as before.
    if (::flock(int(port.handle()), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        port.close();
        return failure(port_problem::busy, QString::fromLocal8Bit(std::strerror(EWOULDBLOCK)));
    }
#endif
    // Settings are applied on open; refuse a device that will not take them
    // rather than run at some other speed.
    if (port.baudRate() != QSerialPort::Baud9600 || port.dataBits() != QSerialPort::Data8
        || port.parity() != QSerialPort::NoParity || port.stopBits() != QSerialPort::OneStop) {
        port.close();
        return failure(port_problem::not_serial,
            QStringLiteral(
                "the device does not accept 9600 baud, 8 data bits, no parity, 1 stop bit"));
    }
    port.clearError();
    return {};
}

std::optional<port_failure> lost_line(QSerialPort &port, int error)
{
    switch (QSerialPort::SerialPortError(error)) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::PermissionError:
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::UnknownError:
        break;
    default:
        // Open-time and configuration errors are reported by open_line.
        return std::nullopt;
    }
    if (!port.isOpen())
        return std::nullopt;
    QString text = port.errorString();
#ifdef Q_OS_UNIX
    // A read error on an open port is mostly end of data: the device was
    // unplugged or the far side of a pseudo-terminal closed. The read sets no
    // errno then, and the text QSerialPort gives is left over from an earlier
    // call.
    if (error == QSerialPort::ReadError)
        text.clear();
#endif
    port.close();
    return failure(port_problem::unplugged, text);
}

QString problem_text_zh(port_problem problem)
{
    switch (problem) {
    case port_problem::none:
        return {};
    case port_problem::missing:
        return QStringLiteral("串口不存在");
    case port_problem::busy:
        return QStringLiteral("串口已被其他程序占用");
    case port_problem::no_permission:
        return QStringLiteral("没有打开串口的权限");
    case port_problem::not_serial:
        return QStringLiteral("不是串口设备");
    case port_problem::unplugged:
        return QStringLiteral("设备已拔出或对端已关闭");
    case port_problem::other:
        break;
    }
    return QStringLiteral("串口无法使用");
}

QString problem_text_en(port_problem problem)
{
    switch (problem) {
    case port_problem::none:
        return {};
    case port_problem::missing:
        return QStringLiteral("no such device");
    case port_problem::busy:
        return QStringLiteral("busy: another program holds the port");
    case port_problem::no_permission:
        return QStringLiteral("no permission to open it");
    case port_problem::not_serial:
        return QStringLiteral("not a serial device");
    case port_problem::unplugged:
        return QStringLiteral("the device went away");
    case port_problem::other:
        break;
    }
    return QStringLiteral("cannot be used");
}

} // namespace orvalin
