#include "link/frame.h"

#include <QRegularExpression>
#include <QString>

#include <cmath>
#include <limits>

namespace orvalin {

std::uint8_t frame_checksum(const frame &bytes)
{
    std::int16_t sum = 0;
    for (int i = 0; i < 7; ++i)
        sum += bytes[i];
    return static_cast<std::uint8_t>(sum % 256);
}

frame build_frame(std::uint8_t address, std::uint8_t code, std::uint8_t data1, std::uint8_t data2)
{
    frame bytes { command_start, address, code, 0, 0, data1, data2, 0 };
    bytes[7] = frame_checksum(bytes);
    return bytes;
}

std::optional<std::int32_t> whole_number(QStringView text)
{
    // Decimal notation only: no hex, no "inf"/"nan", no thousands separators.
    static const QRegularExpression number(
        QStringLiteral(R"(^[ \t]*([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)[ \t]*$)"));
    const auto match = number.match(text.toString());
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const double value = match.captured(1).toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    // Round half to even, whatever the current rounding mode.
    double rounded = std::floor(value);
    const double fraction = value - rounded;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0))
        rounded += 1.0;
    if (rounded < double(std::numeric_limits<std::int32_t>::min())
        || rounded > double(std::numeric_limits<std::int32_t>::max()))
        return std::nullopt;
    return static_cast<std::int32_t>(rounded);
}

std::optional<std::uint8_t> address_byte(QStringView text)
{
    const auto value = whole_number(text);
    if (!value)
        return std::nullopt;
    const std::int32_t remainder = *value % 256; // C++ keeps the dividend's sign
    if (remainder < 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(remainder);
}

std::optional<module_status> parse_reply(const frame &bytes)
{
    if (bytes[0] != reply_start || frame_checksum(bytes) != bytes[7])
        return std::nullopt;
    return module_status { bytes[1], bytes[6], bytes[4] };
}

bool check_reply(const receive_buffer &recv_buf)
{
    frame bytes {};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (recv_buf[i] < 0 || recv_buf[i] > 0xff)
            return false;
        bytes[i] = std::uint8_t(recv_buf[i]);
    }
    return parse_reply(bytes).has_value();
}

int get_bit(std::uint8_t value, int n)
{
    return (value >> n) & 1;
}

} // namespace orvalin
