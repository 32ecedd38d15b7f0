#pragma once

// The module's channels: 8 outputs (the relays) and 8 inputs, each numbered
// 1..8 within its kind ("out3", "in5"), and the panel's numbering of its 16
// lamps and captions ("elements"). Plain values and constants only, so that
// every folder may include it (src/names does, for the keys of the names).

#include <array>

namespace orvalin {

inline constexpr int channels_per_kind = 8;
inline constexpr int channel_total = 2 * channels_per_kind;

enum class channel_kind { output, input };

struct channel {
    channel_kind kind = channel_kind::output;
    int number = 1; // 1..channels_per_kind

    constexpr bool is_output() const { return kind == channel_kind::output; }
    friend constexpr bool operator==(const channel &, const channel &) = default;
};

constexpr bool valid_channel_number(int number)
{
    return number >= 1 && number <= channels_per_kind;
}

// The 16 channels in the order front ends list them: out1..out8, in1..in8.
constexpr std::array<channel, channel_total> all_channels()
{
    std::array<channel, channel_total> channels {};
    for (int k = 1; k <= channels_per_kind; ++k) {
        channels[k - 1] = { channel_kind::output, k };
        channels[channels_per_kind + k - 1] = { channel_kind::input, k };
    }
    return channels;
}

// The panel's elements 1..16: element k is output k for k <= 8 and input
// 17 - k above, so the inputs count down the right-hand column.
constexpr bool valid_element(int element)
{
    return element >= 1 && element <= channel_total;
}

constexpr int element_of(channel c)
{
    return c.is_output() ? c.number : channel_total + 1 - c.number;
}

// Expects a valid element.
constexpr channel channel_of_element(int element)
{
    return element <= channels_per_kind
        ? channel { channel_kind::output, element }
        : channel { channel_kind::input, channel_total + 1 - element };
}

} // namespace orvalin
