#pragma once

#include "link/line_port.h"

#include <QList>

#include <map>

// A line whose far side the test plays. Modules listed in `outputs` answer
// every frame for their address, from the event loop, as the emulator does;
// deliver() hands over other bytes at once.
class fake_line_port final : public orvalin::line_port {
    Q_OBJECT

public:
    orvalin::port_failure open(const QString &) override
    {
        return open_ = true, orvalin::port_failure {};
    }
    void close() override { open_ = false; }
    bool is_open() const override { return open_; }
    QString device() const override { return QStringLiteral("fake"); }
    QByteArray read_all() override { return std::exchange(incoming_, {}); }
    void discard_input() override { incoming_.clear(); }
    void write(const orvalin::frame &bytes) override;

    void deliver(const QByteArray &bytes);

    QList<orvalin::frame> written;
    std::map<std::uint8_t, std::uint8_t> outputs; // the modules present
    QList<std::uint8_t> states; // of the module written to, after each write
    // The next `stale` replies show stale_outputs: late replies of earlier
    // exchanges taken for the current one.
    int stale = 0;
    std::uint8_t stale_outputs = 0;
    bool mute = false; // switches without replying

private:
    bool open_ = true;
    QByteArray incoming_;
};
