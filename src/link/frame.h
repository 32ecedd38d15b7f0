#pragma once

#include <QStringView>

#include <array>
#include <cstdint>
#include <optional>

namespace orvalin {

// Both directions use fixed 8-byte frames; a frame is known only by its
// position in the byte stream, its start byte and its checksum.
using frame = std::array<std::uint8_t, 8>;

// Holds the last 8 received bytes in entries 0..7; the rest stay 0.
using receive_buffer = std::array<std::int32_t, 100>;

inline constexpr std::uint8_t command_start = 0x55;
inline constexpr std::uint8_t reply_start = 0x22;

enum command_code : std::uint8_t {
    status_poll = 0x10,
    switch_off = 0x11,
    switch_on = 0x12,
    set_all_outputs = 0x13,
};

// Sum of bytes 0..6 modulo 256.
std::uint8_t frame_checksum(const frame &bytes);

// The command frame for one address, code and pair of data bytes.
frame build_frame(std::uint8_t address, std::uint8_t code, std::uint8_t data1, std::uint8_t data2);

// Turns the text of the address box into byte 1 of a frame: blanks around the
// number allowed, fractions rounded half to even, then the remainder modulo
// 256 with the sign of the dividend. No value when the text is not a number,
// lies outside the signed 32-bit range, or leaves a negative remainder.
std::optional<std::uint8_t> address_byte(QStringView text);

// The same conversion without the modulo: a whole number in the signed
// 32-bit range, or no value.
std::optional<std::int32_t> whole_number(QStringView text);

// True when entries 0..7 hold a status reply: start byte 0x22 and checksum.
bool check_reply(const receive_buffer &recv_buf);

// Bit n (0..7, bit 0 the least significant) of value, as 0 or 1.
int get_bit(std::uint8_t value, int n);

} // namespace orvalin
