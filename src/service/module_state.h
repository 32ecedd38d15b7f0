#pragma once

#include "link/frame.h"

#include <QtGlobal>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace orvalin::service {

using service_clock = std::chrono::steady_clock;

// Whether a module answers the polls.
enum class link_state {
    never_answered,
    online,
    // It answered before and then stopped: on_link_loss applies on return.
    offline,
};

// The service's way out: running, then the offs of pulses going out, then
// nothing more.
enum class stop_phase { running, draining, done };

// What the service tracks of one output.
struct output_state {
    // Bumped by every command sent, so an older on_time never switches off
    // what a newer command switched on.
    unsigned generation = 0;
    // When the on_time of a pulse in progress ends.
    std::optional<service_clock::time_point> off_at;
    // An ON went out and no reply has shown the output on since: it may be
    // on whatever older replies say.
    bool maybe_on = false;
    // When a reply first showed the output off.
    service_clock::time_point off_since {};
    // An on_time off that fell due while the module was offline.
    bool off_due = false;
};

struct module_state {
    std::uint8_t address = 0;
    std::optional<module_status> last; // last reply
    link_state link = link_state::never_answered;
    // The broker was told the current link state.
    bool availability_published = false;
    int missed = 0; // polls in a row without a reply
    // When the next poll of this module is due, and when the last went out.
    service_clock::time_point poll_due {};
    std::optional<service_clock::time_point> last_poll;
    std::array<output_state, 8> outputs;
    // Counters since start; reply times and poll periods since the last
    // stats message (each at most max_samples).
    qint64 exchanges = 0, replies = 0, timeouts = 0, bad_frames = 0;
    std::vector<double> reply_ms;
    std::vector<double> poll_period_ms;
    static constexpr std::size_t max_samples = 10'000;

    bool online() const { return link == link_state::online; }
    output_state &output(int k) { return outputs[std::size_t(k - 1)]; }
    const output_state &output(int k) const { return outputs[std::size_t(k - 1)]; }
};

} // namespace orvalin::service
