#include "link/port_list.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

using namespace orvalin;

// list_serial_devices on a machine made in a temporary folder: sysfs with a
// USB adapter, an on-board port with and one without a UART, a virtual
// console; /dev with by-id and by-path links; the program and data folders
// with COM entries; a lock file and /proc/locks.
class tst_port_list : public QObject {
    Q_OBJECT

private slots:
    void init();
    void lists_devices_with_numbers_names_and_adapters();
    void in_use_by_device_lock_or_live_lock_file_data();
    void in_use_by_device_lock_or_live_lock_file();
    void stable_name_and_description();

private:
    QString path(const QString &relative) const { return root_->filePath(relative); }
    void file(const QString &relative, const QByteArray &content = {});
    void link(const QString &target, const QString &relative);
    const serial_device *find(const QList<serial_device> &list, const QString &relative) const;

    std::unique_ptr<QTemporaryDir> root_;
    device_tree tree_;
};

void tst_port_list::file(const QString &relative, const QByteArray &content)
{
    QVERIFY(QDir(root_->path()).mkpath(QFileInfo(path(relative)).path()));
    QFile out(path(relative));
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(content);
}

void tst_port_list::link(const QString &target, const QString &relative)
{
    QVERIFY(QDir(root_->path()).mkpath(QFileInfo(path(relative)).path()));
    // "../x" stays relative to the link, as udev makes them; "dev/x" is in the tree.
    const bool as_is = target.startsWith(u'/') || target.startsWith(QLatin1String(".."));
    QVERIFY2(QFile::link(as_is ? target : path(target), path(relative)), qPrintable(relative));
}

const serial_device *tst_port_list::find(
    const QList<serial_device> &list, const QString &relative) const
{
    const QString wanted = relative.startsWith(u'/') ? relative : path(relative);
    for (const serial_device &device : list) {
        if (device.path == wanted)
            return &device;
    }
    return nullptr;
}

