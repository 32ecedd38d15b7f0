// The bridge's intake of commands: set messages from the broker and direct
// calls, through the same checks into the scheduler's queue.

#include "service/bridge.h"

#include <algorithm>

namespace orvalin::service {

using clock = service_clock;

void bridge::take_set(const QString &topic_name, const QByteArray &payload)
{
    const QString shown = clip_for_log(topic_name);
    const auto target = parse_set_topic(config_.prefix, topic_name);
    if (!target || !schedule_.find(target->address)) {
        log_repeated(QStringLiteral("ignored: no such module or output"),
            QStringLiteral("ignored %1: no such module or output").arg(shown));
        return;
    }
    const auto request = target->output ? parse_set(payload) : parse_set_all(payload);
    if (!request) {
        log_repeated(QStringLiteral("ignored: bad payload"),
            QStringLiteral("ignored %1: bad payload %2")
                .arg(shown, QString::fromUtf8(payload.left(64).toPercentEncoding(" {}\":,."))));
        return;
    }
    command_step step { target->address, target->output, *request, topic_name };
    if (const auto refused = submit(target->address, target->output, *request, std::move(step)))
        log_repeated(refused->log_kind,
            QStringLiteral("%1 %2: %3")
                .arg(refused->log_kind.section(u':', 0, 0), shown, refused->reason));
}

std::optional<bridge::refusal> bridge::command(std::uint8_t address, int output,
    const set_request &request, const QString &origin, outcome_function done)
{
    if (output < 0 || output > channels_per_kind || !schedule_.find(address))
        return refusal { refusal::kind::not_found,
            QStringLiteral("ignored: no such module or output"),
            QStringLiteral("no such module or output") };
    command_step step { address, output, request, origin };
    step.ticket = ++last_ticket_;
    const std::uint64_t ticket = step.ticket;
    // Waiting before it is queued: replacing an older command settles that
    // one's wait while queueing this.
    waiting_.emplace(ticket, std::move(done));
    const auto refused = submit(address, output, request, std::move(step));
    if (refused)
        waiting_.erase(ticket);
    return refused;
}

std::optional<bridge::refusal> bridge::submit(
    std::uint8_t address, int output, const set_request &request, command_step step)
{
    module_state *module = schedule_.find(address);
    if (schedule_.phase() != stop_phase::running)
        return refusal { refusal::kind::unavailable, QStringLiteral("dropped: stopping"),
            QStringLiteral("the service is stopping") };
    const bool all_on = output == 0 && request.what == set_request::action::on;
    if (all_on && !schedule_.partners(address, 0).isEmpty())
        return refusal { refusal::kind::refused,
            QStringLiteral("ignored: all ON for a module with interlocked outputs"),
            QStringLiteral("module %1 has interlocked outputs").arg(address) };
    const auto &limits = config_.on_time_limits;
    if (all_on && std::any_of(limits.begin(), limits.end(), [&](const on_time_limit &l) {
            return l.address == address;
        }))
        return refusal { refusal::kind::refused,
            QStringLiteral("ignored: all ON for a module with on_time limits"),
            QStringLiteral("module %1 has outputs with an on_time limit").arg(address) };
    // A pending off stays until this command goes out: one dropped on the
    // way must not leave a pulse on.
    if (!module->online())
        return refusal { refusal::kind::unavailable, QStringLiteral("dropped: module offline"),
            QStringLiteral("module %1 is offline").arg(address) };
    step.request = limit_on_time(request, config_.on_time_of(address, output));
    step.cancels_pulse = true;
    const std::uint64_t ticket = step.ticket;
    switch (schedule_.enqueue(std::move(step))) {
    case enqueue_result::full:
        return refusal { refusal::kind::busy, QStringLiteral("dropped: command queue full"),
            QStringLiteral("%1 commands are waiting already").arg(max_queued_commands) };
    case enqueue_result::cancelled:
        // Two TOGGLEs: neither goes out, and the output stays as it is.
        settle(ticket,
            { command_outcome::kind::replaced,
                QStringLiteral("it cancels a TOGGLE still waiting for the line"), std::nullopt });
        break;
    case enqueue_result::queued:
    case enqueue_result::replaced:
        break;
    }
    next_exchange();
    return std::nullopt;
}

void bridge::settle(std::uint64_t ticket, const command_outcome &outcome)
{
    const auto waiting = waiting_.find(ticket);
    if (waiting == waiting_.end())
        return;
    // Taken out first: the call may queue another command.
    const outcome_function done = std::move(waiting->second);
    waiting_.erase(waiting);
    if (done)
        done(outcome);
}

} // namespace orvalin::service
