#include "service/bridge.h"

#include "link/line_port.h"
#include "service/cleanup.h"
#include "service/discovery.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <map>

namespace orvalin::service {

using namespace std::chrono_literals;
using clock = std::chrono::steady_clock;

namespace {

constexpr int outputs = channels_per_kind;
constexpr auto stats_period = 10s;
// Reopening a lost line: every second at first, then less often.
constexpr auto reopen_soon = 1s;
constexpr auto reopen_later = 10s;
constexpr auto reopen_soon_for = 60s;
// Stopping: time left for pulses' offs before offline is published.
constexpr auto stop_offs_budget = 400ms;
// Births of Home Assistant this close together make one republish, and
// republishes are at least republish_gap apart.
constexpr auto republish_hold = 100ms;
constexpr auto republish_gap = 2s;
// How long the retained topics left over from an older config take to come.
constexpr auto cleanup_settle = 1s;

QByteArray on_off(bool on)
{
    return on ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF");
}

QString hex(const frame &bytes)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()))
            .toHex(' '));
}

double to_ms(std::chrono::microseconds time)
{
    return double(time.count()) / 1000.0;
}

// The median and the given quantile of times, to 0.1 ms (0 for none).
std::pair<double, double> median_and(std::vector<double> &times, double quantile)
{
    if (times.empty())
        return { 0.0, 0.0 };
    std::sort(times.begin(), times.end());
    const auto at = [&](double q) {
        const auto index = std::min(times.size() - 1, std::size_t(q * double(times.size())));
        return std::round(times[index] * 10) / 10;
    };
    return { at(0.5), at(quantile) };
}

} // namespace

bridge::bridge(const service_config &config, QString device, line_port &port, broker &mqtt,
    log_function log, QObject *parent)
    : QObject(parent)
    , config_(config)
    , device_(std::move(device))
    , port_(port)
    , mqtt_(mqtt)
    , log_(std::move(log))
    , link_(port)
    , schedule_(config,
          { [this](const QString &line) { log_(line); },
              [this](const module_state &module, bool input, int k, bool on) {
                  emit state_changed(module.address, input, k, on);
                  publish_state(module, input, k, on);
              },
              [this](module_state &module, bool changed) {
                  if (changed)
                      emit availability_changed(module.address, module.online());
                  publish_availability(module, changed);
              },
              [this](std::uint64_t ticket, const command_outcome &outcome) {
                  settle(ticket, outcome);
              } })
    , cleanup_(config)
{
    wake_.setSingleShot(true);
    wake_.setTimerType(Qt::PreciseTimer);
    connect(&wake_, &QTimer::timeout, this, &bridge::next_exchange);
    pulse_timer_.setSingleShot(true);
    pulse_timer_.setTimerType(Qt::PreciseTimer);
    connect(&pulse_timer_, &QTimer::timeout, this, [this] {
        schedule_.offs_due(clock::now());
        next_exchange();
    });
    reopen_.setSingleShot(true);
    connect(&reopen_, &QTimer::timeout, this, &bridge::open_port);
    stats_.setInterval(stats_period);
    connect(&stats_, &QTimer::timeout, this, [this] {
        publish_stats();
        for (const QString &line : repeated_.flush(clock::now()))
            log_(line);
    });
    cleanup_timer_.setSingleShot(true);
    cleanup_timer_.setInterval(cleanup_settle);
    connect(&cleanup_timer_, &QTimer::timeout, this, &bridge::finish_cleanup);
    republish_.setSingleShot(true);
    connect(&republish_, &QTimer::timeout, this, &bridge::publish_all);
    rename_republish_.setSingleShot(true);
    rename_republish_.setInterval(1s);
    connect(&rename_republish_, &QTimer::timeout, this, [this] {
        // While disconnected, the republish after connecting covers it.
        if (config_.discovery && mqtt_.is_connected())
            publish_discovery();
    });
    connect(&link_, &module_link::finished, this, &bridge::on_finished);
    connect(&port_, &line_port::lost, this, &bridge::on_port_lost);
    connect(&mqtt_, &broker::message, this, &bridge::on_message);
    connect(&mqtt_, &broker::connection_changed, this, &bridge::on_connection);
}

