#pragma once

#include "link/serial_port.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QStringList>

// A serial port in memory: records every operation in order, lets a test
// decide whether opening works, and delivers received bytes on demand.
class fake_serial_port final : public orvalin::serial_port {
    Q_OBJECT

public:
    using serial_port::serial_port;

    // Operations in call order, e.g. "CommPort=3", "PortOpen=true",
    // "RThreshold=8", "InBufferCount=0", "Output=5501100000000066".
    QStringList log;
    QList<orvalin::frame> written;
    QByteArray waiting; // received, not yet read
    // What each port number stands for (device_for_number); none when absent.
    QMap<int, QString> devices;
    bool open_fails = false;
    orvalin::port_problem open_problem = orvalin::port_problem::missing;
    QString open_error = QStringLiteral("No such file or directory");
    int event = orvalin::comm_event_receive;
    std::int16_t number = 0;
    bool opened = false;
    bool lost = false;
    int threshold = 0;

    void set_comm_port(std::int16_t n) override
    {
        log << QStringLiteral("CommPort=%1").arg(number = n);
    }
    bool open() override
    {
        log << QStringLiteral("PortOpen=true");
        lost = false;
        return opened = !open_fails;
    }
    void close() override
    {
        log << QStringLiteral("PortOpen=false");
        opened = false;
    }
    bool is_open() const override { return opened; }
    void set_rthreshold(int bytes) override
    {
        log << QStringLiteral("RThreshold=%1").arg(threshold = bytes);
    }
    void discard_input() override
    {
        waiting.clear();
        log << QStringLiteral("InBufferCount=0");
    }
    qint64 in_buffer_count() const override { return waiting.size(); }
    void output(const orvalin::frame &bytes) override
    {
        written << bytes;
        log << "Output=" + QByteArray(reinterpret_cast<const char *>(bytes.data()), 8).toHex();
    }
    int comm_event() const override { return event; }
    std::optional<std::uint8_t> input() override
    {
        if (waiting.isEmpty())
            return std::nullopt;
        const auto byte = static_cast<std::uint8_t>(waiting.front());
        waiting.remove(0, 1);
        return byte;
    }
    // The device opened last, as the real port remembers it.
    QString device() const override { return QStringLiteral("/dev/fake%1").arg(number); }
    QString error_string() const override { return open_fails ? open_error : QString(); }
    QString device_for_number(std::int16_t n) const override { return devices.value(n); }
    orvalin::port_problem problem() const override
    {
        return lost      ? orvalin::port_problem::unplugged
            : open_fails ? open_problem
                         : orvalin::port_problem::none;
    }

    // Appends bytes to the receive buffer and raises the receive event when
    // the threshold is reached (as the real port does).
    void receive(const QByteArray &bytes)
    {
        waiting += bytes;
        if (threshold > 0 && waiting.size() >= threshold)
            emit on_comm();
    }
    // The device vanishing while open.
    void lose(const QString &reason)
    {
        opened = false;
        lost = true;
        emit port_lost(reason);
    }
};
