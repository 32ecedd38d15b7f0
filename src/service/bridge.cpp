#include "service/bridge.h"

#include "link/line_port.h"
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

constexpr int outputs = 8;
constexpr auto stats_period = 10s;
// Reopening a lost line: every second at first, then less often.
constexpr auto reopen_soon = 1s;
constexpr auto reopen_later = 10s;
constexpr auto reopen_soon_for = 60s;
// A module that will not confirm an interlock partner off gets no ON.
constexpr int max_interlock_tries = 3;
// Replies in a row that do not show what a step commanded before it is
// given up: a late reply of an earlier exchange can answer one write.
constexpr int max_unconfirmed = 3;
// Stopping: time left for pulses' offs before offline is published.
constexpr auto stop_offs_budget = 400ms;
// Births of Home Assistant this close together make one republish, and
// republishes are at least republish_gap apart.
constexpr auto republish_hold = 100ms;
constexpr auto republish_gap = 2s;

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

} // namespace

struct bridge::module_state {
    std::uint8_t address = 0;
    std::optional<module_status> last; // last reply
    bool online = false;
    bool availability_published = false;
    // It answered before and then stopped: on_link_loss applies on return.
    bool lost = false;
    int missed = 0;
    // Per output: bumped by every command sent, so an older on_time
    // never switches off what a newer command switched on.
    std::array<unsigned, outputs> generation {};
    std::array<std::unique_ptr<QTimer>, outputs> off_timer;
    // An ON went out and no reply has shown the output on since: it may be
    // on whatever older replies say.
    std::array<bool, outputs> maybe_on {};
    // When a reply first showed the output off.
    std::array<clock::time_point, outputs> off_since {};
    // An on_time off that fell due while the module was offline.
    std::array<bool, outputs> off_due {};
    // Counters since start; reply times since the last stats message.
    qint64 exchanges = 0, replies = 0, timeouts = 0, bad_frames = 0;
    std::vector<double> reply_ms;
};

bridge::bridge(const service_config &config, QString device, line_port &port, broker &mqtt,
    log_function log, QObject *parent)
    : QObject(parent)
    , config_(config)
    , device_(std::move(device))
    , port_(port)
    , mqtt_(mqtt)
    , log_(std::move(log))
    , link_(port)
{
    for (const auto address : config_.modules) {
        auto module = std::make_unique<module_state>();
        module->address = address;
        modules_.push_back(std::move(module));
    }
    wake_.setSingleShot(true);
    wake_.setTimerType(Qt::PreciseTimer);
    connect(&wake_, &QTimer::timeout, this, &bridge::next_exchange);
    reopen_.setSingleShot(true);
    connect(&reopen_, &QTimer::timeout, this, &bridge::open_port);
    stats_.setInterval(stats_period);
    connect(&stats_, &QTimer::timeout, this, [this] {
        publish_stats();
        for (const QString &line : repeated_.flush(clock::now()))
            log_(line);
    });
    republish_.setSingleShot(true);
    connect(&republish_, &QTimer::timeout, this, &bridge::publish_all);
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
    stopping_ = true;
    wake_.stop();
    reopen_.stop();
    republish_.stop();
    stopped_ = std::move(done);
    // Only the offs of pulses in progress go out now; nothing else.
    std::deque<step> kept;
    qsizetype dropped = 0;
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->pulse_end || (it == queue_.begin() && head_in_flight_)) {
            kept.push_back(std::move(*it));
        } else {
            forget(*find(it->address), *it, QStringLiteral("stopping"), true);
            ++dropped;
        }
    }
    queue_ = std::move(kept);
    // One line for a backlog, however long.
    if (dropped > 0)
        log_(QStringLiteral("stopping: %1 queued command(s) dropped").arg(dropped));
    for (auto &module : modules_) {
        for (int k = 1; k <= outputs; ++k) {
            const bool running = module->off_timer[k - 1] && module->off_timer[k - 1]->isActive();
            if (running || (module->online && module->off_due[k - 1])) {
                module->off_due[k - 1] = false;
                queue_off(*module, k, QStringLiteral("on_time (stopping)"));
            }
        }
    }
    draining_ = port_.is_open();
    if (draining_) {
        QTimer::singleShot(stop_offs_budget, this, &bridge::finish_stop);
        next_exchange();
    } else {
        finish_stop();
    }
}

