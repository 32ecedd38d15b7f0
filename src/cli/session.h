#pragma once

#include "cli/cli.h"
#include "link/line_port.h"
#include "link/module_link.h"

#include <QList>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

namespace orvalin::cli {

// One orvalinctl run on one line: the port, one exchange at a time, the
// confirmation of switching commands and the end of the run with its exit
// code. Everything runs on the event loop of run().
class session : public QObject {
    Q_OBJECT

public:
    explicit session(const settings &options, QObject *parent = nullptr);

    // Opens the port exclusively; exit_port after saying why, else exit_ok.
    int open();
    // Runs the event loop until finish(); returns the exit code.
    int run();
    // Ends run() with code (once; later calls are ignored).
    void finish(int code);

    using reply_handler = std::function<void(const exchange_result &)>;
    // Writes command and calls then with the reply from its address or with
    // none after timeout. One exchange at a time.
    void exchange(const frame &command, std::chrono::milliseconds timeout, reply_handler then);
    void poll(std::uint8_t address, reply_handler then);

    // The outputs in mask should end up as in want.
    struct target {
        std::uint8_t mask = 0;
        std::uint8_t want = 0;
        bool met_by(const module_status &status) const
        {
            return (status.outputs & mask) == (want & mask);
        }
    };
    using confirm_handler = std::function<void(bool confirmed, std::optional<module_status> last)>;
    // Sends the commands one by one (each waits --timeout for its reply),
    // then polls until a reply meets target: at most confirm_polls polls.
    void send_confirmed(const QList<frame> &commands, target goal, confirm_handler then);
    static constexpr int confirm_polls = 3;
    // Drops the exchange under way and the send_confirmed() it belongs to:
    // neither calls its handler any more. The dropped exchange's reply may
    // still come in and be taken for the next exchange's.
    void abandon();

    // Says on standard error that the module did not confirm, with every
    // frame sent in this run.
    void report_unconfirmed(const QString &what, const std::optional<module_status> &last) const;
    // The frames written so far, oldest first.
    const QList<frame> &sent() const { return sent_; }

    const settings &options() const { return options_; }
    // The device the port stands for, as opened.
    QString device() const { return port_.device(); }

private:
    struct confirm_run;
    void continue_confirm(std::shared_ptr<confirm_run> run);
    void on_finished(const exchange_result &result);
    void on_lost(const port_failure &failure);

    settings options_;
    qt_line_port port_;
    module_link link_ { port_ };
    reply_handler pending_;
    // Counts send_confirmed() and abandon() calls: a run that is not the
    // latest was abandoned.
    std::uint64_t confirm_generation_ = 0;
    QList<frame> sent_;
    bool finished_ = false;
};

// FIRST-LAST within 0-255, or one address alone.
std::optional<std::pair<int, int>> parse_address_range(const QString &text);
// Polls each address of range once on line, one after the other (progress on
// standard error when it is a terminal); found for each reply, then done with
// their count.
void scan_range(session &line, std::pair<int, int> range, std::chrono::milliseconds timeout,
    std::function<void(const module_status &)> found, std::function<void(int count)> done);
// One module that answered, as scan prints it; with device (indented, or a
// "device" key first) for ports --probe.
void print_module(const module_status &status, bool json, const QString &device);

} // namespace orvalin::cli
