#include "service/scheduler.h"

#include <algorithm>

namespace orvalin::service {

using namespace std::chrono_literals;

namespace {

constexpr int outputs = channels_per_kind;
// A module that will not confirm an interlock partner off gets no ON.
constexpr int max_interlock_tries = 3;
// Replies in a row that do not show what a step commanded before it is
// given up: a late reply of an earlier exchange can answer one write.
constexpr int max_unconfirmed = 3;
// How late a poll may go out and still keep its module's beat.
constexpr auto beat_slack = 2ms;

} // namespace

command_step scheduler::off_step(
    std::uint8_t address, int output, const QString &origin, unsigned generation)
{
    return { address, output, { set_request::action::off, std::nullopt }, origin, generation };
}

scheduler::scheduler(const service_config &config, scheduler_events events)
    : config_(config)
    , events_(std::move(events))
{
    for (const auto address : config_.modules) {
        module_state module;
        module.address = address;
        modules_.push_back(module);
    }
}

void scheduler::line_open(time_point now)
{
    next_poll_at_ = now;
    for (auto &module : modules_) {
        module.poll_due = now;
        module.last_poll.reset();
    }
}

void scheduler::line_gone(const QString &why, bool in_flight_abandoned)
{
    if (in_flight_abandoned)
        head_in_flight_ = false;
    for (auto &module : modules_) {
        set_online(module, false);
        drop_commands(module, why);
    }
}

enqueue_result scheduler::enqueue(command_step command)
{
    std::vector<step> removed;
    const auto result = enqueue_command(queue_, std::move(command), head_in_flight_, &removed);
    for (const step &gone : removed)
        settle(gone, command_outcome::kind::replaced,
            QStringLiteral("a later command for the same output took its place"));
    return result;
}

next_action scheduler::next(time_point now)
{
    next_action action;
    if (phase_ == stop_phase::done)
        return action;
    const bool draining = phase_ == stop_phase::draining;
    // A due poll goes before a second command in a row: a backlog of
    // commands never stops the polling of any module.
    const bool poll_first = !draining && command_last_ && !modules_.empty()
        && now >= (config_.one_poll_per_interval ? next_poll_at_ : first_poll_due());
    const auto command = poll_first ? std::nullopt : ready_command(now, action.wake);
    command_last_ = command.has_value();
    if (draining && !command) {
        action.what = next_action::kind::drained;
        return action;
    }
    if (command) {
        head_in_flight_ = true;
        // Copied: cancel_pulse may erase from the queue.
        const step head = queue_.front();
        module_state &module = *find(head.address);
        for (int k = 1; k <= outputs; ++k) {
            if (head.output != 0 && head.output != k)
                continue;
            if (head.resolved_on)
                module.output(k).maybe_on = true;
            if (head.cancels_pulse)
                cancel_pulse(module, k);
        }
        queue_.front().written = true;
        if (head.output > 0)
            queue_.front().generation = module.output(head.output).generation;
        action.what = next_action::kind::command;
        action.bytes = *command;
        action.address = head.address;
        action.reason = head.origin;
        return action;
    }
    if (modules_.empty())
        return action;
    module_state *module = poll_due(now, action.wake);
    if (!module)
        return action;
    if (module->last_poll && module->poll_period_ms.size() < module_state::max_samples)
        module->poll_period_ms.push_back(
            std::chrono::duration<double, std::milli>(now - *module->last_poll).count());
    module->last_poll = now;
    action.what = next_action::kind::poll;
    action.bytes = build_frame(module->address, status_poll, 0, 0);
    action.address = module->address;
    action.reason = QStringLiteral("poll");
    return action;
}

scheduler::time_point scheduler::first_poll_due() const
{
    time_point first = time_point::max();
    for (const auto &module : modules_)
        first = std::min(first, module.poll_due);
    return first;
}

module_state *scheduler::poll_due(time_point now, std::optional<time_point> &wake)
{
    const auto wake_at = [&](time_point when) {
        wake = wake ? std::min(*wake, when) : when;
        return nullptr;
    };
    if (config_.one_poll_per_interval) {
        if (now < next_poll_at_)
            return wake_at(next_poll_at_);
        module_state &module = modules_[next_poll_];
        next_poll_ = (next_poll_ + 1) % modules_.size();
        next_poll_at_ = std::max(next_poll_at_ + config_.interval, now);
        return &module;
    }
    // The module due first; on a tie the one after the last polled, so
    // modules due together take turns.
    module_state *first = nullptr;
    std::size_t index = 0;
    for (std::size_t i = 0; i < modules_.size(); ++i) {
        const std::size_t k = (next_poll_ + i) % modules_.size();
        if (!first || modules_[k].poll_due < first->poll_due) {
            first = &modules_[k];
            index = k;
        }
    }
    if (now < first->poll_due)
        return wake_at(first->poll_due);
    next_poll_ = (index + 1) % modules_.size();
    // A poll that a timer woke a little late keeps the module's beat (one
    // module: exactly 1000 / interval polls a second); one held up longer,
    // by the line, starts a new period, so no two polls of a module are
    // ever less than about interval apart.
    first->poll_due = now - first->poll_due <= beat_slack ? first->poll_due + config_.interval
                                                          : now + config_.interval;
    return first;
}

std::optional<frame> scheduler::ready_command(time_point now, std::optional<time_point> &wake)
{
    while (!queue_.empty()) {
        step &head = queue_.front();
        module_state *module = find(head.address);
        if (!module->online() || !module->last) {
            forget(*module, head, QStringLiteral("module %1 is offline").arg(head.address));
            queue_.pop_front();
            continue;
        }
        const int k = head.output;
        if (!head.resolved) {
            head.resolved = true;
            head.resolved_on = head.request.what == set_request::action::toggle
                ? !module->last->output(k)
                : head.request.what == set_request::action::on;
        }
        const bool on = head.resolved_on;
        if (k == 0) {
            const std::uint8_t all = on ? 0xFF : 0x00;
            return build_frame(head.address, set_all_outputs, all, all);
        }
        if (!on)
            return build_frame(head.address, switch_off, 0, std::uint8_t(k));
        // Every partner must be seen off by a reply, interlock_delay ago.
        auto not_before = now;
        for (const int partner : partners(head.address, k)) {
            if (module->last->output(partner) || module->output(partner).maybe_on) {
                if (++head.interlock_tries > max_interlock_tries) {
                    const QString why = QStringLiteral("output %1/%2 does not go off")
                                            .arg(head.address)
                                            .arg(partner);
                    log(QStringLiteral("dropped %1: %2").arg(head.origin, why));
                    settle(head, command_outcome::kind::refused, why);
                    queue_.pop_front();
                    return ready_command(now, wake);
                }
                step off = off_step(head.address, partner,
                    QStringLiteral("interlock before %1").arg(head.origin),
                    module->output(partner).generation);
                queue_.push_front(off);
                return build_frame(off.address, switch_off, 0, std::uint8_t(partner));
            }
            not_before
                = std::max(not_before, module->output(partner).off_since + config_.interlock_delay);
        }
        if (not_before > now) {
            wake = not_before;
            return std::nullopt;
        }
        return build_frame(head.address, switch_on, 0, std::uint8_t(k));
    }
    return std::nullopt;
}

void scheduler::finished(
    time_point now, std::uint8_t address, const std::optional<module_status> &status)
{
    module_state *module = find(address);
    const bool was_step = std::exchange(head_in_flight_, false);
    if (module && status) {
        // A step is done only on a reply showing the commanded state;
        // otherwise it goes again, as after a timeout.
        bool shown = false;
        if (was_step && !queue_.empty()) {
            step &head = queue_.front();
            shown = head.output == 0 ? status->outputs == (head.resolved_on ? 0xFF : 0x00)
                                     : status->output(head.output) == head.resolved_on;
            if (!shown && ++head.unconfirmed >= max_unconfirmed) {
                const QString why
                    = QStringLiteral("module %1 does not confirm it").arg(head.address);
                log(QStringLiteral("dropped %1: %2").arg(head.origin, why));
                settle(head, command_outcome::kind::unconfirmed, why);
                // It may still have switched on.
                if (head.output > 0 && head.request.on_time && head.resolved_on)
                    module->output(head.output).off_due = true;
                queue_.pop_front();
            }
        }
        if (shown) {
            const step done = queue_.front();
            queue_.pop_front();
            settle(done, command_outcome::kind::confirmed, {}, status);
            if (!done.resolved_on) {
                // Confirmed off after an unconfirmed ON: the interlock delay
                // counts from now.
                for (int k = 1; k <= outputs; ++k) {
                    if ((done.output == 0 || done.output == k)
                        && std::exchange(module->output(k).maybe_on, false))
                        module->output(k).off_since = now;
                }
            }
            // on_time counts from the reply that shows the output on.
            const bool pulse = done.output > 0 && done.resolved_on && done.request.on_time
                && done.generation == module->output(done.output).generation;
            if (pulse && phase_ == stop_phase::draining) {
                // Confirmed while stopping: it ends now.
                step off = off_step(
                    module->address, done.output, QStringLiteral("on_time (stopping)"), 0);
                off.pulse_end = true;
                queue_.push_back(off);
            } else if (pulse && phase_ == stop_phase::done) {
                log(QStringLiteral("stopping: output %1/%2 may stay on, its on_time off not sent")
                        .arg(module->address)
                        .arg(done.output));
            } else if (pulse) {
                module->output(done.output).off_at = now + *done.request.on_time;
            }
        }
        take_reply(now, *module, *status);
    } else if (module) {
        // A command that timed out stays at the head and goes again: ON and
        // OFF mean the same the second time.
        count_miss(*module);
    }
    // The command that was in flight when stopping does not go again.
    while (phase_ == stop_phase::draining && !queue_.empty() && !queue_.front().pulse_end) {
        forget(*find(queue_.front().address), queue_.front(), QStringLiteral("stopping"));
        queue_.pop_front();
    }
}

void scheduler::take_reply(time_point now, module_state &module, const module_status &status)
{
    module.missed = 0;
    const bool returned = module.link == link_state::offline;
    const std::optional<module_status> before = module.last;
    module.last = status;
    for (int k = 1; k <= outputs; ++k) {
        output_state &output = module.output(k);
        // Replies come in order: nothing older can follow one showing it on.
        if (status.output(k))
            output.maybe_on = false;
        if (!before || before->output(k) != status.output(k))
            events_.state(module, false, k, status.output(k));
        if (!before || before->input(k) != status.input(k))
            events_.state(module, true, k, status.input(k));
        if (!status.output(k) && (!before || before->output(k)))
            output.off_since = before ? now : time_point {};
    }
    set_online(module, true);
    if (returned) {
        if (config_.on_link_loss == link_loss_action::all_off) {
            log(QStringLiteral("module %1 is back: all outputs off").arg(module.address));
            for (auto &output : module.outputs) {
                output.off_at.reset();
                output.off_due = false;
                ++output.generation;
            }
            queue_.push_front(
                off_step(module.address, 0, QStringLiteral("all_off after link loss"), 0));
        } else {
            log(QStringLiteral("module %1 is back").arg(module.address));
        }
    }
    for (int k = 1; k <= outputs; ++k) {
        if (std::exchange(module.output(k).off_due, false)) {
            step off = off_step(module.address, k, QStringLiteral("on_time (due while offline)"),
                module.output(k).generation);
            off.pulse_end = true;
            queue_.push_front(off);
        }
    }
}

void scheduler::count_miss(module_state &module)
{
    module.missed = std::min(module.missed + 1, config_.link_loss_after);
    if (module.missed < config_.link_loss_after)
        return;
    // No answer since start: now known as offline, though never lost.
    if (module.link == link_state::never_answered)
        events_.availability(module, false);
    if (!module.online())
        return;
    log(QStringLiteral("module %1: no reply %2 times, offline")
            .arg(module.address)
            .arg(module.missed));
    set_online(module, false);
    drop_commands(module, QStringLiteral("module %1 went offline").arg(module.address));
}

void scheduler::set_online(module_state &module, bool online)
{
    const bool changed = module.online() != online;
    if (online)
        module.link = link_state::online;
    else if (module.link == link_state::online)
        module.link = link_state::offline;
    events_.availability(module, changed);
}

void scheduler::drop_commands(module_state &module, const QString &why)
{
    std::deque<step> kept;
    qsizetype dropped = 0;
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        // The exchange in flight finishes first.
        if (it->address == module.address && !(it == queue_.begin() && head_in_flight_)) {
            forget(module, *it, why, true);
            dropped += it->pulse_end ? 0 : 1;
        } else {
            kept.push_back(std::move(*it));
        }
    }
    queue_ = std::move(kept);
    if (dropped > 0)
        log(QStringLiteral("dropped %1 queued command(s) for module %2: %3")
                .arg(dropped)
                .arg(module.address)
                .arg(why));
    // Pending offs of on_time stay: a pulse must end even across a loss.
}

