#include "link/port_list.h"

#include "system/numbers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace orvalin {

namespace {

// sysfs attributes and lock files are a line; /proc/locks is a line per lock.
constexpr qint64 attribute_limit = 256;
constexpr qint64 locks_limit = 1 << 20;
// From a tty's device to the USB device that has the ids: interface, then
// device (ttyUSB has one level more).
constexpr int usb_levels = 4;

// The start of path when it is a regular file, read without ever waiting (a
// FIFO put in place of a lock file is refused); empty otherwise.
QByteArray read_small(const QString &path, qint64 limit)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray data;
    struct stat info { };
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        data.resize(limit);
        qint64 total = 0;
        while (total < limit) {
            const ssize_t got = ::read(fd, data.data() + total, size_t(limit - total));
            if (got <= 0)
                break;
            total += got;
        }
        data.resize(total);
    }
    ::close(fd);
    return data;
#else
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return {};
    return file.read(limit);
#endif
}

QString attribute(const QString &dir, const char *name)
{
    return QString::fromUtf8(read_small(dir + u'/' + QLatin1String(name), attribute_limit))
        .trimmed();
}

// What identifies a device whatever name leads to it.
QString key_of(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QFileInfo(path).absoluteFilePath() : canonical;
}

std::optional<usb_adapter> usb_of(const QString &device_dir)
{
    QDir dir(QFileInfo(device_dir).canonicalFilePath());
    if (dir.path().isEmpty())
        return std::nullopt;
    for (int level = 0; level < usb_levels; ++level) {
        if (QFileInfo(dir.filePath(QStringLiteral("idVendor"))).isFile()) {
            const QString path = dir.path();
            return usb_adapter { attribute(path, "idVendor"), attribute(path, "idProduct"),
                attribute(path, "manufacturer"), attribute(path, "product"),
                attribute(path, "serial") };
        }
        if (!dir.cdUp())
            break;
    }
    return std::nullopt;
}

// A file's identity as /proc/locks writes it: "major:minor:inode", the
// numbers of the file system in hex.
QString lock_identity(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat info { };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return QStringLiteral("%1:%2:%3")
        .arg(uint(major(info.st_dev)), 2, 16, QLatin1Char('0'))
        .arg(uint(minor(info.st_dev)), 2, 16, QLatin1Char('0'))
        .arg(qulonglong(info.st_ino));
#else
    Q_UNUSED(path);
    return {};
#endif
}

// The holder's pid for each file identity with a whole-file lock.
QHash<QString, qint64> flock_holders(const QString &proc)
{
    QHash<QString, qint64> holders;
    const QByteArray text = read_small(proc + QStringLiteral("/locks"), locks_limit);
    for (const QByteArray &line : text.split('\n')) {
        // "1: FLOCK  ADVISORY  WRITE 4242 00:05:87 0 EOF"; a waiter's line
        // starts "1: -> FLOCK".
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields[1] != "FLOCK")
            continue;
        const auto pid = parse_whole(QString::fromLatin1(fields[4]), 1, 0x7fffffff);
        holders.insert(QString::fromLatin1(fields[5]).toLower(), pid ? *pid : 0);
    }
    return holders;
}

// The pid in a live Qt lock file for name (LCK..name); no value when there
// is none or its process has ended. 0 when the file names no pid.
std::optional<qint64> lock_file_holder(const device_tree &tree, const QString &name)
{
    for (const QString &dir : tree.lock_dirs) {
        const QString path = dir + QStringLiteral("/LCK..") + name;
        if (!QFileInfo(path).isFile())
            continue;
        const QByteArray text = read_small(path, attribute_limit);
        const auto pid = parse_whole(QString::fromLatin1(text.split('\n').front()), 1, 0x7fffffff);
        if (!pid)
            return 0;
        if (QFileInfo::exists(tree.proc + u'/' + QString::number(*pid)))
            return *pid;
    }
    return std::nullopt;
}

void find_use(serial_device &device, const device_tree &tree, const QHash<QString, qint64> &flocks)
{
    if (const auto held = flocks.constFind(lock_identity(device.path)); held != flocks.cend()) {
        device.use = port_use::ours;
        device.holder_pid = *held;
        return;
    }
    QStringList names { device.path };
    names += device.entries + device.by_id + device.by_path;
    for (const QString &name : names) {
        if (const auto pid = lock_file_holder(tree, QFileInfo(name).fileName())) {
            device.use = port_use::other;
            device.holder_pid = *pid;
            return;
        }
    }
}

