#include "link/line_port.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <algorithm>

namespace orvalin {

qt_line_port::qt_line_port(QObject *parent)
    : line_port(parent)
{
    connect(&port_, &QSerialPort::readyRead, this, &line_port::ready_read);
    connect(&port_, &QSerialPort::errorOccurred, this, &qt_line_port::on_error);
}

port_failure qt_line_port::open(const QString &device)
{
    device_ = device;
    wake_count_ = 0;
    return open_line(port_, device);
}

void qt_line_port::close()
{
    if (port_.isOpen())
        port_.close();
}

bool qt_line_port::is_open() const
{
    return port_.isOpen();
}

void qt_line_port::write(const frame &bytes)
{
    if (!port_.isOpen())
        return;
    const char *data = reinterpret_cast<const char *>(bytes.data());
    qint64 size = qint64(bytes.size());
#ifdef Q_OS_UNIX
    // Straight to the driver when nothing waits before it: QSerialPort would
    // watch the line for room to write first, one more pass of the event
    // loop per frame. Whatever the driver does not take goes the usual way.
    if (port_.bytesToWrite() == 0) {
        const auto written = ::write(int(port_.handle()), data, std::size_t(size));
        if (written > 0) {
            data += written;
            size -= written;
        }
        if (size == 0)
            return;
    }
#endif
    if (port_.write(data, size) != size)
        return;
    // Hand the frame to the driver now rather than on the next loop pass.
    // What the driver does not take at once stays queued in the port and
    // goes out when the line can take it.
    port_.flush();
}

QByteArray qt_line_port::read_all()
{
    return port_.isOpen() ? port_.readAll() : QByteArray();
}

void qt_line_port::discard_input()
{
    if (!port_.isOpen())
        return;
    // readAll() alone takes only what Qt has fetched so far; a late reply of
    // an earlier run can still wait in the driver.
    port_.clear(QSerialPort::Input);
    port_.readAll();
}

QString qt_line_port::device() const
{
    return device_;
}

void qt_line_port::hold_input(bool held)
{
    if (!port_.isOpen())
        return;
    // QSerialPort reads whenever its descriptor is readable and has no call
    // to pause that; its read notifier is its child. Without one (another
    // platform or Qt version) input is simply not held.
    for (QSocketNotifier *notifier : port_.findChildren<QSocketNotifier *>()) {
        if (notifier->type() == QSocketNotifier::Read)
            notifier->setEnabled(!held);
    }
}

void qt_line_port::wake_at_bytes(int count)
{
    count = std::clamp(count, 1, 255);
    if (!port_.isOpen() || count == wake_count_)
        return;
#ifdef Q_OS_UNIX
    // In raw mode with VTIME 0 the terminal driver reports the descriptor
    // readable only once VMIN bytes wait; reads stay non-blocking.
    termios settings {};
    const int fd = int(port_.handle());
    if (::tcgetattr(fd, &settings) != 0)
        return;
    settings.c_cc[VMIN] = cc_t(count);
    settings.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &settings) == 0)
        wake_count_ = count;
#endif
}

qint64 qt_line_port::bytes_waiting() const
{
    if (!port_.isOpen())
        return 0;
#ifdef Q_OS_UNIX
    int in_driver = 0;
    if (::ioctl(int(port_.handle()), FIONREAD, &in_driver) == 0)
        return port_.bytesAvailable() + in_driver;
#endif
    return -1;
}

void qt_line_port::on_error(QSerialPort::SerialPortError error)
{
    if (const auto failure = lost_line(port_, error))
        QMetaObject::invokeMethod(
            this, [this, failure = *failure] { emit lost(failure); }, Qt::QueuedConnection);
}

} // namespace orvalin
