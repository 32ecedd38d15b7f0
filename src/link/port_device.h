#pragma once

#include <QString>

#include <chrono>
#include <optional>

class QSerialPort;

namespace orvalin {

// Where port numbers are looked up. The folders are parameters so that tests
// pass a tree of their own.
struct port_folders {
    QString program_dir;
    // The user's folder for port entries; empty: none.
    QString data_dir = {};
    QString dev_dir = QStringLiteral("/dev");
};
// The program's folder and the user's data folder (where an installed
// program keeps name.txt as well: toolkit::app_data_directory()).
port_folders installed_port_folders();

// The device that port number n stands for. On Windows "COM<n>". Elsewhere,
// in this order: an entry "COM<n>" in the program folder (usually a symbolic
// link to a tty), an entry "COM<n>" in the user's data folder, then
// dev_dir/ttyS<n-1>. An entry counts even when it is broken (a dangling link),
// so that opening it says what is wrong with it. Empty when no device can
// stand for n.
QString device_for_port(int number, const port_folders &folders);

// Port selection for every program: text that is a whole decimal number is a
// port number (device_for_port). Text with a slash is a path: an absolute one
// is used as it stands ("/dev/serial/by-id/..."), a relative one is taken from
// relative_to (the current folder when empty), so "sub/../COM1" and "./COM1"
// name the same file. Other text is a device name ("ttyUSB0", "COM3"), except
// that outside Windows an entry of that name in relative_to wins.
QString device_for(
    const QString &port, const port_folders &folders, const QString &relative_to = QString());

// Why a port could not be opened or was lost, in the terms the user acts on.
enum class port_problem {
    none,
    missing, // no such device
    busy, // another program holds it
    no_permission, // the user may not open it
    not_serial, // it exists but is no serial device
    unplugged, // it went away while open
    other,
};

struct port_failure {
    port_problem problem = port_problem::none;
    // The system's own words, for the brackets after our explanation.
    QString system_text;

    explicit operator bool() const { return problem != port_problem::none; }
};

// The line as open_line sets it up: 9600 baud, 10 bits a byte (start, 8
// data, stop), so a frame takes 8.3 ms and an exchange (command out, reply
// back) at least 16.7 ms plus the module's turnaround.
inline constexpr int line_baud = 9600;
inline constexpr std::chrono::microseconds byte_time { 10'000'000 / line_baud };
inline constexpr std::chrono::microseconds frame_time = 8 * byte_time;
inline constexpr std::chrono::microseconds exchange_time = 2 * frame_time;

// Why device cannot be a serial line, found without opening it, so that a
// FIFO or a link loop never blocks: a dangling link (missing, naming its
// target), a link loop, a folder, a regular file, a FIFO or a socket
// (not_serial, saying which). No problem for a character device, or where
// the system cannot tell (Windows names).
port_failure check_device(const QString &device);

// Opens device on port at 9600 baud, 8 data bits, no parity, 1 stop bit, no
// flow control, raw bytes, and takes an exclusive lock on the device itself
// (the resolved path, so two names for one device are one port, for root
// too). On failure the port is closed.
port_failure open_line(QSerialPort &port, const QString &device);

// For an error reported by the open port: when it ends the line (device
// unplugged, far side gone), closes the port at once, since a dead
// descriptor left open keeps its notifier firing, and says why. No value
// for errors that do not end an open line.
std::optional<port_failure> lost_line(QSerialPort &port, int error);

// One short Chinese phrase for the panel's messages.
QString problem_text_zh(port_problem problem);
// One short English phrase for orvalinctl and the service's log.
QString problem_text_en(port_problem problem);

} // namespace orvalin