void bridge::finish_stop()
{
    if (std::exchange(finished_stop_, true))
        return;
    draining_ = false;
    for (auto &module : modules_) {
        for (int k = 1; k <= outputs; ++k) {
            const bool queued = std::any_of(queue_.begin(), queue_.end(), [&](const step &s) {
                return s.pulse_end && s.address == module->address && s.output == k;
            });
            if (queued || module->off_due[k - 1])
                log_(QStringLiteral("stopping: output %1/%2 may stay on, its on_time off not sent")
                         .arg(module->address)
                         .arg(k));
        }
    }
    for (const QString &line : repeated_.flush(clock::now(), true))
        log_(line);
    mqtt_.publish(config_.prefix + QStringLiteral("/status"), "offline", true);
    if (!link_.busy() && stopped_)
        std::exchange(stopped_, nullptr)();
}

// --- the line ------------------------------------------------------------

void bridge::open_port()
{
    if (stopping_)
        return;
    const port_failure failure = port_.open(device_);
    if (!failure) {
        log_(QStringLiteral("line: %1 open").arg(device_));
        port_missing_since_.invalidate();
        last_problem_ = port_problem::none;
        next_poll_at_ = clock::now();
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
    for (auto &module : modules_) {
        set_available(*module, false);
        drop_commands(*module, QStringLiteral("the line is not open"));
    }
    reopen_.start(
        port_missing_since_.elapsed() < reopen_soon_for / 1ms ? reopen_soon : reopen_later);
}

void bridge::on_port_lost(const port_failure &failure)
{
    link_.cancel();
    head_in_flight_ = false;
    log_(QStringLiteral("line: %1 lost: %2 (%3)")
             .arg(device_, problem_text_en(failure.problem), failure.system_text));
    last_problem_ = failure.problem;
    port_missing_since_.start();
    for (auto &module : modules_) {
        if (module->online)
            module->lost = true;
        set_available(*module, false);
        drop_commands(*module, QStringLiteral("the line was lost"));
    }
    if (stopping_) {
        finish_stop();
        if (stopped_)
            std::exchange(stopped_, nullptr)();
        return;
    }
    reopen_.start(reopen_soon);
}

void bridge::next_exchange()
{
    if ((stopping_ && !draining_) || link_.busy() || !port_.is_open())
        return;
    const auto now = clock::now();
    // A due poll goes before a second command in a row: a backlog of
    // commands never stops the polling of any module.
    const bool poll_first
        = !draining_ && command_last_ && now >= next_poll_at_ && !modules_.empty();
    const auto command = poll_first ? std::nullopt : ready_command(now);
    command_last_ = command.has_value();
    if (draining_ && !command) {
        finish_stop();
        return;
    }
    if (command) {
        head_in_flight_ = true;
        // Copied: cancel_pulse may erase from the queue.
        const step head = queue_.front();
        module_state &module = *find(head.address);
        for (int k = 1; k <= outputs; ++k) {
            if (head.output != 0 && head.output != k)
                continue;
            if (head.resolved_on)
                module.maybe_on[k - 1] = true;
            if (head.cancels_pulse)
                cancel_pulse(module, k);
        }
        queue_.front().written = true;
        if (head.output > 0)
            queue_.front().generation = module.generation[head.output - 1];
        if (verbose_)
            log_(QStringLiteral("tx %1 (%2)").arg(hex(*command), queue_.front().origin));
        link_.start(*command, config_.interval);
        return;
    }
    if (now < next_poll_at_) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next_poll_at_ - now);
        if (!wake_.isActive() || wake_.remainingTimeAsDuration() > wait)
            wake_.start(wait);
        return;
    }
    if (modules_.empty())
        return;
    module_state &module = *modules_[next_poll_];
    next_poll_ = (next_poll_ + 1) % modules_.size();
    next_poll_at_ = std::max(next_poll_at_ + config_.interval, now);
    const frame poll = build_frame(module.address, status_poll, 0, 0);
    if (verbose_)
        log_(QStringLiteral("tx %1 (poll)").arg(hex(poll)));
    link_.start(poll, config_.interval);
}

