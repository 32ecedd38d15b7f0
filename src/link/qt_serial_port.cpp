#include "link/qt_serial_port.h"

#include <algorithm>

namespace orvalin {

qt_serial_port::qt_serial_port(port_folders folders, QObject *parent)
    : serial_port(parent)
    , folders_(std::move(folders))
{
    connect(&line_, &line_port::ready_read, this, &qt_serial_port::on_ready_read);
    connect(&line_, &line_port::lost, this, [this](const port_failure &failure) {
        failure_ = failure;
        received_.clear();
        emit port_lost(failure.system_text);
    });
}

void qt_serial_port::set_comm_port(std::int16_t number)
{
    number_ = number;
}

bool qt_serial_port::open()
{
    if (line_.is_open())
        return true;
    device_ = device_for_port(number_, folders_);
    // An empty device (none for the number) fails as missing.
    failure_ = line_.open(device_);
    if (failure_)
        return false;
    received_.clear();
    comm_event_ = 0;
    return true;
}

void qt_serial_port::close()
{
    line_.close();
    received_.clear();
}

bool qt_serial_port::is_open() const
{
    return line_.is_open();
}

void qt_serial_port::set_rthreshold(int bytes)
{
    rthreshold_ = bytes;
}

void qt_serial_port::discard_input()
{
    received_.clear();
    line_.discard_input();
}

qint64 qt_serial_port::in_buffer_count() const
{
    return line_.is_open() ? received_.size() : 0;
}

void qt_serial_port::output(const frame &bytes)
{
    // A write that fails because the device went away is reported through
    // port_lost; the control has no other way to show it.
    line_.write(bytes);
}

int qt_serial_port::comm_event() const
{
    return comm_event_;
}

std::optional<std::uint8_t> qt_serial_port::input()
{
    if (!line_.is_open() || received_.isEmpty())
        return std::nullopt;
    const auto byte = static_cast<std::uint8_t>(received_.front());
    received_.remove(0, 1);
    return byte;
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

QString qt_serial_port::device_for_number(std::int16_t number) const
{
    return device_for_port(number, folders_);
}

void qt_serial_port::on_ready_read()
{
    // The control takes 8 bytes a batch and drops the rest at every tick; a
    // line that floods between two ticks must not grow this without bound.
    constexpr qsizetype received_limit = 4096;
    const QByteArray bytes = line_.read_all();
    received_.append(bytes.left(std::max<qsizetype>(0, received_limit - received_.size())));
    // One event per batch: only once the threshold is reached, not per byte.
    if (rthreshold_ <= 0 || received_.size() < rthreshold_)
        return;
    comm_event_ = comm_event_receive;
    emit on_comm();
}

} // namespace orvalin
