#pragma once

#include "link/port_device.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace orvalin {

// Where the machine's serial devices are found. Every root is a parameter so
// that tests pass a tree of their own.
struct device_tree {
    QString class_tty = QStringLiteral("/sys/class/tty");
    QString by_id = QStringLiteral("/dev/serial/by-id");
    QString by_path = QStringLiteral("/dev/serial/by-path");
    // Qt's lock files (LCK..name) of programs that use QSerialPort.
    QStringList lock_dirs { QStringLiteral("/var/lock"), QStringLiteral("/run/lock") };
    // locks (who holds a lock on which file) and one folder per process.
    QString proc = QStringLiteral("/proc");
    // Port numbers; dev_dir is where the devices of /sys/class/tty are.
    port_folders folders;
    // What is wrong with a COM<n> entry (a tree of plain files passes one
    // that takes its files for devices).
    std::function<port_failure(const QString &)> check = check_device;
};
// The machine's own tree, with installed_port_folders().
device_tree installed_device_tree();

enum class port_use {
    free,
    ours, // a lock on the device itself, as open_line takes it
    other, // a live Qt lock file under one of its names
};

struct usb_adapter {
    QString vendor_id; // "0403"
    QString product_id;
    QString manufacturer;
    QString product;
    QString serial;
};

struct serial_device {
    // The device itself, links followed; for a broken entry the entry.
    QString path;
    QList<int> numbers; // port numbers that lead to it, ascending
    QStringList entries; // COM<n> entries of both folders that lead to it
    QStringList by_id; // its stable names
    QStringList by_path;
    std::optional<usb_adapter> usb;
    QString driver; // the kernel's driver ("ftdi_sio", "serial8250")
    // An on-board port the kernel knows but whose UART is absent.
    bool no_hardware = false;
    port_use use = port_use::free;
    qint64 holder_pid = 0; // 0: not known
    // A COM<n> entry that cannot be a serial line: what is wrong with it.
    port_failure problem;
};

// Every serial device: /sys/class/tty entries with a device behind them (an
// on-board ttyS without a UART only when an entry leads to it), then the
// devices that COM<n> entries lead to (pseudo-terminals of the emulator),
// then broken entries. Sorted by the first port number, then by path.
QList<serial_device> list_serial_devices(const device_tree &tree);

// What device (any name for it) is, as list_serial_devices() says; no value
// when it leads to nothing that exists.
std::optional<serial_device> describe_device(const QString &device, const device_tree &tree);

// The stable name under tree.by_id that leads to the same device as device;
// empty when there is none.
QString stable_name_for(const QString &device, const device_tree &tree);

// One line for the panel's port box: device path, and for a USB adapter
// product, maker and serial number.
QString device_summary_zh(const serial_device &device);

} // namespace orvalin
