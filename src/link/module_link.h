#pragma once

#include "link/frame.h"
#include "link/port_device.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <optional>

namespace orvalin {

class line_port;

// Finds status replies (parse_reply) in a byte stream, not by counting
// bytes: noise before or between replies is skipped.
class reply_finder {
public:
    void feed(QByteArrayView bytes);
    // The next reply in the stream, if a whole one has arrived.
    std::optional<module_status> next();
    // Bytes dropped as noise since the last clear().
    qint64 skipped() const { return skipped_; }
    // Bytes still to come before the reply begun can be whole (8 when none
    // is begun); meaningful after next() gave nothing.
    int missing() const { return int(frame {}.size()) - int(pending_.size()); }
    void clear();

private:
    QByteArray pending_;
    qint64 skipped_ = 0;
};

// How one exchange ended.
struct exchange_result {
    frame command {};
    // The reply from the command's address; none when the time ran out.
    std::optional<module_status> status;
    // From the write to the reply (or to the timeout).
    std::chrono::microseconds elapsed { 0 };
    // Noise bytes skipped while waiting.
    qint64 bad_bytes = 0;
};

// One exchange at a time on a line: writes a command frame, then waits for a
// status reply carrying the command's address. Replies from other addresses
// and noise are passed over. Everything runs on the event loop.
//
// No reply can be complete before the command and the reply have crossed
// the line and the module has turned round: until then the port holds input
// (line_port::hold_input), and after that it wakes the program only once the
// rest of the reply can be there (line_port::wake_at_bytes), so the bytes of
// a reply arriving one by one do not each wake it. The hold learns the
// module's turnaround: a reply not yet whole when it ends lengthens it by a
// millisecond, a run of replies already whole shortens it by one.
class module_link : public QObject {
    Q_OBJECT

public:
    explicit module_link(line_port &port, QObject *parent = nullptr);

    // Drops input still waiting from earlier exchanges, writes command and
    // starts waiting. False, with nothing written, when an exchange is under
    // way or the port is closed.
    bool start(const frame &command, std::chrono::milliseconds timeout);
    bool busy() const { return waiting_; }
    // How long input is held after the write, as learnt so far.
    std::chrono::milliseconds hold() const { return hold_for_; }
    // Something else waits for the line: the hold ends as soon as a reply
    // could be whole, so the reply is taken the moment it is, not when a
    // hold learnt long runs out. Costs a few wake-ups; teaches the hold
    // nothing.
    void hurry();
    // Stops waiting without a finished signal (the line was lost or closed).
    void cancel();

signals:
    void finished(const orvalin::exchange_result &result);

private:
    void on_ready_read();
    void finish(std::optional<module_status> status);
    void let_input_through();
    // As a hold ends: was the reply there whole?
    void learn(bool whole);

    line_port &port_;
    reply_finder finder_;
    QTimer timeout_;
    QTimer quiet_;
    std::chrono::milliseconds hold_for_;
    bool holding_ = false;
    bool hurried_ = false;
    int whole_in_a_row_ = 0;
    QElapsedTimer since_write_;
    frame command_ {};
    bool waiting_ = false;
};

} // namespace orvalin