std::optional<frame> bridge::ready_command(clock::time_point now)
{
    while (!queue_.empty()) {
        step &head = queue_.front();
        module_state *module = find(head.address);
        if (!module->online || !module->last) {
            forget(*module, head, QStringLiteral("module %1 is offline").arg(head.address));
            queue_.pop_front();
            continue;
        }
        const int k = head.output;
        if (!head.resolved) {
            head.resolved = true;
            head.resolved_on = head.request.what == set_request::action::toggle
                ? !module->last->output(k)
                : head.request.what == set_request::action::on;
        }
        const bool on = head.resolved_on;
        if (k == 0) {
            const std::uint8_t all = on ? 0xFF : 0x00;
            return build_frame(head.address, set_all_outputs, all, all);
        }
        if (!on)
            return build_frame(head.address, switch_off, 0, std::uint8_t(k));
        // Every partner must be seen off by a reply, interlock_delay ago.
        auto not_before = now;
        for (const int partner : partners(head.address, k)) {
            if (module->last->output(partner) || module->maybe_on[partner - 1]) {
                if (++head.interlock_tries > max_interlock_tries) {
                    log_(QStringLiteral("dropped %1: output %2/%3 does not go off")
                             .arg(head.origin)
                             .arg(head.address)
                             .arg(partner));
                    queue_.pop_front();
                    return ready_command(now);
                }
                step off { head.address, partner, { set_request::action::off, std::nullopt },
                    QStringLiteral("interlock before %1").arg(head.origin),
                    module->generation[partner - 1] };
                queue_.push_front(off);
                return build_frame(off.address, switch_off, 0, std::uint8_t(partner));
            }
            not_before
                = std::max(not_before, module->off_since[partner - 1] + config_.interlock_delay);
        }
        if (not_before > now) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(not_before - now);
            if (!wake_.isActive() || wake_.remainingTimeAsDuration() > wait)
                wake_.start(wait);
            return std::nullopt;
        }
        return build_frame(head.address, switch_on, 0, std::uint8_t(k));
    }
    return std::nullopt;
}

