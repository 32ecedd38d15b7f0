#pragma once

#include "link/port_device.h"
#include "link/serial_port.h"

#include <QSerialPort>

namespace orvalin {

// The serial port on QSerialPort: 9600 baud, 8 data bits, no parity, 1 stop
// bit, no flow control, raw bytes, the device locked against every other
// opener (open_line). When the open port fails (device unplugged, far side of
// a pseudo-terminal gone) it is closed at once and port_lost is raised once,
// later, from the event loop.
class qt_serial_port final : public serial_port {
    Q_OBJECT

public:
    explicit qt_serial_port(QString program_dir, QObject *parent = nullptr);

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

private:
    void on_ready_read();
    void on_error(QSerialPort::SerialPortError error);

    QSerialPort port_;
    QString program_dir_;
    std::int16_t number_ = 0;
    int rthreshold_ = 0;
    int comm_event_ = 0;
    // Worked out at each open, so that the messages name the device that
    // was tried even after the program directory changed.
    QString device_;
    port_failure failure_;
};

} // namespace orvalin
