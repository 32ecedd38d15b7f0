// The scheduler's pulses and its way out: the offs of on_time, cancelled
// by a newer command, held for an offline module, and sent while stopping.

#include "link/channel.h"
#include "service/scheduler.h"

#include <algorithm>
#include <tuple>

namespace orvalin::service {

namespace {
constexpr int outputs = channels_per_kind;
}

void scheduler::offs_due(time_point now)
{
    // In the order they fell due.
    std::vector<std::tuple<time_point, std::size_t, int>> due;
    for (std::size_t i = 0; i < modules_.size(); ++i) {
        for (int k = 1; k <= outputs; ++k) {
            const auto &off_at = modules_[i].output(k).off_at;
            if (off_at && *off_at <= now)
                due.emplace_back(*off_at, i, k);
        }
    }
    std::stable_sort(due.begin(), due.end(),
        [](const auto &a, const auto &b) { return std::get<0>(a) < std::get<0>(b); });
    for (const auto &[when, i, k] : due)
        queue_off(modules_[i], k, QStringLiteral("on_time"));
}

std::optional<scheduler::time_point> scheduler::next_off() const
{
    std::optional<time_point> first;
    for (const auto &module : modules_) {
        for (const auto &output : module.outputs) {
            if (output.off_at && (!first || *output.off_at < *first))
                first = output.off_at;
        }
    }
    return first;
}

void scheduler::cancel_pulse(module_state &module, int output)
{
    output_state &state = module.output(output);
    state.off_at.reset();
    state.off_due = false;
    ++state.generation;
    // Queued offs behind the head too; the head is the command going out.
    for (auto it = std::next(queue_.begin()); it != queue_.end();) {
        if (it->pulse_end && it->address == module.address && it->output == output)
            it = queue_.erase(it);
        else
            ++it;
    }
}

void scheduler::queue_off(module_state &module, int output, const QString &origin)
{
    module.output(output).off_at.reset();
    if (!module.online()) {
        // The one thing held for an offline module: an output must not stay
        // on for good because its pulse ended during a link loss.
        log(QStringLiteral("%1 for %2/%3 due while the module is offline; sent when it answers")
                .arg(origin)
                .arg(module.address)
                .arg(output));
        module.output(output).off_due = true;
        return;
    }
    step off = off_step(module.address, output, origin, module.output(output).generation);
    off.pulse_end = true;
    queue_.push_back(off);
}

void scheduler::begin_stop()
{
    // Only the offs of pulses in progress go out now; nothing else.
    std::deque<step> kept;
    qsizetype dropped = 0;
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->pulse_end || (it == queue_.begin() && head_in_flight_)) {
            kept.push_back(std::move(*it));
        } else {
            forget(*find(it->address), *it, QStringLiteral("stopping"), true);
            ++dropped;
        }
    }
    queue_ = std::move(kept);
    // One line for a backlog, however long.
    if (dropped > 0)
        log(QStringLiteral("stopping: %1 queued command(s) dropped").arg(dropped));
    for (auto &module : modules_) {
        for (int k = 1; k <= outputs; ++k) {
            output_state &output = module.output(k);
            if (output.off_at || (module.online() && output.off_due)) {
                output.off_due = false;
                queue_off(module, k, QStringLiteral("on_time (stopping)"));
            }
        }
    }
    phase_ = stop_phase::draining;
}

bool scheduler::finish_stop()
{
    if (std::exchange(phase_, stop_phase::done) == stop_phase::done)
        return false;
    for (auto &module : modules_) {
        for (int k = 1; k <= outputs; ++k) {
            const bool queued = std::any_of(queue_.begin(), queue_.end(), [&](const step &s) {
                return s.pulse_end && s.address == module.address && s.output == k;
            });
            if (queued || module.output(k).off_due)
                log(QStringLiteral("stopping: output %1/%2 may stay on, its on_time off not sent")
                        .arg(module.address)
                        .arg(k));
        }
    }
    return true;
}

} // namespace orvalin::service