void bridge::on_finished(const exchange_result &result)
{
    module_state *module = find(result.command[1]);
    const bool was_step = std::exchange(head_in_flight_, false);
    if (module) {
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
            module->reply_ms.push_back(to_ms(result.elapsed));
            // A step is done only on a reply showing the commanded state;
            // otherwise it goes again, as after a timeout.
            bool shown = false;
            if (was_step && !queue_.empty()) {
                step &head = queue_.front();
                const auto &status = *result.status;
                shown = head.output == 0 ? status.outputs == (head.resolved_on ? 0xFF : 0x00)
                                         : status.output(head.output) == head.resolved_on;
                if (!shown && ++head.unconfirmed >= max_unconfirmed) {
                    log_(QStringLiteral("dropped %1: module %2 does not confirm it")
                             .arg(head.origin)
                             .arg(head.address));
                    // It may still have switched on.
                    if (head.output > 0 && head.request.on_time && head.resolved_on)
                        module->off_due[head.output - 1] = true;
                    queue_.pop_front();
                }
            }
            if (shown) {
                const step done = queue_.front();
                queue_.pop_front();
                if (!done.resolved_on) {
                    // Confirmed off after an unconfirmed ON: the interlock
                    // delay counts from now.
                    for (int k = 1; k <= outputs; ++k) {
                        if ((done.output == 0 || done.output == k)
                            && std::exchange(module->maybe_on[k - 1], false))
                            module->off_since[k - 1] = clock::now();
                    }
                }
                // on_time counts from the reply that shows the output on.
                const bool pulse = done.output > 0 && done.resolved_on && done.request.on_time
                    && done.generation == module->generation[done.output - 1];
                if (pulse && stopping_) {
                    // Confirmed while stopping: it ends now or is reported.
                    step off { module->address, done.output,
                        { set_request::action::off, std::nullopt },
                        QStringLiteral("on_time (stopping)") };
                    off.pulse_end = true;
                    if (draining_)
                        queue_.push_back(off);
                    else
                        log_(QStringLiteral(
                            "stopping: output %1/%2 may stay on, its on_time off not sent")
                                 .arg(module->address)
                                 .arg(done.output));
                } else if (pulse) {
                    auto &timer = module->off_timer[done.output - 1];
                    timer = std::make_unique<QTimer>();
                    timer->setSingleShot(true);
                    timer->setTimerType(Qt::PreciseTimer);
                    const int k = done.output;
                    connect(timer.get(), &QTimer::timeout, this,
                        [this, module, k] { queue_off(*module, k, QStringLiteral("on_time")); });
                    timer->start(*done.request.on_time);
                }
            }
            take_reply(*module, *result.status);
        } else {
            if (verbose_)
                log_(QStringLiteral("timeout module %1").arg(module->address));
            ++module->timeouts;
            // A command that timed out stays at the head and goes again:
            // ON and OFF mean the same the second time.
            count_miss(*module);
        }
    }
    if (stopping_) {
        // The command that was in flight when stopping does not go again.
        while (draining_ && !queue_.empty() && !queue_.front().pulse_end) {
            forget(*find(queue_.front().address), queue_.front(), QStringLiteral("stopping"));
            queue_.pop_front();
        }
        if (draining_)
            next_exchange();
        else if (stopped_)
            std::exchange(stopped_, nullptr)();
        return;
    }
    next_exchange();
}

void bridge::take_reply(module_state &module, const module_status &status)
{
    const auto now = clock::now();
    module.missed = 0;
    const bool returned = !module.online && module.lost;
    const std::optional<module_status> before = module.last;
    module.last = status;
    for (int k = 1; k <= outputs; ++k) {
        // Replies come in order: nothing older can follow one showing it on.
        if (status.output(k))
            module.maybe_on[k - 1] = false;
        if (!before || before->output(k) != status.output(k))
            publish_state(module, false, k, status.output(k));
        if (!before || before->input(k) != status.input(k))
            publish_state(module, true, k, status.input(k));
        if (!status.output(k) && (!before || before->output(k)))
            module.off_since[k - 1] = before ? now : clock::time_point {};
    }
    set_available(module, true);
    if (returned) {
        module.lost = false;
        if (config_.on_link_loss == link_loss_action::all_off) {
            log_(QStringLiteral("module %1 is back: all outputs off").arg(module.address));
            for (auto &timer : module.off_timer)
                timer.reset();
            module.off_due.fill(false);
            for (auto &generation : module.generation)
                ++generation;
            queue_.push_front({ module.address, 0, { set_request::action::off, std::nullopt },
                QStringLiteral("all_off after link loss") });
        } else {
            log_(QStringLiteral("module %1 is back").arg(module.address));
        }
    }
    for (int k = 1; k <= outputs; ++k) {
        if (std::exchange(module.off_due[k - 1], false)) {
            step off { module.address, k, { set_request::action::off, std::nullopt },
                QStringLiteral("on_time (due while offline)"), module.generation[k - 1] };
            off.pulse_end = true;
            queue_.push_front(off);
        }
    }
}

