#include "sim_module.h"

namespace orvalin::sim {

frame carry_out(module_state &state, const frame &command)
{
    const std::uint8_t code = command[2];
    const std::uint8_t data1 = command[5];
    const std::uint8_t data2 = command[6];
    if ((code == switch_off || code == switch_on) && data2 >= 1 && data2 <= 8) {
        const auto bit = static_cast<std::uint8_t>(1u << (data2 - 1));
        state.outputs = code == switch_on ? state.outputs | bit : state.outputs & ~bit;
    } else if (code == set_all_outputs && data1 == data2 && (data1 == 0 || data1 == 255)) {
        state.outputs = data1;
    }
    frame reply { reply_start, state.address, code, 0, state.inputs, 0, state.outputs, 0 };
    reply[7] = frame_checksum(reply);
    return reply;
}

std::string hex(const std::uint8_t *data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (i)
            text += ' ';
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

} // namespace orvalin::sim
