// orvalinctl ports: the machine's serial devices and the port numbers that
// lead to them; ports assign/unassign: the user's own port numbers;
// ports --probe: which modules answer on each device not in use.

#include "cli/cli.h"
#include "cli/session.h"
#include "link/port_list.h"
#include "system/numbers.h"
#include "system/toolkit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace orvalin::cli {

namespace {

constexpr int first_assignable = 1;
constexpr int last_assignable = 255;

QString use_text(const serial_device &device)
{
    switch (device.use) {
    case port_use::free:
        return QStringLiteral("free");
    case port_use::ours:
    case port_use::other:
        break;
    }
    QString text = QStringLiteral("in-use");
    if (device.holder_pid > 0)
        text += QStringLiteral(" pid=%1").arg(device.holder_pid);
    if (device.use == port_use::other)
        text += QStringLiteral(" by=lock-file");
    return text;
}

QString numbers_text(const serial_device &device)
{
    QStringList numbers;
    for (const int number : device.numbers)
        numbers.append(QString::number(number));
    return numbers.isEmpty() ? QStringLiteral("-") : numbers.join(u',');
}

// key=value, quoted when the value has blanks (makers and products do).
QString pair_text(const char *key, const QString &value)
{
    const bool quote = value.contains(u' ') || value.contains(u'"') || value.isEmpty();
    QString shown = value;
    shown.replace(u'"', QStringLiteral("\\\""));
    return QLatin1String(key) + u'=' + (quote ? u'"' + shown + u'"' : shown);
}

void print_device(const serial_device &device, bool json)
{
    const auto text_or_null
        = [](const QString &text) { return text.isEmpty() ? QByteArray("null") : json_text(text); };
    if (json) {
        QJsonArray numbers;
        for (const int number : device.numbers)
            numbers.append(number);
        const usb_adapter usb = device.usb.value_or(usb_adapter {});
        print_json({
            { QLatin1String("ports"), json_text(numbers) },
            { QLatin1String("device"), json_text(device.path) },
            { QLatin1String("entries"), json_text(QJsonArray::fromStringList(device.entries)) },
            { QLatin1String("by_id"), json_text(QJsonArray::fromStringList(device.by_id)) },
            { QLatin1String("by_path"), json_text(QJsonArray::fromStringList(device.by_path)) },
            { QLatin1String("vendor_id"), text_or_null(usb.vendor_id) },
            { QLatin1String("product_id"), text_or_null(usb.product_id) },
            { QLatin1String("manufacturer"), text_or_null(usb.manufacturer) },
            { QLatin1String("product"), text_or_null(usb.product) },
            { QLatin1String("serial"), text_or_null(usb.serial) },
            { QLatin1String("driver"), text_or_null(device.driver) },
            { QLatin1String("no_hardware"), json_text(device.no_hardware) },
            { QLatin1String("in_use"),
                json_text(device.use == port_use::free ? QStringLiteral("free")
                        : device.use == port_use::ours ? QStringLiteral("device-lock")
                                                       : QStringLiteral("lock-file")) },
            { QLatin1String("pid"),
                device.holder_pid > 0 ? json_text(double(device.holder_pid)) : "null" },
            { QLatin1String("problem"),
                device.problem ? json_text(problem_text_en(device.problem.problem)
                    + QStringLiteral(": ") + device.problem.system_text)
                               : "null" },
        });
        return;
    }
    QStringList fields { numbers_text(device), device.path };
    if (device.problem) {
        fields.append(
            QStringLiteral("wrong: %1 (%2)")
                .arg(problem_text_en(device.problem.problem), device.problem.system_text));
        print_line(fields.join(u' '));
        return;
    }
    for (const QString &name : device.by_id)
        fields.append(pair_text("by-id", name));
    for (const QString &name : device.by_path)
        fields.append(pair_text("by-path", name));
    for (const QString &entry : device.entries)
        fields.append(pair_text("entry", entry));
    if (device.usb) {
        fields.append(pair_text("usb", device.usb->vendor_id + u':' + device.usb->product_id));
        fields.append(pair_text("maker", device.usb->manufacturer));
        fields.append(pair_text("product", device.usb->product));
        fields.append(pair_text("serial", device.usb->serial));
    }
    if (!device.driver.isEmpty())
        fields.append(pair_text("driver", device.driver));
    if (device.no_hardware)
        fields.append(QStringLiteral("no-hardware"));
    fields.append(use_text(device));
    print_line(fields.join(u' '));
}

// The port number of assign and unassign.
std::optional<int> port_number(const QString &text)
{
    return parse_whole(text, first_assignable, last_assignable);
}

// Why path cannot be assigned: empty when it is a serial device. Sets code.
QString refuse_device(const QString &path, const device_tree &tree, int &code)
{
    const QFileInfo info(path);
    code = exit_usage;
    if (!info.exists()) {
        code = exit_port;
        return info.isSymLink() ? QStringLiteral("a symbolic link to a missing device")
                                : QStringLiteral("no such device");
    }
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(info.absoluteFilePath());
    // Says what it is instead (a folder, a FIFO, ...) without opening it.
    if (const port_failure wrong = check_device(info.absoluteFilePath())) {
        code = wrong.problem == port_problem::not_serial ? exit_usage : exit_port;
        return wrong.system_text;
    }
    // The kernel's serial ports are in sysfs; anything else (a
    // pseudo-terminal) must say it is a terminal. Opening a real port would
    // raise its modem lines, so those are not opened.
    const QString sys = tree.class_tty + u'/' + QFileInfo(info.canonicalFilePath()).fileName();
    if (QFileInfo::exists(sys + QStringLiteral("/device")))
        return {};
    const int fd = ::open(name.constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        code = exit_port;
        return QString::fromLocal8Bit(std::strerror(errno));
    }
    const bool terminal = ::isatty(fd);
    ::close(fd);
    if (!terminal)
        return QStringLiteral("not a serial device (no terminal)");
#else
    Q_UNUSED(tree);
    if (info.isDir())
        return QStringLiteral("a folder, not a device");
#endif
    return {};
}

int assign(const QStringList &arguments, const device_tree &tree)
{
    const auto number = port_number(arguments.value(1));
    if (!number)
        return usage_failure(QStringLiteral("ports assign: '%1' is not a port number %2-%3")
                                 .arg(arguments.value(1))
                                 .arg(first_assignable)
                                 .arg(last_assignable));
    QString device = arguments.value(2);
    if (!device.contains(u'/'))
        device = QDir(tree.folders.dev_dir).filePath(device);
    device = QFileInfo(device).absoluteFilePath();
    int code = exit_ok;
    if (const QString why = refuse_device(device, tree, code); !why.isEmpty()) {
        print_error(QStringLiteral("ports assign: %1: %2; nothing changed").arg(device, why));
        return code;
    }
    const QString stable = stable_name_for(device, tree);
    const QString target = stable.isEmpty() ? device : stable;

    const QString folder = tree.folders.data_dir;
    if (!QDir().mkpath(folder) || !toolkit::directory_writable(folder)) {
        print_error(QStringLiteral("ports assign: the folder %1 cannot be written; nothing changed")
                        .arg(folder));
        return exit_port;
    }
    const QString entry = QDir(folder).filePath(QStringLiteral("COM%1").arg(*number));
    const QFileInfo old(entry);
    const QString old_target = old.isSymLink() ? old.symLinkTarget() : QString();
    if ((old.exists() || old.isSymLink()) && !old.isSymLink()) {
        print_error(QStringLiteral("ports assign: %1 is not a symbolic link; left alone, nothing "
                                   "changed")
                        .arg(entry));
        return exit_port;
    }
    // A new link put in place in one step: the port never leads nowhere.
    const QString fresh = entry + QStringLiteral(".new");
    QFile::remove(fresh);
    if (!QFile::link(target, fresh) || !QFile::rename(fresh, entry)) {
        // QFile::rename will not replace; the system's rename does.
#ifdef Q_OS_UNIX
        if (!QFileInfo(fresh).isSymLink()
            || ::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(entry).constData())
                != 0) {
            QFile::remove(fresh);
            print_error(QStringLiteral("ports assign: cannot make %1 (%2); nothing changed")
                            .arg(entry, QString::fromLocal8Bit(std::strerror(errno))));
            return exit_port;
        }
#else
        QFile::remove(fresh);
        print_error(QStringLiteral("ports assign: cannot make %1; nothing changed").arg(entry));
        return exit_port;
#endif
    }
    QString said = QStringLiteral("port %1: %2 -> %3").arg(*number).arg(entry, target);
    if (!old_target.isEmpty())
        said += QStringLiteral(" (was -> %1)").arg(old_target);
    print_line(said);
    const QString first = device_for_port(*number, tree.folders);
    if (first != entry)
        print_error(QStringLiteral("note: %1 comes first, so port %2 still leads there")
                        .arg(first)
                        .arg(*number));
    return exit_ok;
}

