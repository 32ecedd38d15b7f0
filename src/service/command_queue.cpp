#include "service/command_queue.h"

#include <algorithm>

namespace orvalin::service {

enqueue_result enqueue_command(std::deque<command_step> &queue, command_step command,
    bool head_busy, std::vector<command_step> *removed)
{
    using action = set_request::action;
    // The newest unsent one for the output decides what a TOGGLE means.
    const auto replaceable = [&](const command_step &queued) {
        return queued.cancels_pulse && !queued.written && queued.address == command.address
            && (command.output == 0 || queued.output == command.output);
    };
    const auto first = queue.begin() + (head_busy && !queue.empty() ? 1 : 0);
    const auto last = std::find_if(
        std::make_reverse_iterator(queue.end()), std::make_reverse_iterator(first), replaceable);
    const bool found = last != std::make_reverse_iterator(first);
    if (found && command.request.what == action::toggle) {
        const set_request &before = last->request;
        if (before.what == action::toggle) {
            if (removed)
                removed->push_back(*last);
            queue.erase(std::prev(last.base()));
            return enqueue_result::cancelled;
        }
        // An output's on_time limit rides on a TOGGLE: kept when it means ON.
        command.request = before.what == action::on
            ? set_request { action::off, std::nullopt }
            : set_request { action::on, command.request.on_time };
    }
    // Partitioned, not removed: the replaced ones are still whole at the end.
    const auto kept = std::stable_partition(
        first, queue.end(), [&](const command_step &queued) { return !replaceable(queued); });
    const bool replaced = kept != queue.end();
    if (removed)
        removed->insert(
            removed->end(), std::make_move_iterator(kept), std::make_move_iterator(queue.end()));
    queue.erase(kept, queue.end());
    const auto waiting = std::count_if(
        queue.begin(), queue.end(), [](const command_step &s) { return s.cancels_pulse; });
    if (std::size_t(waiting) >= max_queued_commands)
        return enqueue_result::full;
    queue.push_back(std::move(command));
    return replaced ? enqueue_result::replaced : enqueue_result::queued;
}

} // namespace orvalin::service
