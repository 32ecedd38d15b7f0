#include "link/serial_port.h"

namespace orvalin {

bool open_port(serial_port &port, std::int16_t number)
{
    port.set_comm_port(number);
    if (!port.open())
        return false;
    port.set_rthreshold(8);
    return true;
}

void close_port(serial_port &port)
{
    port.close();
}

bool send_frame(serial_port &port, frame &tx_buf, QStringView address_text, std::uint8_t code,
    std::uint8_t data1, std::uint8_t data2)
{
    const bool open = port.is_open();
    if (open)
        port.discard_input();
    const auto address = address_byte(address_text);
    if (!address)
        return false;
    tx_buf = build_frame(*address, code, data1, data2);
    if (open)
        port.output(tx_buf);
    return true;
}

bool collect_reply(serial_port &port, receive_buffer &recv_buf)
{
    if (port.in_buffer_count() < 8)
        return false;
    std::array<std::uint8_t, 8> batch {};
    for (auto &byte : batch) {
        const auto next = port.input();
        if (!next)
            return false;
        byte = *next;
    }
    for (int k = 0; k < 8; ++k)
        recv_buf[k] = batch[k];
    return true;
}

} // namespace orvalin
