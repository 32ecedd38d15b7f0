#pragma once

#include <QStringView>

#include <chrono>
#include <cstdint>
#include <optional>

// The one way numbers are read from text: command-line arguments and
// environment variables, config values, port text. A place that is stricter
// says so beside its call.
//
// A whole number is written as ASCII decimal digits 0-9, nothing else: no sign
// (not even "+"), no digit group separators, no other scripts' digits ("５").
// Leading zeros are allowed ("07" is 7). Blanks (space, tab, line breaks)
// around it are ignored. Empty text, a value outside the caller's bounds and a
// value too big for an int are no number.
namespace orvalin {

// A whole number within min..max (0 <= min <= max).
std::optional<int> parse_whole(QStringView text, int min, int max);

// A module address, a whole number 0..255.
std::optional<std::uint8_t> parse_address(QStringView text);

// A duration: a decimal number, with an optional fraction after a point, then
// a unit without a blank between: "500ms", "2s", "1.5s", "1m"; a bare number
// is seconds. Digits and blanks around as for a whole number. Rounded to the
// nearest millisecond, then it must lie within min..max.
std::optional<std::chrono::milliseconds> parse_duration(
    QStringView text, std::chrono::milliseconds min, std::chrono::milliseconds max);

} // namespace orvalin
