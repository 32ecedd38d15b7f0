#pragma once

#include "link/frame.h"

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
class module_link : public QObject {
    Q_OBJECT

public:
    explicit module_link(line_port &port, QObject *parent = nullptr);

    // Drops input still waiting from earlier exchanges, writes command and
    // starts waiting. False, with nothing written, when an exchange is under
    // way or the port is closed.
    bool start(const frame &command, std::chrono::milliseconds timeout);
    bool busy() const { return waiting_; }
    // Stops waiting without a finished signal (the line was lost or closed).
    void cancel();

signals:
    void finished(const orvalin::exchange_result &result);

private:
    void on_ready_read();
    void finish(std::optional<module_status> status);

    line_port &port_;
    reply_finder finder_;
    QTimer timeout_;
    QElapsedTimer since_write_;
    frame command_ {};
    bool waiting_ = false;
};

} // namespace orvalin