// Every row, hidden ones included.
QList<serial_device> all_rows(const device_tree &tree)
{
    QList<serial_device> rows;
    QHash<QString, qsizetype> by_key;
    const auto row_for = [&](const QString &path) -> serial_device & {
        const QString key = key_of(path);
        auto found = by_key.constFind(key);
        if (found == by_key.cend()) {
            serial_device device;
            device.path = QFileInfo(path).canonicalFilePath().isEmpty()
                ? path
                : QFileInfo(path).canonicalFilePath();
            rows.append(device);
            found = by_key.insert(key, rows.size() - 1);
        }
        return rows[*found];
    };

    const QDir::Filters every
        = QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot;
    for (const QString &name : QDir(tree.class_tty).entryList(every, QDir::Name)) {
        const QString sys = tree.class_tty + u'/' + name;
        // Virtual consoles and pseudo-terminals have no device behind them.
        const QString device_dir = sys + QStringLiteral("/device");
        if (!QFileInfo::exists(device_dir))
            continue;
        serial_device &device = row_for(QDir(tree.folders.dev_dir).filePath(name));
        device.usb = usb_of(device_dir);
        const QFileInfo driver(device_dir + QStringLiteral("/driver"));
        device.driver = QFileInfo(driver.canonicalFilePath()).fileName();
        // An 8250 port slot the kernel keeps without a UART behind it.
        device.no_hardware = name.startsWith(QLatin1String("ttyS"))
            && attribute(sys, "type") == QLatin1String("0");
    }

    QList<int> numbers;
    static const QRegularExpression entry_name(QStringLiteral("^COM([0-9]+)$"));
    for (const QString &dir : { tree.folders.program_dir, tree.folders.data_dir }) {
        if (dir.isEmpty())
            continue;
        for (const QString &name : QDir(dir).entryList({ QStringLiteral("COM*") }, every)) {
            const auto match = entry_name.match(name);
            const auto number = match.hasMatch()
                ? parse_whole(match.captured(1), 0, std::numeric_limits<int>::max())
                : std::nullopt;
            // "COM01" is never looked up: port 1 is "COM1".
            if (!number || QString::number(*number) != match.captured(1))
                continue;
            const QString entry = QDir(dir).filePath(name);
            const port_failure problem = tree.check(entry);
            serial_device &device = row_for(entry);
            device.entries.append(entry);
            if (problem) {
                device.path = entry;
                device.problem = problem;
            }
            numbers.append(*number);
        }
    }
    static const QRegularExpression onboard(QStringLiteral("/ttyS([0-9]+)$"));
    for (const serial_device &device : std::as_const(rows)) {
        const auto match = onboard.match(device.path);
        if (const auto index = match.hasMatch()
                ? parse_whole(match.captured(1), 0, std::numeric_limits<int>::max() - 1)
                : std::nullopt)
            numbers.append(*index + 1);
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    for (const int number : std::as_const(numbers)) {
        const auto found = by_key.constFind(key_of(device_for_port(number, tree.folders)));
        if (found != by_key.cend())
            rows[*found].numbers.append(number);
    }

    for (const auto &[dir, names] : { std::pair { tree.by_id, &serial_device::by_id },
             std::pair { tree.by_path, &serial_device::by_path } }) {
        for (const QString &name : QDir(dir).entryList(every, QDir::Name)) {
            const QString link = dir + u'/' + name;
            const auto found = by_key.constFind(key_of(link));
            if (found != by_key.cend())
                (rows[*found].*names).append(link);
        }
    }

    const QHash<QString, qint64> flocks = flock_holders(tree.proc);
    for (serial_device &device : rows) {
        if (!device.problem)
            find_use(device, tree, flocks);
    }
    return rows;
}

} // namespace

device_tree installed_device_tree()
{
    device_tree tree;
    tree.folders = installed_port_folders();
    return tree;
}

QList<serial_device> list_serial_devices(const device_tree &tree)
{
    QList<serial_device> rows = all_rows(tree);
    rows.removeIf(
        [](const serial_device &device) { return device.no_hardware && device.entries.isEmpty(); });
    std::stable_sort(rows.begin(), rows.end(), [](const serial_device &a, const serial_device &b) {
        const int first_a = a.numbers.isEmpty() ? std::numeric_limits<int>::max() : a.numbers[0];
        const int first_b = b.numbers.isEmpty() ? std::numeric_limits<int>::max() : b.numbers[0];
        return first_a != first_b ? first_a < first_b : a.path < b.path;
    });
    return rows;
}

std::optional<serial_device> describe_device(const QString &device, const device_tree &tree)
{
    if (device.isEmpty() || !(QFileInfo::exists(device) || QFileInfo(device).isSymLink()))
        return std::nullopt;
    const QString key = key_of(device);
    for (serial_device &row : all_rows(tree)) {
        if (key_of(row.path) == key || row.entries.contains(device))
            return std::move(row);
    }
    serial_device alone;
    alone.path = key;
    alone.problem = tree.check(device);
    return alone;
}

QString stable_name_for(const QString &device, const device_tree &tree)
{
    const QString key = key_of(device);
    const QDir::Filters every = QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot;
    for (const QString &name : QDir(tree.by_id).entryList(every, QDir::Name)) {
        const QString link = tree.by_id + u'/' + name;
        if (QFileInfo::exists(link) && key_of(link) == key)
            return link;
    }
    return {};
}

QString device_summary_zh(const serial_device &device)
{
    QString text = device.path;
    if (device.problem)
        return text + QStringLiteral("：") + problem_text_zh(device.problem.problem);
    if (device.usb) {
        QStringList parts;
        for (const QString &part : { device.usb->product, device.usb->manufacturer })
            if (!part.isEmpty())
                parts.append(part);
        if (!device.usb->serial.isEmpty())
            parts.append(QStringLiteral("序列号 ") + device.usb->serial);
        if (!parts.isEmpty())
            text += QStringLiteral("\n") + parts.join(QStringLiteral("，"));
    }
    if (device.no_hardware)
        text += QStringLiteral("（无硬件）");
    return text;
}

} // namespace orvalin
