#pragma once

#include "link/line_port.h"
#include "link/port_device.h"
#include "link/serial_port.h"

#include <QByteArray>

namespace orvalin {

// The panel's serial port as a thin adapter over the one line port
// (qt_line_port): that one opens, locks, writes, discards and notices a
// lost line for every program; this one adds what the panel's control
// works by: a port number, a receive threshold and a byte-at-a-time input.
// When the open port fails (device unplugged, far side of a pseudo-terminal
// gone) it is closed at once and port_lost is raised once, later, from the
// event loop.
class qt_serial_port final : public serial_port {
    Q_OBJECT

public:
    // Port numbers are looked up in folders (installed_port_folders() for the
    // panel).
    explicit qt_serial_port(port_folders folders, QObject *parent = nullptr);

    void set_comm_port(std::int16_t number) override;
    bool open() override;
    void close() override;
    bool is_open() const override;
    void set_rthreshold(int bytes) override;
    void discard_input() override;
    qint64 in_buffer_count() const override;
    void output(const frame &bytes) override;
    int comm_event() const override;
    std::optional<std::uint8_t> input() override;
    QString device() const override;
    QString error_string() const override;
    port_problem problem() const override;
    QString device_for_number(std::int16_t number) const override;

private:
    void on_ready_read();

    qt_line_port line_;
    port_folders folders_;
    // What the line delivered and input() has not taken yet.
    QByteArray received_;
    std::int16_t number_ = 0;
    int rthreshold_ = 0;
    int comm_event_ = 0;
    // Worked out at each open, so that the messages name the device that
    // was tried even after the program directory changed.
    QString device_;
    port_failure failure_;
};

} // namespace orvalin
