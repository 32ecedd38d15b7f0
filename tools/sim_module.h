// One emulated module: its state, the command frames it finds in the bytes
// it receives, and what it does with them.

#pragma once

#include "link/frame.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace orvalin::sim {

using bytes = std::vector<std::uint8_t>;

struct module_state {
    std::uint8_t address = 0;
    std::uint8_t outputs = 0;
    std::uint8_t inputs = 0;
    long long frames = 0;
    long long replies = 0;
};

// Takes command frames out of the received byte stream. A window that does
// not start with 0x55 and end with its checksum slides on by one byte, so
// noise or a torn frame costs only itself and the next whole frame is found.
class frame_scanner {
public:
    void feed(const std::uint8_t *data, std::size_t size)
    {
        pending_.insert(pending_.end(), data, data + size);
    }

    // The next whole frame; bytes given up on the way go to skipped.
    std::optional<frame> next(bytes &skipped)
    {
        while (!pending_.empty()) {
            if (pending_.front() != command_start) {
                skip(skipped);
                continue;
            }
            if (pending_.size() < 8)
                return std::nullopt;
            frame candidate;
            std::copy_n(pending_.begin(), 8, candidate.begin());
            if (frame_checksum(candidate) == candidate[7]) {
                pending_.erase(pending_.begin(), pending_.begin() + 8);
                return candidate;
            }
            skip(skipped);
        }
        return std::nullopt;
    }

private:
    void skip(bytes &skipped)
    {
        skipped.push_back(pending_.front());
        pending_.pop_front();
    }

    std::deque<std::uint8_t> pending_;
};

// Carries out one command for this module and returns the status reply,
// which shows the state after the command.
frame carry_out(module_state &state, const frame &command);

// "55 01 ..." for the verbose lines.
std::string hex(const std::uint8_t *data, std::size_t size);

} // namespace orvalin::sim
