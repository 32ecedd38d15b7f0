#include "link/qt_serial_port.h"

namespace orvalin {

qt_serial_port::qt_serial_port(QString program_dir, QObject *parent)
    : serial_port(parent)
    , program_dir_(std::move(program_dir))
{
    connect(&port_, &QSerialPort::readyRead, this, &qt_serial_port::on_ready_read);
    connect(&port_, &QSerialPort::errorOccurred, this, &qt_serial_port::on_error);
}

void qt_serial_port::set_comm_port(std::int16_t number)
{
    number_ = number;
}

bool qt_serial_port::open()
{
    if (port_.isOpen())
        return true;
    device_ = device_for_port(number_, program_dir_);
    // An empty device (none for the number) fails as missing.
    failure_ = open_line(port_, device_);
    if (failure_)
        return false;
    comm_event_ = 0;
    return true;
}

void qt_serial_port::close()
{
    if (port_.isOpen())
        port_.close();
}

bool qt_serial_port::is_open() const
{
    return port_.isOpen();
}

void qt_serial_port::set_rthreshold(int bytes)
{
    rthreshold_ = bytes;
}

void qt_serial_port::discard_input()
{
    if (port_.isOpen())
        port_.clear(QSerialPort::Input);
}

qint64 qt_serial_port::in_buffer_count() const
{
    return port_.isOpen() ? port_.bytesAvailable() : 0;
}

void qt_serial_port::output(const frame &bytes)
{
    if (!port_.isOpen())
        return;
    port_.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size()));
    // Hand the frame to the driver now rather than on the next loop pass.
    port_.flush();
}

int qt_serial_port::comm_event() const
{
    return comm_event_;
}

std::optional<std::uint8_t> qt_serial_port::input()
{
    char byte = 0;
    if (!port_.isOpen() || !port_.getChar(&byte))
        return std::nullopt;
    return static_cast<std::uint8_t>(byte);
}

QString qt_serial_port::device() const
{
    return device_;
}

QString qt_serial_port::error_string() const
{
    return failure_.system_text;
}

port_problem qt_serial_port::problem() const
{
    return failure_.problem;
}

void qt_serial_port::on_ready_read()
{
    // One event per batch: only once the threshold is reached, not per byte.
    if (rthreshold_ <= 0 || port_.bytesAvailable() < rthreshold_)
        return;
    comm_event_ = comm_event_receive;
    emit on_comm();
}

void qt_serial_port::on_error(QSerialPort::SerialPortError error)
{
    const auto failure = lost_line(port_, error);
    if (!failure)
        return;
    failure_ = *failure;
    // Reported from the event loop, never from inside a call to the port
    // (a write in send_frame can find the device gone), so the caller's
    // reaction never runs in the middle of its own tick.
    QMetaObject::invokeMethod(
        this, [this, reason = failure_.system_text] { emit port_lost(reason); },
        Qt::QueuedConnection);
}

} // namespace orvalin