bridge::~bridge() = default;

void bridge::start()
{
    mqtt_.subscribe(config_.prefix + QStringLiteral("/+/output/+/set"));
    if (config_.discovery)
        mqtt_.subscribe(config_.discovery_prefix + QStringLiteral("/status"));
    stats_.start();
    if (mqtt_.is_connected())
        on_connection(true);
    open_port();
}

void bridge::stop(std::function<void()> done)
{
    wake_.stop();
    reopen_.stop();
    republish_.stop();
    cleanup_timer_.stop();
    stopped_ = std::move(done);
    schedule_.begin_stop();
    pulse_timer_.stop();
    if (port_.is_open()) {
        QTimer::singleShot(stop_offs_budget, this, &bridge::finish_stop);
        next_exchange();
    } else {
        finish_stop();
    }
}

void bridge::finish_stop()
{
    if (!schedule_.finish_stop())
        return;
    for (const QString &line : repeated_.flush(clock::now(), true))
        log_(line);
    mqtt_.publish(config_.prefix + QStringLiteral("/status"), "offline", true);
    if (!link_.busy() && stopped_)
        std::exchange(stopped_, nullptr)();
}

// --- the line ------------------------------------------------------------

void bridge::open_port()
{
    if (schedule_.phase() != stop_phase::running)
        return;
    const port_failure failure = port_.open(device_);
    if (!failure) {
        log_(QStringLiteral("line: %1 open").arg(device_));
        port_missing_since_.invalidate();
        last_problem_ = port_problem::none;
        schedule_.line_open(clock::now());
        next_exchange();
        return;
    }
    if (!port_missing_since_.isValid())
        port_missing_since_.start();
    // One line per kind of trouble, not one per attempt.
    if (failure.problem != last_problem_)
        log_(QStringLiteral("line: cannot open %1: %2 (%3); retrying")
                 .arg(device_, problem_text_en(failure.problem), failure.system_text));
    last_problem_ = failure.problem;
    schedule_.line_gone(QStringLiteral("the line is not open"), false);
    reopen_.start(
        port_missing_since_.elapsed() < reopen_soon_for / 1ms ? reopen_soon : reopen_later);
}

void bridge::on_port_lost(const port_failure &failure)
{
    link_.cancel();
    log_(QStringLiteral("line: %1 lost: %2 (%3)")
             .arg(device_, problem_text_en(failure.problem), failure.system_text));
    last_problem_ = failure.problem;
    port_missing_since_.start();
    schedule_.line_gone(QStringLiteral("the line was lost"), true);
    if (schedule_.phase() != stop_phase::running) {
        finish_stop();
        if (stopped_)
            std::exchange(stopped_, nullptr)();
        return;
    }
    reopen_.start(reopen_soon);
}

void bridge::next_exchange()
{
    arm_pulse_timer();
    if (schedule_.phase() == stop_phase::done || !port_.is_open())
        return;
    if (link_.busy()) {
        // A command or an off waits: it goes the moment this reply is in.
        if (!schedule_.queue().empty())
            link_.hurry();
        return;
    }
    const auto now = clock::now();
    const next_action action = schedule_.next(now);
    if (action.wake) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*action.wake - now);
        if (!wake_.isActive() || wake_.remainingTimeAsDuration() > wait)
            wake_.start(wait);
    }
    switch (action.what) {
    case next_action::kind::none:
        return;
    case next_action::kind::drained:
        finish_stop();
        return;
    case next_action::kind::command:
    case next_action::kind::poll:
        // The offs a command cancels.
        arm_pulse_timer();
        if (verbose_)
            log_(QStringLiteral("tx %1 (%2)").arg(hex(action.bytes), action.reason));
        link_.start(action.bytes, reply_timeout());
        return;
    }
}

