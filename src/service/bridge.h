#pragma once

// src/service: `orvalinctl serve`, the MQTT bridge. The config (config),
// the payloads and topics (payload), the command queue and log summaries,
// the broker behind a small interface (broker, mosquitto_broker on
// libmosquitto), the scheduler that decides what goes on the line, the
// discovery configs and the bridge that joins them to the line and the
// broker (this header), started by the command line's serve. Includes
// src/link, src/names and src/system; never a window.

#include "link/module_link.h"
#include "link/port_device.h"
#include "service/broker.h"
#include "service/cleanup.h"
#include "service/command_queue.h"
#include "service/config.h"
#include "service/log_summary.h"
#include "service/payload.h"
#include "service/scheduler.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace orvalin {
class line_port;
}

namespace orvalin::service {

// The service's logic between one serial line and a broker: polls the
// configured modules and carries out set commands as its scheduler says,
// and publishes what the replies show. Everything runs on the event loop.
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

    using outcome_function = std::function<void(const command_outcome &)>;
    // Why a command is not taken at all.
    struct refusal {
        enum class kind {
            not_found, // no such module or output
            refused, // all ON against an interlock or on_time limit
            unavailable, // the module is offline, or stopping
            busy, // the command queue is full
        };
        kind what;
        QString log_kind; // "ignored: ...", "dropped: ..." for the log summary
        QString reason; // in words
    };
    // Carries out a command for output 1..8 (0: all) of a module as a set
    // message is (queue order, interlock, on_time limits and pulses). done
    // is called once, with the confirming reply or why it did not end so;
    // a refusal is returned at once instead, and done is never called.
    std::optional<refusal> command(std::uint8_t address, int output, const set_request &request,
        const QString &origin, outcome_function done);
    // A channel name changed in the name file: the discovery configs are
    // published again, once for a burst of renames.
    void names_changed();
    // What the service knows of its modules, in config order.
    const std::vector<module_state> &modules() const { return schedule_.modules(); }

signals:
    // A reply showed a channel change (or the first reply showed it).
    void state_changed(std::uint8_t address, bool input, int k, bool on);
    // A module came online or went offline.
    void availability_changed(std::uint8_t address, bool online);

private:
    void on_message(const QString &topic, const QByteArray &payload, bool retained);
    // A set message: parsed, checked and queued, or logged why not.
    void take_set(const QString &topic, const QByteArray &payload);
    // Calls whoever waits for ticket, once.
    void settle(std::uint64_t ticket, const command_outcome &outcome);
    // The checks every command passes, then the queue.
    std::optional<refusal> submit(
        std::uint8_t address, int output, const set_request &request, command_step command);
    void on_connection(bool connected);
    void on_finished(const exchange_result &result);
    void on_port_lost(const port_failure &failure);

    void finish_stop();
    void open_port();
    // Sends what the scheduler says when the line is free; arms the timers.
    void next_exchange();
    void arm_pulse_timer();
    std::chrono::milliseconds reply_timeout() const;
    // One line per kind and 10 s for what a flood of messages may repeat.
    void log_repeated(const QString &kind, const QString &text);
    void publish_all();
    // Home Assistant started: one republish, however many say so.
    void schedule_republish();
    void publish_discovery();
    // Once after start: the retained topics an older config left are
    // collected for a while after connecting, then cleared.
    void begin_cleanup();
    void finish_cleanup();
    void publish_stats();
    void publish_state(const module_state &module, bool input, int k, bool on);
    void publish_availability(module_state &module, bool changed);

    QString topic(const module_state &module, const QString &rest) const;

    service_config config_;
    QString device_;
    line_port &port_;
    broker &mqtt_;
    log_function log_;
    module_link link_;
    scheduler schedule_;
    QTimer wake_;
    QTimer pulse_timer_;
    QTimer reopen_;
    QTimer stats_;
    QTimer republish_;
    QTimer rename_republish_;
    cleanup_collector cleanup_;
    QTimer cleanup_timer_;
    bool cleaned_ = false;
    std::chrono::steady_clock::time_point last_republish_ {};
    log_summary repeated_;
    QElapsedTimer port_missing_since_;
    port_problem last_problem_ = port_problem::none;
    bool verbose_ = false;
    std::function<void()> stopped_;
    // Who waits for which command; bounded by the command queue.
    std::map<std::uint64_t, outcome_function> waiting_;
    std::uint64_t last_ticket_ = 0;
};

} // namespace orvalin::service