int unassign(const QStringList &arguments, const device_tree &tree)
{
    const auto number = port_number(arguments.value(1));
    if (!number)
        return usage_failure(QStringLiteral("ports unassign: '%1' is not a port number %2-%3")
                                 .arg(arguments.value(1))
                                 .arg(first_assignable)
                                 .arg(last_assignable));
    const QString entry
        = QDir(tree.folders.data_dir).filePath(QStringLiteral("COM%1").arg(*number));
    const QFileInfo info(entry);
    if (!info.exists() && !info.isSymLink()) {
        print_line(QStringLiteral("port %1: no entry %2; nothing removed").arg(*number).arg(entry));
        return exit_ok;
    }
    // Only what assign could have made: a file or folder there is the user's.
    if (!info.isSymLink()) {
        print_error(
            QStringLiteral("ports unassign: %1 is not a symbolic link; left alone").arg(entry));
        return exit_port;
    }
    const QString target = info.symLinkTarget();
    if (!QFile::remove(entry)) {
        print_error(QStringLiteral("ports unassign: cannot remove %1").arg(entry));
        return exit_port;
    }
    print_line(QStringLiteral("port %1: removed %2 (-> %3)").arg(*number).arg(entry, target));
    return exit_ok;
}

// Polls range on every listed device that is free, one after the other.
int probe(const settings &options, const QList<serial_device> &devices, std::pair<int, int> range)
{
    for (const serial_device &device : devices) {
        if (device.problem)
            continue;
        if (device.use != port_use::free) {
            if (options.json)
                print_json({ { QLatin1String("device"), json_text(device.path) },
                    { QLatin1String("skipped"), json_text(QStringLiteral("in use")) },
                    { QLatin1String("pid"),
                        device.holder_pid > 0 ? json_text(double(device.holder_pid)) : "null" } });
            else
                print_line(QStringLiteral("%1: skipped, %2").arg(device.path, use_text(device)));
            continue;
        }
        settings one = options;
        one.port = device.path;
        session line(one);
        if (line.open() != exit_ok)
            continue; // said why on standard error
        if (!options.json)
            print_line(QStringLiteral("%1: addresses %2-%3")
                           .arg(device.path)
                           .arg(range.first)
                           .arg(range.second));
        scan_range(
            line, range, options.timeout,
            [&](const module_status &status) { print_module(status, options.json, device.path); },
            [&](int) { line.finish(exit_ok); });
        line.run();
    }
    return exit_ok;
}

} // namespace

