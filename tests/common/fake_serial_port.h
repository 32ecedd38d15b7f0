#pragma once

#include "link/serial_port.h"

#include <QByteArray>
#include <QList>
#include <QString>
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
    bool open_fails = false;
    orvalin::port_problem open_problem = orvalin::port_problem::missing;
    QString open_error = QStringLiteral("No such file or directory");
    int event = orvalin::comm_event_receive;
    std::int16_t number = 0;
    bool opened = false;
    int threshold = 0;
    QString opened_device; // remembered at open, as the real port does
    bool lost = false;

    void set_comm_port(std::int16_t n) override;
    bool open() override;
    void close() override;
    bool is_open() const override { return opened; }
    void set_rthreshold(int bytes) override;
    void discard_input() override;
    qint64 in_buffer_count() const override { return waiting.size(); }
    void output(const orvalin::frame &bytes) override;
    int comm_event() const override { return event; }
    std::optional<std::uint8_t> input() override;
    QString device() const override { return opened_device; }
    QString error_string() const override { return open_fails ? open_error : QString(); }
    orvalin::port_problem problem() const override;

    // Appends bytes to the receive buffer and raises the receive event when
    // the threshold is reached (as the real port does).
    void receive(const QByteArray &bytes);
    // Simulates the device vanishing while open.
    void lose(const QString &reason);
};
