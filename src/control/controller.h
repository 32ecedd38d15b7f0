#pragma once

// src/control: the panel's poll cycle (controller) and its indicator panel,
// the lamp and caption logic behind the window. Talks to the port through
// serial_port and to the window through panel_view, so tests drive it with
// fakes. Includes src/link and src/system; never src/ui, never widgets.

#include "control/indicator_panel.h"
#include "control/tick_waker.h"
#include "link/frame.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdint>

namespace orvalin {

class panel_view;
class serial_port;

inline constexpr std::chrono::milliseconds poll_interval { 50 };

// The poll cycle: every Timer1 tick sends exactly one frame, the command in
// the one-deep slot if one waits, otherwise a status poll; valid replies
// re-arm reply_countdown, and the sixth silent tick shows every lamp unknown.
// Handlers are public so that the window wires its controls to them and tests
// call them directly instead of waiting on the timer.
class controller : public QObject {
    Q_OBJECT

public:
    // Timer1 starts ticking at once, before any port is opened.
    controller(panel_view &view, serial_port &port, QObject *parent = nullptr);

    void queue_command(std::uint8_t code, std::uint8_t data1, std::uint8_t data2);
    void poll_tick();

    // Handlers of the window's events.
    void timer1_tick();
    void openall_click();
    void closeall_click();
    void picture1_click(int element);
    void label2_click(int element);
    void open_comm_click();
    void mscomm1_on_comm();

    indicator_panel &panel() { return panel_; }
    const QTimer &timer1() const { return timer1_; }
    QTimer &timer1() { return timer1_; }

    // State, readable for tests and diagnostics.
    const std::array<std::uint8_t, 3> &pending_cmd() const { return pending_cmd_; }
    std::uint8_t pending_flag() const { return pending_flag_; }
    std::int32_t reply_countdown() const { return reply_countdown_; }
    const frame &tx_buf() const { return tx_buf_; }
    const receive_buffer &recv_buf() const { return recv_buf_; }

signals:
    // Every frame handed to an open port (for diagnostics and measurements).
    void frame_sent(const orvalin::frame &bytes);
    // A reply passed the check and was shown.
    void reply_shown();

private:
    void port_lost(const QString &reason);

    panel_view &view_;
    serial_port &port_;
    QTimer timer1_;
    // Keeps Timer1's ticks 50 ms apart to well under a millisecond.
    tick_waker timer1_waker_ { timer1_ };
    indicator_panel panel_;

    std::array<std::uint8_t, 3> pending_cmd_ { 0, 0, 0 };
    std::uint8_t pending_flag_ = 0;
    std::int32_t reply_countdown_ = 0;
    frame tx_buf_ {};
    receive_buffer recv_buf_ {};
};

} // namespace orvalin