std::chrono::milliseconds bridge::reply_timeout() const
{
    // The line's own time for the exchange, then the margin the config
    // gives the module: a silent module holds up the others no longer.
    if (config_.one_poll_per_interval)
        return config_.interval;
    return std::chrono::ceil<std::chrono::milliseconds>(exchange_time) + config_.reply_timeout;
}

void bridge::arm_pulse_timer()
{
    const auto off = schedule_.next_off();
    if (!off) {
        pulse_timer_.stop();
        return;
    }
    pulse_timer_.start(
        std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(*off - clock::now())));
}

void bridge::on_finished(const exchange_result &result)
{
    const std::uint8_t address = result.command[1];
    if (module_state *module = schedule_.find(address)) {
        ++module->exchanges;
        if (result.bad_bytes > 0)
            ++module->bad_frames;
        if (result.status) {
            if (verbose_)
                log_(QStringLiteral("rx module %1 outputs %2 inputs %3 in %4 ms")
                         .arg(module->address)
                         .arg(result.status->outputs, 2, 16, QLatin1Char('0'))
                         .arg(result.status->inputs, 2, 16, QLatin1Char('0'))
                         .arg(to_ms(result.elapsed), 0, 'f', 1));
            ++module->replies;
            if (module->reply_ms.size() < module_state::max_samples)
                module->reply_ms.push_back(to_ms(result.elapsed));
        } else {
            if (verbose_)
                log_(QStringLiteral("timeout module %1").arg(module->address));
            ++module->timeouts;
        }
    }
    schedule_.finished(clock::now(), address, result.status);
    if (schedule_.phase() == stop_phase::done) {
        if (stopped_)
            std::exchange(stopped_, nullptr)();
        return;
    }
    next_exchange();
}

// --- the broker -----------------------------------------------------------

void bridge::on_message(const QString &topic_name, const QByteArray &payload, bool retained)
{
    // "online" must not follow the offline that stop() published.
    if (schedule_.phase() != stop_phase::running)
        return;
    if (config_.discovery && topic_name == config_.discovery_prefix + QStringLiteral("/status")) {
        if (payload == "online")
            schedule_republish();
        return;
    }
    if (cleanup_.filter().covers(topic_name)) {
        if (const auto line = cleanup_.take(topic_name, payload, retained))
            log_(*line);
        return;
    }
    const QString shown = clip_for_log(topic_name);
    if (retained) {
        // A command is never held and carried out later, e.g. on reconnecting.
        log_repeated(QStringLiteral("ignored: retained message"),
            QStringLiteral("ignored %1: retained message").arg(shown));
        return;
    }
    take_set(topic_name, payload);
}

void bridge::log_repeated(const QString &kind, const QString &text)
{
    if (const auto line = repeated_.note(kind, text, clock::now()))
        log_(*line);
}

void bridge::schedule_republish()
{
    if (republish_.isActive()) {
        log_repeated(QStringLiteral("mqtt: Home Assistant started again, one republish pending"),
            QStringLiteral("mqtt: Home Assistant started again, one republish pending"));
        return;
    }
    log_repeated(QStringLiteral("mqtt: Home Assistant started"),
        QStringLiteral("mqtt: Home Assistant started, publishing everything again"));
    const auto wait
        = std::max<clock::duration>(republish_hold, last_republish_ + republish_gap - clock::now());
    republish_.start(std::chrono::ceil<std::chrono::milliseconds>(wait));
}

void bridge::on_connection(bool connected)
{
    if (!connected || schedule_.phase() != stop_phase::running)
        return;
    publish_all();
    begin_cleanup();
}

