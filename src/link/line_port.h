#pragma once

#include "link/frame.h"
#include "link/port_device.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>

namespace orvalin {

// A serial line as a byte stream: the one port every program opens. The
// panel's serial_port is an adapter over it (qt_serial_port); orvalinctl and
// the service talk to modules by address through module_link.
class line_port : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Opens device exclusively (see open_line); the failure when it cannot.
    virtual port_failure open(const QString &device) = 0;
    virtual void close() = 0;
    virtual bool is_open() const = 0;
    // Writes the 8 bytes and hands them to the driver at once. A line that
    // fails on the write is reported through lost.
    virtual void write(const frame &bytes) = 0;
    // Takes every byte received and not yet read.
    virtual QByteArray read_all() = 0;
    // Drops every byte received and not yet read, what still waits in the
    // system's buffer included.
    virtual void discard_input() = 0;
    // The device opened last.
    virtual QString device() const = 0;
    // While held, arriving bytes wait in the driver and wake nobody; letting
    // go hands them over at once (ready_read). For an exchange whose reply
    // cannot be complete before a known moment, so a reply arriving a byte
    // at a time costs one wake-up instead of one per byte. A port that
    // cannot hold input ignores this.
    virtual void hold_input(bool held) { Q_UNUSED(held); }
    // Input wakes the program only once this many bytes wait (1 to 255),
    // on systems whose driver can be told so; a hint, ready_read may come
    // sooner. Held as long as the line stays open.
    virtual void wake_at_bytes(int count) { Q_UNUSED(count); }
    // Bytes received and not yet read, those still in the driver included;
    // -1 where the system cannot say.
    virtual qint64 bytes_waiting() const { return -1; }

signals:
    void ready_read();
    // The open line failed; it is closed already. Raised once per failure,
    // from the event loop, never inside a call to the port.
    void lost(const orvalin::port_failure &failure);
};

// line_port on QSerialPort.
class qt_line_port final : public line_port {
    Q_OBJECT

public:
    explicit qt_line_port(QObject *parent = nullptr);

    port_failure open(const QString &device) override;
    void close() override;
    bool is_open() const override;
    void write(const frame &bytes) override;
    QByteArray read_all() override;
    void discard_input() override;
    QString device() const override;
    void hold_input(bool held) override;
    void wake_at_bytes(int count) override;
    qint64 bytes_waiting() const override;

private:
    void on_error(QSerialPort::SerialPortError error);

    QSerialPort port_;
    QString device_;
    // What wake_at_bytes set last; 0 as the line opens.
    int wake_count_ = 0;
};

} // namespace orvalin
