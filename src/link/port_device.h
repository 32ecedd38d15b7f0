#pragma once

#include <QString>

#include <chrono>
#include <optional>

class QSerialPort;

namespace orvalin {

// The device that port number n stands for. On Windows "COM<n>". Elsewhere an
// entry "COM<n>" in the program directory (usually a symbolic link to a tty)
// wins; otherwise /dev/ttyS<n-1>. Empty when no device can stand for n.
QString device_for_port(int number, const QString &program_dir);

// Port selection for every program: text that is a whole decimal number is a
// port number (device_for_port). Text with a slash is a path: an absolute one
// is used as it stands ("/dev/serial/by-id/..."), a relative one is taken from
// relative_to (the current folder when empty), so "sub/../COM1" and "./COM1"
// name the same file. Other text is a device name ("ttyUSB0", "COM3"), except
// that outside Windows an entry of that name in relative_to wins.
QString device_for(
    const QString &port, const QString &program_dir, const QString &relative_to = QString());

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
