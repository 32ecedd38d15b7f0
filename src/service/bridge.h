#pragma once

// src/service: `orvalinctl serve`, the MQTT bridge. The config (config),
// the payloads and topics (payload), the command queue and log summaries,
// the broker behind a small interface (broker, mosquitto_broker on
// libmosquitto) and the bridge that joins them to the line (this header),
// started by serve. Includes src/link, src/names and src/system; never a
// window.

#include "link/module_link.h"
#include "link/port_device.h"
#include "service/broker.h"
#include "service/command_queue.h"
#include "service/config.h"
#include "service/log_summary.h"
#include "service/payload.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace orvalin {
class line_port;
}

namespace orvalin::service {

// The service's logic between one serial line and a broker: polls the
// configured modules round-robin, one exchange per interval, carries out set
// commands ahead of the polls in the order received (but never two in a row
// while a poll is due), and publishes what the replies show. Everything runs
// on the event loop.
class bridge : public QObject {
    Q_OBJECT

public:
    using log_function = std::function<void(const QString &)>;

    // device is what config.port stands for.
    bridge(const service_config &config, QString device, line_port &port, broker &mqtt,
        log_function log, QObject *parent = nullptr);
    ~bridge() override;

    // Opens the line (retrying while it cannot) and subscribes.
    void start();
    // Sends the offs of pulses in progress if that takes less than 400 ms
    // (logging those left on), publishes the service offline, lets the
    // exchange in flight finish and sends nothing more; then done.
    void stop(std::function<void()> done);
    // Logs every frame written and every exchange's outcome.
    void set_verbose(bool on) { verbose_ = on; }

private:
    using step = command_step;
    struct module_state;

    void on_message(const QString &topic, const QByteArray &payload, bool retained);
    void on_connection(bool connected);
    void on_finished(const exchange_result &result);
    void on_port_lost(const port_failure &failure);

    void finish_stop();
    void open_port();
    void next_exchange();
    // The head step's frame when it may go now; otherwise arms the wait.
    std::optional<frame> ready_command(std::chrono::steady_clock::time_point now);
    void take_reply(module_state &module, const module_status &status);
    void count_miss(module_state &module);
    void set_available(module_state &module, bool online);
    void drop_commands(module_state &module, const QString &why);
    // A step leaves the queue unsent or unconfirmed; logged unless quiet.
    void forget(module_state &module, const step &dropped, const QString &why, bool quiet = false);
    // One line per kind and 10 s for what a flood of messages may repeat.
    void log_repeated(const QString &kind, const QString &text);
    // Called as a set command for the output goes out.
    void cancel_pulse(module_state &module, int output);
    void queue_off(module_state &module, int output, const QString &origin);
    void publish_all();
    // Home Assistant started: one republish, however many say so.
    void schedule_republish();
    void publish_discovery();
    void publish_stats();
    void publish_state(const module_state &module, bool input, int k, bool on);

    module_state *find(std::uint8_t address);
    QString topic(const module_state &module, const QString &rest) const;
    QList<int> partners(std::uint8_t address, int output) const;

    service_config config_;
    QString device_;
    line_port &port_;
    broker &mqtt_;
    log_function log_;
    module_link link_;
    std::vector<std::unique_ptr<module_state>> modules_;
    std::deque<step> queue_;
    std::size_t next_poll_ = 0;
    std::chrono::steady_clock::time_point next_poll_at_ {};
    QTimer wake_;
    QTimer reopen_;
    QTimer stats_;
    QTimer republish_;
    std::chrono::steady_clock::time_point last_republish_ {};
    log_summary repeated_;
    // The last exchange carried a command: a due poll goes next.
    bool command_last_ = false;
    QElapsedTimer port_missing_since_;
    port_problem last_problem_ = port_problem::none;
    bool verbose_ = false;
    bool stopping_ = false;
    bool draining_ = false; // stopping, pulses' offs still going out
    bool finished_stop_ = false;
    std::function<void()> stopped_;
    // The exchange on the line carries the head step, not a poll.
    bool head_in_flight_ = false;
};

} // namespace orvalin::service
