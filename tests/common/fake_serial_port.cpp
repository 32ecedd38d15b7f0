#include "fake_serial_port.h"

void fake_serial_port::set_comm_port(std::int16_t n)
{
    number = n;
    log << QStringLiteral("CommPort=%1").arg(n);
}

bool fake_serial_port::open()
{
    log << QStringLiteral("PortOpen=true");
    opened_device = QStringLiteral("/dev/fake%1").arg(number);
    lost = false;
    if (open_fails)
        return false;
    opened = true;
    return true;
}

void fake_serial_port::close()
{
    log << QStringLiteral("PortOpen=false");
    opened = false;
}

void fake_serial_port::set_rthreshold(int bytes)
{
    threshold = bytes;
    log << QStringLiteral("RThreshold=%1").arg(bytes);
}

void fake_serial_port::discard_input()
{
    waiting.clear();
    log << QStringLiteral("InBufferCount=0");
}

void fake_serial_port::output(const orvalin::frame &bytes)
{
    written << bytes;
    log << QStringLiteral("Output=%1")
               .arg(QString::fromLatin1(
                   QByteArray(reinterpret_cast<const char *>(bytes.data()), 8).toHex()));
}

std::optional<std::uint8_t> fake_serial_port::input()
{
    if (waiting.isEmpty())
        return std::nullopt;
    const auto byte = static_cast<std::uint8_t>(waiting.front());
    waiting.remove(0, 1);
    return byte;
}

void fake_serial_port::receive(const QByteArray &bytes)
{
    waiting += bytes;
    if (threshold > 0 && waiting.size() >= threshold)
        emit on_comm();
}

orvalin::port_problem fake_serial_port::problem() const
{
    if (lost)
        return orvalin::port_problem::unplugged;
    return open_fails ? open_problem : orvalin::port_problem::none;
}

void fake_serial_port::lose(const QString &reason)
{
    opened = false;
    lost = true;
    emit port_lost(reason);
}
