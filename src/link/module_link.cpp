#include "link/module_link.h"

#include "link/line_port.h"

#include <algorithm>

namespace orvalin {

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
    port_.write(command);
    since_write_.start();
    timeout_.start(timeout);
    port_.wake_at_bytes(finder_.missing());
    // Replies vary by a millisecond or so; waking a little early costs one
    // more wake-up, a little late only that much delay.
    const auto quiet = std::chrono::floor<std::chrono::milliseconds>(last_reply_);
    if (quiet < timeout) {
        port_.hold_input(true);
        quiet_.start(quiet);
    }
    return true;
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
    port_.hold_input(false);
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
    // Never below the time the line itself takes.
    if (status)
        last_reply_ = std::max(exchange_time, result.elapsed);
    result.bad_bytes = finder_.skipped();
    emit finished(result);
}

} // namespace orvalin
