#include "link/module_link.h"

#include "link/line_port.h"

#include <algorithm>

namespace orvalin {

namespace {

// The hold never ends before the line's own time, nor long after.
constexpr auto shortest_hold = std::chrono::floor<std::chrono::milliseconds>(exchange_time);
constexpr auto longest_hold = shortest_hold + std::chrono::milliseconds(20);
// Replies whole at once in a row before the hold is tried a little shorter.
constexpr int shorten_after = 8;

} // namespace

void reply_finder::feed(QByteArrayView bytes)
{
    pending_.append(bytes);
}

std::optional<module_status> reply_finder::next()
{
    while (!pending_.isEmpty()) {
        const auto start = pending_.indexOf(char(reply_start));
        if (start < 0) {
            skipped_ += pending_.size();
            pending_.clear();
            return std::nullopt;
        }
        if (start > 0) {
            skipped_ += start;
            pending_.remove(0, start);
        }
        if (pending_.size() < qsizetype(frame {}.size()))
            return std::nullopt;
        frame bytes {};
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = std::uint8_t(pending_[qsizetype(i)]);
        const auto status = parse_reply(bytes);
        if (!status) {
            // Not a reply after all: this start byte was noise.
            ++skipped_;
            pending_.remove(0, 1);
            continue;
        }
        pending_.remove(0, qsizetype(bytes.size()));
        return status;
    }
    return std::nullopt;
}

void reply_finder::clear()
{
    pending_.clear();
    skipped_ = 0;
}

module_link::module_link(line_port &port, QObject *parent)
    : QObject(parent)
    , port_(port)
    , hold_for_(shortest_hold)
{
    timeout_.setSingleShot(true);
    timeout_.setTimerType(Qt::PreciseTimer);
    connect(&timeout_, &QTimer::timeout, this, [this] { finish(std::nullopt); });
    quiet_.setSingleShot(true);
    quiet_.setTimerType(Qt::PreciseTimer);
    connect(&quiet_, &QTimer::timeout, this, &module_link::let_input_through);
    connect(&port_, &line_port::ready_read, this, &module_link::on_ready_read);
}

bool module_link::start(const frame &command, std::chrono::milliseconds timeout)
{
    if (waiting_ || !port_.is_open())
        return false;
    // A late reply to an earlier exchange must not answer this one.
    port_.discard_input();
    finder_.clear();
    command_ = command;
    waiting_ = true;
    hurried_ = false;
    port_.write(command);
    since_write_.start();
    timeout_.start(timeout);
    port_.wake_at_bytes(finder_.missing());
    if (hold_for_ < timeout) {
        holding_ = true;
        port_.hold_input(true);
        quiet_.start(hold_for_);
    }
    return true;
}

void module_link::hurry()
{
    if (!holding_ || std::exchange(hurried_, true))
        return;
    const auto held = std::chrono::nanoseconds(since_write_.nsecsElapsed());
    if (held >= shortest_hold)
        let_input_through();
    else
        quiet_.start(std::chrono::ceil<std::chrono::milliseconds>(shortest_hold - held));
}

void module_link::cancel()
{
    waiting_ = false;
    timeout_.stop();
    let_input_through();
}

void module_link::let_input_through()
{
    quiet_.stop();
    if (std::exchange(holding_, false)) {
        // Only a hold that ran its learnt time says whether it was long
        // enough.
        if (waiting_ && !hurried_) {
            const qint64 waiting = port_.bytes_waiting();
            if (waiting >= 0)
                learn(waiting >= finder_.missing());
        }
        port_.hold_input(false);
    }
}

void module_link::learn(bool whole)
{
    if (!whole) {
        hold_for_ = std::min(longest_hold, hold_for_ + std::chrono::milliseconds(1));
        whole_in_a_row_ = 0;
    } else if (++whole_in_a_row_ >= shorten_after) {
        hold_for_ = std::max(shortest_hold, hold_for_ - std::chrono::milliseconds(1));
        whole_in_a_row_ = 0;
    }
}

void module_link::on_ready_read()
{
    const QByteArray bytes = port_.read_all();
    if (!waiting_)
        return;
    finder_.feed(bytes);
    while (const auto status = finder_.next()) {
        if (status->address == command_[1]) {
            finish(status);
            return;
        }
    }
    port_.wake_at_bytes(finder_.missing());
}

void module_link::finish(std::optional<module_status> status)
{
    if (!waiting_)
        return;
    waiting_ = false;
    timeout_.stop();
    let_input_through();
    exchange_result result;
    result.command = command_;
    result.status = status;
    result.elapsed = std::chrono::microseconds(since_write_.nsecsElapsed() / 1000);
    result.bad_bytes = finder_.skipped();
    emit finished(result);
}

} // namespace orvalin