void scheduler::forget(module_state &module, const step &dropped, const QString &why, bool quiet)
{
    // An on_time ON that went out may have switched on unseen: its off is
    // held like a pulse's end.
    const bool pulse_on
        = dropped.output > 0 && dropped.written && dropped.request.on_time && dropped.resolved_on;
    if (dropped.output > 0 && (dropped.pulse_end || pulse_on))
        module.output(dropped.output).off_due = true;
    settle(dropped,
        dropped.written ? command_outcome::kind::unconfirmed : command_outcome::kind::unavailable,
        why);
    if (!dropped.pulse_end && (!quiet || pulse_on))
        log(QStringLiteral("dropped %1: %2%3")
                .arg(dropped.origin, why,
                    pulse_on ? QStringLiteral("; its off goes when the module answers")
                             : QString()));
}

void scheduler::settle(const step &ended, command_outcome::kind what, const QString &reason,
    const std::optional<module_status> &status)
{
    if (ended.ticket != 0 && events_.outcome)
        events_.outcome(ended.ticket, { what, reason, status });
}

module_state *scheduler::find(std::uint8_t address)
{
    for (auto &module : modules_) {
        if (module.address == address)
            return &module;
    }
    return nullptr;
}

QList<int> scheduler::partners(std::uint8_t address, int output) const
{
    // output 0: every interlocked output of the module.
    QList<int> found;
    for (const auto &pair : config_.interlock) {
        if (pair.address != address)
            continue;
        if (output == 0 || pair.first == output)
            found.append(pair.second);
        if (output == 0 || pair.second == output)
            found.append(pair.first);
    }
    return found;
}

} // namespace orvalin::service