void bridge::begin_cleanup()
{
    if (cleaned_)
        return;
    if (!cleanup_.collecting()) {
        cleanup_.begin();
        for (const QString &filter : cleanup_.filter().subscriptions())
            mqtt_.subscribe(filter);
    }
    cleanup_timer_.start();
}

void bridge::finish_cleanup()
{
    // The next connection gives the retained topics another window.
    if (!mqtt_.is_connected() || schedule_.phase() != stop_phase::running)
        return;
    cleaned_ = true;
    const QStringList topics = cleanup_.finish();
    for (const QString &filter : cleanup_.filter().subscriptions())
        mqtt_.unsubscribe(filter);
    for (const QString &left_over : topics)
        mqtt_.publish(left_over, {}, true);
    if (!topics.isEmpty())
        log_(QStringLiteral("mqtt: cleared %1 retained topics an older config left")
                 .arg(topics.size()));
}

void bridge::names_changed()
{
    if (!rename_republish_.isActive())
        rename_republish_.start();
}

void bridge::publish_all()
{
    // Covers any republish pending.
    republish_.stop();
    last_republish_ = clock::now();
    mqtt_.publish(config_.prefix + QStringLiteral("/status"), "online", true);
    if (config_.discovery)
        publish_discovery();
    for (auto &module : schedule_.modules()) {
        module.availability_published = false;
        publish_availability(module, false);
        if (!module.last)
            continue;
        for (int k = 1; k <= outputs; ++k) {
            publish_state(module, false, k, module.last->output(k));
            publish_state(module, true, k, module.last->input(k));
        }
    }
}

void bridge::publish_availability(module_state &module, bool changed)
{
    if (!changed && module.availability_published)
        return;
    // Nothing until the first poll's outcome is known: no outage is shown
    // for a module that is about to answer.
    if (module.link == link_state::never_answered && module.missed < config_.link_loss_after
        && port_.is_open())
        return;
    module.availability_published = mqtt_.is_connected();
    mqtt_.publish(topic(module, QStringLiteral("available")),
        module.online() ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"), true);
}

void bridge::publish_state(const module_state &module, bool input, int k, bool on)
{
    mqtt_.publish(topic(module, QStringLiteral("%1/%2").arg(input ? u"input" : u"output").arg(k)),
        on_off(on), true);
}

void bridge::publish_discovery()
{
    std::map<std::uint8_t, channel_names> names;
    for (const auto address : config_.modules)
        names[address] = read_channel_names(config_.names_file, QString::number(address));
    for (const mqtt_message &message : discovery_messages(config_, names, config_.http.page_url()))
        mqtt_.publish(message.topic, message.payload, message.retained);
}

void bridge::publish_stats()
{
    for (auto &module : schedule_.modules()) {
        const auto [reply_median, reply_max] = median_and(module.reply_ms, 1.0);
        const auto [poll_median, poll_p99] = median_and(module.poll_period_ms, 0.99);
        const QJsonObject stats {
            { QStringLiteral("exchanges"), module.exchanges },
            { QStringLiteral("replies"), module.replies },
            { QStringLiteral("timeouts"), module.timeouts },
            { QStringLiteral("bad_frames"), module.bad_frames },
            { QStringLiteral("reply_ms_median"), reply_median },
            { QStringLiteral("reply_ms_max"), reply_max },
            { QStringLiteral("poll_ms_median"), poll_median },
            { QStringLiteral("poll_ms_p99"), poll_p99 },
        };
        module.reply_ms.clear();
        module.poll_period_ms.clear();
        mqtt_.publish(topic(module, QStringLiteral("stats")),
            QJsonDocument(stats).toJson(QJsonDocument::Compact), false);
    }
}

// --- helpers ----------------------------------------------------------------

QString bridge::topic(const module_state &module, const QString &rest) const
{
    return QStringLiteral("%1/%2/%3").arg(config_.prefix).arg(module.address).arg(rest);
}

} // namespace orvalin::service