int run_ports(const settings &options)
{
    const device_tree tree = installed_device_tree();
    const QString verb = options.arguments.value(0);
    if (!options.probe) {
        if (verb == QLatin1String("assign") && options.arguments.size() == 3)
            return assign(options.arguments, tree);
        if (verb == QLatin1String("unassign") && options.arguments.size() == 2)
            return unassign(options.arguments, tree);
        if (!options.arguments.isEmpty())
            return usage_failure(
                QStringLiteral("usage: orvalinctl ports [assign N DEVICE | unassign N]"));
    }
    std::pair range { 0, 255 };
    if (options.probe && options.arguments.size() > 1)
        return usage_failure(QStringLiteral("usage: orvalinctl ports --probe [FIRST-LAST]"));
    if (options.probe && !options.arguments.isEmpty()) {
        const auto parsed = parse_address_range(options.arguments[0]);
        if (!parsed)
            return usage_failure(QStringLiteral("'%1' is not a range FIRST-LAST within 0-255")
                                     .arg(options.arguments[0]));
        range = *parsed;
    }
    const QList<serial_device> devices = list_serial_devices(tree);
    if (options.probe)
        return probe(options, devices, range);
    for (const serial_device &device : devices)
        print_device(device, options.json);
    return exit_ok;
}

} // namespace orvalin::cli