void bridge::count_miss(module_state &module)
{
    module.missed = std::min(module.missed + 1, config_.link_loss_after);
    if (module.missed < config_.link_loss_after || !module.online)
        return;
    module.lost = true;
    log_(QStringLiteral("module %1: no reply %2 times, offline")
             .arg(module.address)
             .arg(module.missed));
    set_available(module, false);
    drop_commands(module, QStringLiteral("module %1 went offline").arg(module.address));
}

void bridge::set_available(module_state &module, bool online)
{
    if (module.online == online && module.availability_published)
        return;
    module.online = online;
    module.availability_published = mqtt_.is_connected();
    mqtt_.publish(topic(module, QStringLiteral("available")),
        online ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"), true);
}

void bridge::drop_commands(module_state &module, const QString &why)
{
    std::deque<step> kept;
    qsizetype dropped = 0;
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        // The exchange in flight finishes first.
        if (it->address == module.address && !(it == queue_.begin() && head_in_flight_)) {
            forget(module, *it, why, true);
            dropped += it->pulse_end ? 0 : 1;
        } else {
            kept.push_back(std::move(*it));
        }
    }
    queue_ = std::move(kept);
    if (dropped > 0)
        log_(QStringLiteral("dropped %1 queued command(s) for module %2: %3")
                 .arg(dropped)
                 .arg(module.address)
                 .arg(why));
    // Pending offs of on_time stay: a pulse must end even across a loss.
}

void bridge::forget(module_state &module, const step &dropped, const QString &why, bool quiet)
{
    // An on_time ON that went out may have switched on unseen: its off is
    // held like a pulse's end.
    const bool pulse_on
        = dropped.output > 0 && dropped.written && dropped.request.on_time && dropped.resolved_on;
    if (dropped.pulse_end || pulse_on)
        module.off_due[dropped.output - 1] = true;
    if (!dropped.pulse_end && (!quiet || pulse_on))
        log_(QStringLiteral("dropped %1: %2%3")
                 .arg(dropped.origin, why,
                     pulse_on ? QStringLiteral("; its off goes when the module answers")
                              : QString()));
}

void bridge::cancel_pulse(module_state &module, int output)
{
    module.off_timer[output - 1].reset();
    module.off_due[output - 1] = false;
    ++module.generation[output - 1];
    // Queued offs behind the head too; the head is the command going out.
    for (auto it = std::next(queue_.begin()); it != queue_.end();) {
        if (it->pulse_end && it->address == module.address && it->output == output)
            it = queue_.erase(it);
        else
            ++it;
    }
}

void bridge::queue_off(module_state &module, int output, const QString &origin)
{
    module.off_timer[output - 1].reset();
    if (!module.online) {
        // The one thing held for an offline module: an output must not stay
        // on for good because its pulse ended during a link loss.
        log_(QStringLiteral("%1 for %2/%3 due while the module is offline; sent when it answers")
                 .arg(origin)
                 .arg(module.address)
                 .arg(output));
        module.off_due[output - 1] = true;
        return;
    }
    step off { module.address, output, { set_request::action::off, std::nullopt }, origin,
        module.generation[output - 1] };
    off.pulse_end = true;
    queue_.push_back(off);
    next_exchange();
}

// --- the broker -----------------------------------------------------------

