#pragma once

#include "service/payload.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <deque>

namespace orvalin::service {

// One command waiting for the line.
struct command_step {
    std::uint8_t address = 0;
    int output = 0; // 1..8; 0 for all outputs
    set_request request;
    QString origin; // for the log: the topic, "on_time", "interlock", ...
    unsigned generation = 0; // of the output when last sent
    // From a set message: cancels pending on_time offs once it goes out.
    bool cancels_pulse = false;
    int interlock_tries = 0;
    bool resolved = false;
    bool resolved_on = false; // what the step asks; TOGGLE fixed when first sent
    int unconfirmed = 0; // replies that did not show resolved_on
    bool written = false;
    bool pulse_end = false; // the off of an on_time
};

// Commands from set messages waiting at most; the offs of pulses and
// interlocks are never refused.
inline constexpr std::size_t max_queued_commands = 1000;

enum class enqueue_result {
    queued,
    replaced, // an older command for the same output went unsent
    cancelled, // TOGGLE after a queued TOGGLE: neither goes out
    full,
};

// Adds a command from a set message. Only the latest wanted state counts: it
// replaces the queued commands from set messages for its output (for all
// outputs: every one of the module) that have not gone out yet; a TOGGLE
// after a queued ON or OFF becomes its opposite. Refused when
// max_queued_commands are waiting. head_busy: the head is on the line.
enqueue_result enqueue_command(
    std::deque<command_step> &queue, command_step command, bool head_busy);

} // namespace orvalin::service
