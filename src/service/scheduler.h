#pragma once

#include "service/command_queue.h"
#include "service/config.h"
#include "service/module_state.h"

#include <QList>
#include <QString>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace orvalin::service {

// What goes on the line next.
struct next_action {
    enum class kind {
        none, // nothing now
        command, // frame carries the head of the queue
        poll, // frame polls address
        drained, // stopping and no pulse's off is left to send
    };
    kind what = kind::none;
    frame bytes {};
    std::uint8_t address = 0;
    QString reason; // the command's origin; "poll"
    // Ask again then at the latest (a poll or an interlock wait falls due).
    std::optional<service_clock::time_point> wake;
};

// What the scheduler tells its owner, as it happens.
struct scheduler_events {
    std::function<void(const QString &)> log;
    // A reply showed a channel change (or the first reply showed it).
    std::function<void(const module_state &, bool input, int k, bool on)> state;
    // The link state became online or offline, or stayed (changed false).
    std::function<void(module_state &, bool changed)> availability;
    // A command with a ticket ended (may be empty).
    std::function<void(std::uint64_t ticket, const command_outcome &)> outcome;
};

// The service's decisions for one line, with the time given to every call:
// each module polled at most once per interval, the line kept busy while
// any is due (the one due first goes first); commands ahead of the polls
// in the order received, but never two in a row while a poll is due; a
// partner's off and interlock_delay before an ON; the offs of pulses; a
// module offline after link_loss_after polls without a reply, and all
// outputs off on its return when on_link_loss says so. Owns no timer and no
// line: the owner sends what next() returns, reports each exchange to
// finished() and calls next() again.
class scheduler {
public:
    using time_point = service_clock::time_point;

    scheduler(const service_config &config, scheduler_events events);

    // The line opened: a poll is due now.
    void line_open(time_point now);
    // The line went away or cannot be opened: every module is offline, its
    // commands dropped; the exchange in flight, if any, is abandoned.
    void line_gone(const QString &why, bool in_flight_abandoned);

    // Adds a command from a set message (see enqueue_command).
    enqueue_result enqueue(command_step command);
    // The offs of pulses that fell due by now are queued (held for an
    // offline module).
    void offs_due(time_point now);
    // When the next pulse's off falls due.
    std::optional<time_point> next_off() const;
    // What to send now; a command is marked sent.
    next_action next(time_point now);
    // The exchange for address ended: status is its reply, none on timeout.
    void finished(time_point now, std::uint8_t address, const std::optional<module_status> &status);

    // Stopping: drops every command but the one on the line and the offs of
    // pulses, and queues the offs of pulses in progress; next() sends only
    // those, then says drained.
    void begin_stop();
    // Stopped: logs every output whose on_time off was not sent. False when
    // stopped already.
    bool finish_stop();
    stop_phase phase() const { return phase_; }

    std::vector<module_state> &modules() { return modules_; }
    const std::vector<module_state> &modules() const { return modules_; }
    module_state *find(std::uint8_t address);
    // Interlock partners of output (0: every interlocked output).
    QList<int> partners(std::uint8_t address, int output) const;
    const std::deque<command_step> &queue() const { return queue_; }

private:
    using step = command_step;

    static command_step off_step(
        std::uint8_t address, int output, const QString &origin, unsigned generation);

    std::optional<frame> ready_command(time_point now, std::optional<time_point> &wake);
    // The module to poll now, or none (wake then says when one falls due).
    module_state *poll_due(time_point now, std::optional<time_point> &wake);
    time_point first_poll_due() const;
    void take_reply(time_point now, module_state &module, const module_status &status);
    void count_miss(module_state &module);
    void set_online(module_state &module, bool online);
    void drop_commands(module_state &module, const QString &why);
    // A step leaves the queue unsent or unconfirmed; logged unless quiet.
    void forget(module_state &module, const step &dropped, const QString &why, bool quiet = false);
    // Tells whoever waits for step how it ended.
    void settle(const step &ended, command_outcome::kind what, const QString &reason = {},
        const std::optional<module_status> &status = std::nullopt);
    // Called as a set command for the output goes out.
    void cancel_pulse(module_state &module, int output);
    void queue_off(module_state &module, int output, const QString &origin);
    void log(const QString &line) { events_.log(line); }

    service_config config_;
    scheduler_events events_;
    std::vector<module_state> modules_;
    std::deque<step> queue_;
    // Where the turn of modules due together goes on.
    std::size_t next_poll_ = 0;
    // The line's next poll under one_poll_per_interval.
    time_point next_poll_at_ {};
    // The last exchange carried a command: a due poll goes next.
    bool command_last_ = false;
    // The exchange on the line carries the head step, not a poll.
    bool head_in_flight_ = false;
    stop_phase phase_ = stop_phase::running;
};

} // namespace orvalin::service
