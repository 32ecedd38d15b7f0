#include "control/controller.h"

#include "control/panel_view.h"
#include "link/serial_port.h"

namespace orvalin {

controller::controller(panel_view &view, serial_port &port, QObject *parent)
    : QObject(parent)
    , view_(view)
    , port_(port)
    , panel_(view, timer1_)
{
    // A coarse timer may fire up to 5% early or late; frames must leave at
    // steady 50 ms intervals.
    timer1_.setTimerType(Qt::PreciseTimer);
    timer1_.setInterval(poll_interval);
    connect(&timer1_, &QTimer::timeout, this, &controller::timer1_tick);
    connect(&port_, &serial_port::on_comm, this, &controller::mscomm1_on_comm);
    connect(&port_, &serial_port::port_lost, this, &controller::port_lost);
    timer1_.start();
}

void controller::queue_command(std::uint8_t code, std::uint8_t data1, std::uint8_t data2)
{
    pending_cmd_ = { code, data1, data2 };
    pending_flag_ = 1;
}

void controller::poll_tick()
{
    std::array<std::uint8_t, 3> command { status_poll, 0, 0 };
    if (pending_flag_ != 0) {
        // Emptied before sending, also while the port is closed: a command
        // taken then is dropped, never held back for later.
        pending_flag_ = 0;
        command = pending_cmd_;
    }
    const bool built
        = send_frame(port_, tx_buf_, view_.address_text(), command[0], command[1], command[2]);
    if (built && port_.is_open())
        emit frame_sent(tx_buf_);
}

void controller::timer1_tick()
{
    if (reply_countdown_ < 1)
        panel_.set_all_indicators(indicator_state::unknown);
    else
        --reply_countdown_;
    poll_tick();
}

void controller::openall_click()
{
    queue_command(set_all_outputs, 0xFF, 0xFF);
}

void controller::closeall_click()
{
    queue_command(set_all_outputs, 0x00, 0x00);
}

void controller::picture1_click(int element)
{
    if (!valid_element(element))
        return;
    // The click asks for the opposite of what the lamp shows; a lamp whose
    // state is not known asks for nothing.
    switch (panel_.state(element)) {
    case indicator_state::on:
        queue_command(switch_off, 0x00, static_cast<std::uint8_t>(element));
        break;
    case indicator_state::off:
        queue_command(switch_on, 0x00, static_cast<std::uint8_t>(element));
        break;
    case indicator_state::unknown:
    case indicator_state::closed:
        break;
    }
}

void controller::label2_click(int element)
{
    picture1_click(element);
}

void controller::open_comm_click()
{
    if (!port_.is_open()) {
        const QString text = view_.port_text();
        const auto number = whole_number(text);
        if (!number || *number < 0 || *number > 255) {
            // No device can stand for it.
            view_.port_failed(QString(), port_failure { port_problem::missing, {} }, false);
            return;
        }
        if (!open_port(port_, static_cast<std::int16_t>(*number))) {
            view_.port_failed(
                port_.device(), port_failure { port_.problem(), port_.error_string() }, false);
            return;
        }
        panel_.show_port_open();
        return;
    }
    if (port_.is_open()) {
        close_port(port_);
        panel_.show_port_closed();
    }
}

void controller::mscomm1_on_comm()
{
    if (port_.comm_event() != comm_event_receive)
        return;
    if (!collect_reply(port_, recv_buf_))
        return;
    if (check_reply(recv_buf_)) {
        panel_.show_status(recv_buf_);
        reply_countdown_ = 5;
        emit reply_shown();
    }
}

void controller::port_lost(const QString &reason)
{
    // The port closed itself; the panel follows, once, and the next click of
    // the port button opens again.
    if (port_.is_open())
        close_port(port_);
    panel_.show_port_closed();
    view_.port_failed(port_.device(), port_failure { port_problem::unplugged, reason }, true);
}

} // namespace orvalin
