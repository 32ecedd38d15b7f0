#pragma once

#include "link/frame.h"
#include "service/payload.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

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
    // Someone waits for how this command ends (0: no one).
    std::uint64_t ticket = 0;
};

// How a command someone waits for ended.
struct command_outcome {
    enum class kind {
        confirmed, // a reply showed the commanded state
        refused, // the interlock would not let it go
        unavailable, // never sent: the module went offline, or stopping
        unconfirmed, // sent, but no reply showed it
        replaced, // a later command for the same output took its place
    };
    kind what = kind::confirmed;
    QString reason; // in words, for everything but confirmed
    std::optional<module_status> status; // the confirming reply
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
// The commands that leave the queue unsent go to removed, when given.
enqueue_result enqueue_command(std::deque<command_step> &queue, command_step command,
    bool head_busy, std::vector<command_step> *removed = nullptr);

} // namespace orvalin::service