void tst_port_list::init()
{
#ifndef Q_OS_UNIX
    QSKIP("sysfs and device links are Linux's");
#endif
    root_ = std::make_unique<QTemporaryDir>();
    QVERIFY(root_->isValid());
    tree_.class_tty = path("sys/class/tty");
    tree_.by_id = path("dev/serial/by-id");
    tree_.by_path = path("dev/serial/by-path");
    tree_.lock_dirs = { path("lock") };
    tree_.proc = path("proc");
    tree_.folders = port_folders { path("program"), path("data"), path("dev") };
    // The devices here are plain files.
    tree_.check = [](const QString &entry) {
        return QFileInfo(entry).isFile() ? port_failure {} : check_device(entry);
    };
    QVERIFY(QDir(root_->path()).mkpath("program"));
    QVERIFY(QDir(root_->path()).mkpath("data"));
    QVERIFY(QDir(root_->path()).mkpath("lock"));
    QVERIFY(QDir(root_->path()).mkpath("proc/4242"));

    // A USB adapter: tty -> interface -> USB device with the ids.
    const QString usb = "sys/devices/usb1/1-2";
    file(usb + "/idVendor", "0403\n");
    file(usb + "/idProduct", "6001\n");
    file(usb + "/manufacturer", "FTDI\n");
    file(usb + "/product", "FT232R USB UART\n");
    file(usb + "/serial", "A50285BI\n");
    QVERIFY(QDir(root_->path()).mkpath(usb + "/1-2:1.0/ttyUSB0"));
    QVERIFY(QDir(root_->path()).mkpath("sys/bus/usb-serial/drivers/ftdi_sio"));
    link(usb + "/1-2:1.0/ttyUSB0", "sys/class/tty/ttyUSB0/device");
    link("sys/bus/usb-serial/drivers/ftdi_sio", usb + "/1-2:1.0/ttyUSB0/driver");
    // On-board ports: ttyS0 has a UART, ttyS1 is an empty slot.
    QVERIFY(QDir(root_->path()).mkpath("sys/devices/platform/serial8250/tty/ttyS0"));
    link("sys/devices/platform/serial8250/tty/ttyS0", "sys/class/tty/ttyS0/device");
    file("sys/class/tty/ttyS0/type", "4\n");
    link("sys/devices/platform/serial8250/tty/ttyS0", "sys/class/tty/ttyS1/device");
    file("sys/class/tty/ttyS1/type", "0\n");
    // A virtual console: no device.
    QVERIFY(QDir(root_->path()).mkpath("sys/class/tty/tty5"));
    for (const char *name : { "ttyUSB0", "ttyS0", "ttyS1", "tty5", "pts/3" })
        file(QStringLiteral("dev/") + QLatin1String(name));
    link("../../ttyUSB0", "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    link("../../ttyUSB0", "dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
    // Port 3 in the data folder to the adapter; port 1 in the program folder
    // to an emulator's terminal; port 9 broken.
    link("dev/ttyUSB0", "data/COM3");
    link("dev/pts/3", "program/COM1");
    link("dev/pts/3", "data/COM1"); // hidden by the program folder's
    link("dev/gone", "data/COM9");
    link("dev/ttyUSB0", "data/COM07"); // never looked up
}

void tst_port_list::lists_devices_with_numbers_names_and_adapters()
{
    const QList<serial_device> list = list_serial_devices(tree_);
    QStringList paths;
    for (const serial_device &device : list)
        paths.append(device.path.mid(root_->path().size() + 1));
    // Port 1 is COM1 (the emulator), so ttyS0 stands for no number: last.
    QCOMPARE(paths, (QStringList { "dev/pts/3", "dev/ttyUSB0", "data/COM9", "dev/ttyS0" }));

    const serial_device *usb = find(list, "dev/ttyUSB0");
    QCOMPARE(usb->numbers, QList<int> { 3 });
    QCOMPARE(usb->entries, QStringList { path("data/COM3") });
    QCOMPARE(usb->by_id,
        QStringList { path("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0") });
    QCOMPARE(usb->by_path.size(), 1);
    QVERIFY(usb->usb);
    QCOMPARE(usb->usb->vendor_id, "0403");
    QCOMPARE(usb->usb->product_id, "6001");
    QCOMPARE(usb->usb->manufacturer, "FTDI");
    QCOMPARE(usb->usb->product, "FT232R USB UART");
    QCOMPARE(usb->usb->serial, "A50285BI");
    QCOMPARE(usb->driver, "ftdi_sio");
    QCOMPARE(usb->use, port_use::free);

    const serial_device *pts = find(list, "dev/pts/3");
    QCOMPARE(pts->numbers, QList<int> { 1 });
    QCOMPARE(pts->entries.size(), 2);
    QVERIFY(!pts->usb);

    const serial_device *onboard = find(list, "dev/ttyS0");
    QVERIFY(onboard->numbers.isEmpty());
    QVERIFY(!onboard->no_hardware);

    const serial_device *broken = find(list, "data/COM9");
    QCOMPARE(broken->numbers, QList<int> { 9 });
    QCOMPARE(broken->problem.problem, port_problem::missing);
    QVERIFY2(broken->problem.system_text.contains("does not exist"),
        qPrintable(broken->problem.system_text));

    // Without the emulator's entries port 1 is ttyS0 again, and an empty
    // slot shows once an entry leads to it.
    QVERIFY(QFile::remove(path("program/COM1")));
    QVERIFY(QFile::remove(path("data/COM1")));
    link("dev/ttyS1", "program/COM2");
    const QList<serial_device> again = list_serial_devices(tree_);
    QCOMPARE(find(again, "dev/ttyS0")->numbers, QList<int> { 1 });
    QVERIFY(!find(again, "dev/pts/3"));
    QVERIFY(find(again, "dev/ttyS1")->no_hardware);
    QCOMPARE(find(again, "dev/ttyS1")->numbers, QList<int> { 2 });
}

void tst_port_list::in_use_by_device_lock_or_live_lock_file_data()
{
    QTest::addColumn<QString>("holder"); // how the adapter is held
    QTest::addColumn<int>("use");
    QTest::addColumn<qint64>("pid");
    QTest::newRow("free") << "" << int(port_use::free) << qint64(0);
    QTest::newRow("device lock") << "flock" << int(port_use::ours) << qint64(4242);
    QTest::newRow("waiter only") << "waiter" << int(port_use::free) << qint64(0);
    // /proc/locks is read up to 1 MiB, however long it grows.
    QTest::newRow("device lock past the read limit")
        << "flock late" << int(port_use::free) << qint64(0);
    QTest::newRow("lock file, live") << "LCK..ttyUSB0" << int(port_use::other) << qint64(4242);
    QTest::newRow("lock file by entry")
        << "LCK..COM3" << int(port_use::other) << qint64(4242); // Qt names it as opened
    QTest::newRow("lock file, ended") << "LCK..ttyUSB0 dead" << int(port_use::free) << qint64(0);
}

void tst_port_list::in_use_by_device_lock_or_live_lock_file()
{
#ifdef Q_OS_UNIX
    QFETCH(QString, holder);
    QFETCH(int, use);
    QFETCH(qint64, pid);
    struct stat info { };
    QCOMPARE(::stat(QFile::encodeName(path("dev/ttyUSB0")).constData(), &info), 0);
    const QString identity = QStringLiteral("%1:%2:%3")
                                 .arg(major(info.st_dev), 2, 16, QLatin1Char('0'))
                                 .arg(minor(info.st_dev), 2, 16, QLatin1Char('0'))
                                 .arg(qulonglong(info.st_ino));
    QByteArray locks = "1: POSIX  ADVISORY  WRITE 77 00:01:5 0 EOF\n";
    if (holder == "flock late")
        locks += QByteArray(1 << 20, '\n');
    if (holder.startsWith("flock"))
        locks += "2: FLOCK  ADVISORY  WRITE 4242 " + identity.toLatin1() + " 0 EOF\n";
    if (holder == "waiter")
        locks += "2: -> FLOCK  ADVISORY  WRITE 4242 " + identity.toLatin1() + " 0 EOF\n";
    file("proc/locks", locks);
    if (holder.startsWith("LCK.."))
        file("lock/" + holder.section(u' ', 0, 0),
            holder.endsWith("dead") ? "999999\norvalin\nhost\n" : "     4242\norvalin\nhost\n");
    const QList<serial_device> list = list_serial_devices(tree_);
    const serial_device *usb = find(list, "dev/ttyUSB0");
    QCOMPARE(int(usb->use), use);
    QCOMPARE(usb->holder_pid, pid);
#endif
}

void tst_port_list::stable_name_and_description()
{
    QCOMPARE(stable_name_for(path("data/COM3"), tree_),
        path("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
    QCOMPARE(stable_name_for(path("dev/ttyS0"), tree_), QString());
    const auto described = describe_device(path("data/COM3"), tree_);
    QVERIFY(described);
    QCOMPARE(device_summary_zh(*described),
        path("dev/ttyUSB0") + "\nFT232R USB UART，FTDI，序列号 A50285BI");
    QVERIFY(!describe_device(path("dev/nothing"), tree_));
    const auto broken = describe_device(path("data/COM9"), tree_);
    QVERIFY(broken && broken->problem);
}

QTEST_GUILESS_MAIN(tst_port_list)
#include "tst_port_list.moc"
