#pragma once

#include "link/frame.h"
#include "link/port_device.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>

namespace orvalin {

// Event cause reported with a receive event: data received.
inline constexpr int comm_event_receive = 2;

// The operations the logic needs from one serial port, and nothing more, so
// the poll cycle can run against a fake in tests and against QSerialPort in
// the program. Line settings are fixed by the implementation.
class serial_port : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Port number for the next open; only meaningful while closed.
    virtual void set_comm_port(std::int16_t number) = 0;
    // Opens the selected port. On failure the port stays closed, problem()
    // says what kind of failure it was and error_string() gives the system's
    // words for it (may be empty).
    virtual bool open() = 0;
    virtual void close() = 0;
    virtual bool is_open() const = 0;
    // A receive event is raised once this many received bytes wait.
    virtual void set_rthreshold(int bytes) = 0;
    // Drops every received byte not yet read.
    virtual void discard_input() = 0;
    virtual qint64 in_buffer_count() const = 0;
    // Writes the 8 bytes in index order.
    virtual void output(const frame &bytes) = 0;
    // Cause of the latest receive event.
    virtual int comm_event() const = 0;
    // Takes exactly one received byte out of the buffer, if one waits.
    virtual std::optional<std::uint8_t> input() = 0;

    // The device of the latest open, worked out when it was attempted: a
    // failure and a loss name the device that was really tried or open.
    virtual QString device() const = 0;
    virtual QString error_string() const = 0;
    // The kind of the latest failure; none after an open that succeeded.
    virtual port_problem problem() const = 0;
    // The device port number would open now; empty when none stands for it.
    virtual QString device_for_number(std::int16_t number) const
    {
        Q_UNUSED(number);
        return {};
    }

signals:
    // The receive event: raised on the event loop's thread.
    void on_comm();
    // The open port failed (device removed, peer gone): problem() is
    // unplugged, reason the system's words (may be empty). The port is already
    // closed when this is emitted, once per failure, from the event loop and
    // never inside a call to the port: a failure found by a write must not
    // make the caller react in the middle of its own tick.
    void port_lost(const QString &reason);
};

// The port sequences of the device link.

// Selects the number, opens, sets the receive threshold to 8, in that order.
// False (port closed, reason in problem() and error_string()) when the open
// fails.
bool open_port(serial_port &port, std::int16_t number);
void close_port(serial_port &port);

// While the port is open, discards waiting input first, whether or not a
// frame follows: bytes left over must never be read as a later reply. Then
// builds the command frame for the address text into tx_buf and writes it,
// again only while the port is open. False when the address text gives no
// address byte: then nothing is built or written.
bool send_frame(serial_port &port, frame &tx_buf, QStringView address_text, std::uint8_t code,
    std::uint8_t data1, std::uint8_t data2);

// Reads the next 8 received bytes into recv_buf entries 0..7. When fewer than
// 8 bytes wait, nothing is read, recv_buf stays as it was, and the result is
// false: an incomplete batch must never be checked.
bool collect_reply(serial_port &port, receive_buffer &recv_buf);

} // namespace orvalin
