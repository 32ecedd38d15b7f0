#pragma once

// src/link: the wire. Frames (this header), the serial line every program
// opens (line_port, with port_device choosing and locking the device), the
// panel's port adapter (serial_port, qt_serial_port) and one exchange at a
// time with a module by address (module_link). Includes only src/system and
// Qt Core and Serial Port; nothing here knows a front end.

#include "link/channel.h"

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

// Sum of bytes 0..6 modulo 256: the one checksum of both directions.
std::uint8_t frame_checksum(const frame &bytes);

// What one status reply says about a module.
struct module_status {
    std::uint8_t address = 0;
    std::uint8_t outputs = 0; // bit k-1 is output k
    std::uint8_t inputs = 0; // bit k-1 is input k

    bool output(int k) const { return (outputs >> (k - 1)) & 1; }
    bool input(int k) const { return (inputs >> (k - 1)) & 1; }
    bool on(channel c) const { return c.is_output() ? output(c.number) : input(c.number); }
    friend bool operator==(const module_status &, const module_status &) = default;
};

// The one rule for a status reply: start byte 0x22 and the checksum. What it
// says, or no value when the 8 bytes are no reply.
std::optional<module_status> parse_reply(const frame &bytes);

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

// True when entries 0..7 hold a status reply (parse_reply); an entry that is
// no byte value makes no reply.
bool check_reply(const receive_buffer &recv_buf);

// Bit n (0..7, bit 0 the least significant) of value, as 0 or 1.
int get_bit(std::uint8_t value, int n);

} // namespace orvalin
