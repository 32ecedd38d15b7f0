#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

namespace orvalin::service {

// What a message on a set topic asks for.
struct set_request {
    enum class action { on, off, toggle };
    action what = action::off;
    // With ON only: switch off again after this long.
    std::optional<std::chrono::milliseconds> on_time;

    friend bool operator==(const set_request &, const set_request &) = default;
};

// Longest on_time accepted, so every pending off fits one timer.
inline constexpr std::chrono::seconds max_on_time { 1'000'000 };

// An on_time given in seconds: more than 0 and up to max_on_time, at least
// 1 ms so that a tiny one still means "off again"; no value otherwise.
std::optional<std::chrono::milliseconds> on_time_from_seconds(double seconds);

// request with an output's on_time limit applied: an ON (or a TOGGLE, which
// may switch on) without an on_time, or with a longer one, gets limit.
set_request limit_on_time(set_request request, std::optional<std::chrono::milliseconds> limit);

// ON, OFF or TOGGLE (letter case and blanks around ignored), or a JSON object
// {"state": "ON", "on_time": 2.5} with on_time in seconds (> 0, up to
// max_on_time, ON only) and no other members. No value for anything else.
std::optional<set_request> parse_set(const QByteArray &payload);
// ON or OFF only, as for all outputs of a module.
std::optional<set_request> parse_set_all(const QByteArray &payload);

// The command a set topic addresses: prefix/A/output/K/set, or
// prefix/A/output/all/set (output 0). A and K in plain decimal.
struct set_target {
    std::uint8_t address = 0;
    int output = 0; // 1..8; 0 for all

    friend bool operator==(const set_target &, const set_target &) = default;
};
std::optional<set_target> parse_set_topic(const QString &prefix, const QString &topic);

} // namespace orvalin::service