void bridge::on_message(const QString &topic_name, const QByteArray &payload, bool retained)
{
    // "online" must not follow the offline that stop() published.
    if (stopping_)
        return;
    if (config_.discovery && topic_name == config_.discovery_prefix + QStringLiteral("/status")) {
        if (payload == "online")
            schedule_republish();
        return;
    }
    const QString shown = clip_for_log(topic_name);
    if (retained) {
        // A command is never held and carried out later, e.g. on reconnecting.
        log_repeated(QStringLiteral("ignored: retained message"),
            QStringLiteral("ignored %1: retained message").arg(shown));
        return;
    }
    const auto target = parse_set_topic(config_.prefix, topic_name);
    module_state *module = target ? find(target->address) : nullptr;
    if (!module) {
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
    if (target->output == 0 && request->what == set_request::action::on
        && !partners(module->address, 0).isEmpty()) {
        log_repeated(QStringLiteral("ignored: all ON for a module with interlocked outputs"),
            QStringLiteral("ignored %1: module %2 has interlocked outputs")
                .arg(shown)
                .arg(module->address));
        return;
    }
    // A pending off stays until this command goes out: one dropped on the
    // way must not leave a pulse on.
    if (!module->online) {
        log_repeated(QStringLiteral("dropped: module offline"),
            QStringLiteral("dropped %1: module %2 is offline").arg(shown).arg(module->address));
        return;
    }
    step command { module->address, target->output, *request, topic_name };
    command.cancels_pulse = true;
    if (enqueue_command(queue_, std::move(command), head_in_flight_) == enqueue_result::full) {
        log_repeated(QStringLiteral("dropped: command queue full"),
            QStringLiteral("dropped %1: %2 commands are waiting already")
                .arg(shown)
                .arg(max_queued_commands));
        return;
    }
    next_exchange();
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
    if (!connected || stopping_)
        return;
    publish_all();
}

void bridge::publish_all()
{
    // Covers any republish pending.
    republish_.stop();
    last_republish_ = clock::now();
    mqtt_.publish(config_.prefix + QStringLiteral("/status"), "online", true);
    if (config_.discovery)
        publish_discovery();
    for (auto &module : modules_) {
        module->availability_published = false;
        set_available(*module, module->online);
        if (!module->last)
            continue;
        for (int k = 1; k <= outputs; ++k) {
            publish_state(*module, false, k, module->last->output(k));
            publish_state(*module, true, k, module->last->input(k));
        }
    }
}

void bridge::publish_state(const module_state &module, bool input, int k, bool on)
{
    mqtt_.publish(topic(module, QStringLiteral("%1/%2").arg(input ? u"input" : u"output").arg(k)),
        on_off(on), true);
}

void bridge::publish_discovery()
{
    std::map<std::uint8_t, channel_names> names;
    for (const auto &module : modules_)
        names[module->address] = read_channel_names(config_.names_file, module->address);
    for (const mqtt_message &message : discovery_messages(config_, names))
        mqtt_.publish(message.topic, message.payload, message.retained);
}

void bridge::publish_stats()
{
    for (auto &module : modules_) {
        auto &times = module->reply_ms;
        double median = 0, longest = 0;
        if (!times.empty()) {
            std::sort(times.begin(), times.end());
            median = times[times.size() / 2];
            longest = times.back();
        }
        const QJsonObject stats {
            { QStringLiteral("exchanges"), module->exchanges },
            { QStringLiteral("replies"), module->replies },
            { QStringLiteral("timeouts"), module->timeouts },
            { QStringLiteral("bad_frames"), module->bad_frames },
            { QStringLiteral("reply_ms_median"), std::round(median * 10) / 10 },
            { QStringLiteral("reply_ms_max"), std::round(longest * 10) / 10 },
        };
        times.clear();
        mqtt_.publish(topic(*module, QStringLiteral("stats")),
            QJsonDocument(stats).toJson(QJsonDocument::Compact), false);
    }
}

// --- helpers ----------------------------------------------------------------

bridge::module_state *bridge::find(std::uint8_t address)
{
    for (auto &module : modules_) {
        if (module->address == address)
            return module.get();
    }
    return nullptr;
}

QString bridge::topic(const module_state &module, const QString &rest) const
{
    return QStringLiteral("%1/%2/%3").arg(config_.prefix).arg(module.address).arg(rest);
}

QList<int> bridge::partners(std::uint8_t address, int output) const
{
    // output 0: every interlocked output of the module.
    QList<int> found;
    for (const auto &pair : config_.interlock) {
        if (pair.address != address)
            continue;
        if (output == 0 || pair.first == output)
            found.append(pair.second);
        if (output == 0 || pair.second == output)
            found.append(pair.first);
    }
    return found;
}

} // namespace orvalin::service
