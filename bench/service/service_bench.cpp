// orvalin-service-bench: orvalinctl serve against a real mosquitto and three
// emulated modules at 9600 baud, measured from outside:
//   set -> command frame: from the moment this tool publishes a set until the
//     emulator has the frame's last byte (its --monotonic "rx" time), so the
//     broker's hop counts against the service;
//   input -> state: from just before "in K on|off @A" goes to the emulator
//     until this tool's subscription has the state message;
//   CPU, wake-ups (voluntary context switches, all threads) and exchanges
//     over a stretch of plain polling, against the same figures of a minimal
//     C loop doing the same exchanges on the same line first
//     (reference_loop.c), and peak RSS;
//   with --watch, also the wake-ups per exchange of `orvalinctl watch`.
// While latencies are taken, one thread per core sleeps a millisecond at a
// time: a wake more than a millisecond late is a stall of the machine (on
// this virtual one the host takes both cores away for up to tens of
// milliseconds, idle or not). Samples that span one are reported apart as
// well as in the whole.
//
//   orvalin-service-bench [--build DIR] [--samples N] [--idle-seconds N] [--out FILE]
//                         [--broker-nodelay] [--one-poll-per-interval] [--watch]

#include "bench_common.h"
#include "broker_process.h"
#include "sim_process.h"

#include <mosquitto.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace orvalin::bench;

namespace {

constexpr int modules[] = { 1, 2, 7 };
constexpr auto interval = 50ms;
// On the emulator's line: 16 bytes at 9600 baud and its 2 ms turnaround.
constexpr double exchange_ms = 16 * 10 * 1000.0 / 9600 + 2;
constexpr double frame_ms = 8 * 10 * 1000.0 / 9600;

// A libmosquitto client on its own thread, so arrival times are taken the
// moment a message is read, not when this tool's event loop gets to it.
class timed_client {
public:
    explicit timed_client(int port)
    {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(
            client_, [](mosquitto *, void *self, const mosquitto_message *m) {
                auto *that = static_cast<timed_client *>(self);
                const std::lock_guard lock(that->mutex_);
                that->arrivals_.push_back(
                    { m->topic, QByteArray(static_cast<const char *>(m->payload), m->payloadlen),
                        steady::now() });
            });
        mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect(client_, "127.0.0.1", port, 30);
        mosquitto_subscribe(client_, nullptr, "orvalin/#", 1);
        mosquitto_loop_start(client_);
    }
    ~timed_client()
    {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, true);
        mosquitto_destroy(client_);
    }
    void publish(const std::string &topic, const QByteArray &payload)
    {
        mosquitto_publish(
            client_, nullptr, topic.c_str(), int(payload.size()), payload.constData(), 1, false);
    }
    // Arrival of topic = payload after since; none on time-out.
    std::optional<steady::time_point> wait_for(
        const std::string &topic, const QByteArray &payload, steady::time_point since)
    {
        const auto deadline = steady::now() + 3s;
        while (steady::now() < deadline) {
            {
                const std::lock_guard lock(mutex_);
                for (const auto &a : arrivals_) {
                    if (a.time >= since && a.topic == topic && a.payload == payload)
                        return a.time;
                }
            }
            QTest::qWait(1);
        }
        return std::nullopt;
    }

private:
    struct arrival {
        std::string topic;
        QByteArray payload;
        steady::time_point time;
    };
    mosquitto *client_ = nullptr;
    std::mutex mutex_;
    std::vector<arrival> arrivals_;
};

// Commands the emulated modules have taken, all of them.
long long frames_taken(sim_process &sim)
{
    long long frames = 0;
    for (const int module : modules) {
        const QString line = sim.command(QStringLiteral("status @%1").arg(module));
        frames += line.section(QStringLiteral("frames "), 1).section(' ', 0, 0).toLongLong();
    }
    return frames;
}

// Per exchange over a stretch: CPU, wake-ups, and how many there were.
struct per_exchange {
    long long exchanges = 0;
    double cpu_us = 0, wakeups = 0, involuntary = 0;
};

// A running process measured while the emulator counts its exchanges.
per_exchange measure(qint64 pid, sim_process &sim, int seconds)
{
    const long long frames_before = frames_taken(sim);
    const usage before = usage_of(pid);
    QTest::qWait(seconds * 1000);
    const usage after = usage_of(pid);
    per_exchange result;
    result.exchanges = frames_taken(sim) - frames_before;
    const double n = double(std::max(1LL, result.exchanges));
    result.cpu_us = (after.cpu_ms - before.cpu_ms) * 1000 / n;
    result.wakeups = double(after.voluntary - before.voluntary) / n;
    result.involuntary = double(after.involuntary - before.involuntary) / n;
    return result;
}

// The C loop: its own figures from getrusage.
std::optional<per_exchange> reference(const QString &link, int seconds)
{
    QProcess loop;
    QStringList arguments { link, QString::number(seconds) };
    for (const int module : modules)
        arguments << QString::number(module);
    // Beside this tool, so --build may name another build of orvalinctl.
    loop.start(
        QDir(QCoreApplication::applicationDirPath()).filePath("orvalin-reference-loop"), arguments);
    if (!loop.waitForFinished((seconds + 10) * 1000) || loop.exitCode() != 0)
        return std::nullopt;
    const QList<QByteArray> words = loop.readAllStandardOutput().simplified().split(' ');
    per_exchange result;
    result.exchanges = words.value(1).toLongLong();
    const double n = double(std::max(1LL, result.exchanges));
    result.cpu_us = words.value(5).toDouble() / n;
    result.wakeups = words.value(7).toDouble() / n;
    result.involuntary = words.value(9).toDouble() / n;
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption build_option(
        "build", "Build directory.", "dir", QCoreApplication::applicationDirPath() + "/..");
    const QCommandLineOption samples_option("samples", "Samples per latency.", "n", "200");
    const QCommandLineOption idle_option(
        "idle-seconds", "Plain polling measured for CPU.", "n", "20");
    const QCommandLineOption out_option("out", "Figures as JSON.", "file");
    const QCommandLineOption nodelay_option(
        "broker-nodelay", "The broker sends without delay (set_tcp_nodelay).");
    const QCommandLineOption old_option("one-poll-per-interval",
        "The service's former schedule: one poll of the line per interval.");
    const QCommandLineOption watch_option("watch", "Also measure orvalinctl watch.");
    parser.addOptions({ build_option, samples_option, idle_option, out_option, nodelay_option,
        old_option, watch_option });
    parser.addHelpOption();
    parser.process(app);
    const int samples = parser.value(samples_option).toInt();

    QTemporaryDir dir;
    broker_process broker;
    sim_process sim;
    if (!broker.start(dir.path(), parser.isSet(nodelay_option) ? "set_tcp_nodelay true\n" : "")
        || !sim.start(
            dir.path(), { "--address", "1,2,7", "--baud", "9600", "--verbose", "--monotonic" })) {
        std::fprintf(stderr, "cannot start the broker or the emulator: %s %s\n",
            qPrintable(broker.error()), qPrintable(sim.error()));
        return 1;
    }
    const QString build = parser.value(build_option);
    const int idle_seconds = parser.value(idle_option).toInt();
    const bool old_schedule = parser.isSet(old_option);
    QFile config(dir.filePath("orvalin.conf"));
    config.open(QIODevice::WriteOnly);
    config.write(QStringLiteral("[line]\nport = %1\nmodules = 1,2,7\ninterval = %2\n"
                                "[mqtt]\nhost = 127.0.0.1\nport = %3\n")
                     .arg(sim.link_path())
                     .arg(interval.count())
                     .arg(broker.port())
                     .toUtf8());
    config.close();
    const auto start_service = [&](QProcess &service) {
        service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (old_schedule) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("ORVALIN_BENCH_ONE_POLL_PER_INTERVAL", "1");
            service.setProcessEnvironment(environment);
        }
        service.start(
            QDir(build).filePath("orvalinctl"), { "serve", "--config", config.fileName() });
        return service.waitForStarted();
    };
    timed_client client(broker.port());

    // Plain polling, nothing else on the line, in turns with the yardstick
    // (the service stopped meanwhile, as the line is the loop's alone): both
    // see the same moments of a machine whose speed varies by half within
    // minutes.
    constexpr int turns = 4;
    const int turn_seconds = std::max(1, idle_seconds / turns);
    per_exchange polling, yardstick;
    const auto add = [](per_exchange &sum, const per_exchange &turn) {
        const double n = double(sum.exchanges + turn.exchanges);
        const auto mix = [&](double a, double b) {
            return n > 0 ? (a * double(sum.exchanges) + b * double(turn.exchanges)) / n : 0.0;
        };
        sum = { sum.exchanges + turn.exchanges, mix(sum.cpu_us, turn.cpu_us),
            mix(sum.wakeups, turn.wakeups), mix(sum.involuntary, turn.involuntary) };
    };
    for (int turn = 0; turn < turns; ++turn) {
        const auto loop = reference(sim.link_path(), turn_seconds);
        if (!loop) {
            std::fprintf(stderr, "the reference loop did not run\n");
            return 1;
        }
        add(yardstick, *loop);
        QProcess service;
        if (!start_service(service)) {
            std::fprintf(stderr, "cannot start orvalinctl\n");
            return 1;
        }
        // Past the start: connecting, discovery, the first polls.
        QTest::qWait(1500);
        add(polling, measure(service.processId(), sim, turn_seconds));
        service.terminate();
        service.waitForFinished(2000);
    }
    const double cpu_percent
        = polling.cpu_us * double(polling.exchanges) / 1e6 / (turns * turn_seconds) * 100;

    QProcess service;
    if (!start_service(service)) {
        std::fprintf(stderr, "cannot start orvalinctl\n");
        return 1;
    }
    const auto started = steady::now();
    if (!client.wait_for("orvalin/7/available", "online", started)) {
        std::fprintf(stderr, "the service did not bring module 7 online\n");
        return 1;
    }
    QTest::qWait(500);

    auto *random = QRandomGenerator::global();
    std::vector<double> set_ms, input_ms, set_ms_steady, input_ms_steady;
    std::optional<stall_watch> stalls(std::in_place);
    std::array<std::array<bool, 9>, 8> output_on {}, input_on {};
    for (int i = 0; i < samples; ++i) {
        // A random moment within the poll cycle.
        QTest::qWait(int(random->bounded(20, 170)));
        const int module = modules[random->bounded(3)];
        const int k = int(random->bounded(1, 9));
        bool &on = output_on[module % 8][k];
        on = !on;
        const qsizetype from = sim.lines().size();
        const auto sent = steady::now();
        client.publish(QStringLiteral("orvalin/%1/output/%2/set").arg(module).arg(k).toStdString(),
            on ? "ON" : "OFF");
        const QString line
            = sim.wait_for_line(QRegularExpression(QStringLiteral("^rx (\\S+) 55 %1 %2 00 00 00 %3")
                                                       .arg(module, 2, 16, QLatin1Char('0'))
                                                       .arg(on ? "12" : "11")
                                                       .arg(k, 2, 16, QLatin1Char('0'))),
                3s, from);
        if (line.isEmpty())
            continue;
        const double on_line = line.section(' ', 1, 1).toDouble();
        set_ms.push_back(on_line - ms_since_boot(sent));
        if (!stalls->any_within(ms_since_boot(sent), on_line))
            set_ms_steady.push_back(set_ms.back());
    }
    for (int i = 0; i < samples; ++i) {
        QTest::qWait(int(random->bounded(20, 170)));
        const int module = modules[random->bounded(3)];
        const int k = int(random->bounded(1, 9));
        bool &on = input_on[module % 8][k];
        on = !on;
        const auto changed = steady::now();
        if (sim.command(QStringLiteral("in %1 %2 @%3").arg(k).arg(on ? "on" : "off").arg(module))
            != "ok")
            continue;
        const auto arrived = client.wait_for(
            QStringLiteral("orvalin/%1/input/%2").arg(module).arg(k).toStdString(),
            on ? "ON" : "OFF", changed);
        if (!arrived)
            continue;
        input_ms.push_back(std::chrono::duration<double, std::milli>(*arrived - changed).count());
        if (!stalls->any_within(ms_since_boot(changed), ms_since_boot(*arrived)))
            input_ms_steady.push_back(input_ms.back());
    }
    const std::size_t stall_count = stalls->count();
    stalls.reset();
    const long long rss = rss_kib(service.processId());
    service.terminate();
    service.waitForFinished(2000);

    std::optional<per_exchange> watching;
    if (parser.isSet(watch_option)) {
        QProcess watch;
        watch.start(
            QDir(build).filePath("orvalinctl"), { "-p", sim.link_path(), "-a", "1", "watch" });
        if (watch.waitForStarted()) {
            QTest::qWait(1000);
            watching = measure(watch.processId(), sim, idle_seconds / 2);
            watch.terminate();
            watch.waitForFinished(2000);
        }
    }

    if (qEnvironmentVariableIsSet("ORVALIN_BENCH_DUMP")) {
        for (const double v : set_ms)
            std::fprintf(stderr, "set %.1f\n", v);
        for (const double v : input_ms)
            std::fprintf(stderr, "input %.1f\n", v);
    }
    const summary set = summarize(set_ms), input = summarize(input_ms);
    const summary set_steady = summarize(set_ms_steady), input_steady = summarize(input_ms_steady);
    // One round of all modules: at line speed, or one interval each before.
    const double round = old_schedule
        ? double(interval.count()) * std::size(modules)
        : std::max(double(interval.count()), exchange_ms * std::size(modules));
    const double set_goal = exchange_ms + frame_ms + 2;
    const double input_goal = round + exchange_ms + 5;
    const double ratio = polling.cpu_us / std::max(1e-9, yardstick.cpu_us);
    const auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    std::printf("orvalinctl serve, 3 modules at 9600 baud, %s schedule%s\n",
        old_schedule ? "one poll per interval (former)" : "line-paced",
        parser.isSet(nodelay_option) ? ", broker with set_tcp_nodelay" : "");
    std::printf("%-42s %9s %9s %9s   %s\n", "", "p50", "p99", "max", "goal");
    std::printf("%-42s %6.1f ms %6.1f ms %6.1f ms   p99 <= %.1f ms (exchange + frame + 2)   %s\n",
        qPrintable(QStringLiteral("set -> frame on the line (n=%1)").arg(set_ms.size())), set.p50,
        set.p99, set.max, set_goal, verdict(set.p99 <= set_goal));
    const auto apart = [&](const summary &steady, std::size_t n, std::size_t all, double goal) {
        std::printf("%-42s %6.1f ms %6.1f ms %6.1f ms   %s\n",
            qPrintable(QStringLiteral("  the %1 not spanning a machine stall").arg(n)), steady.p50,
            steady.p99, steady.max, n == all ? "" : verdict(steady.p99 <= goal));
    };
    apart(set_steady, set_ms_steady.size(), set_ms.size(), set_goal);
    std::printf(
        "%-42s %6.1f ms %6.1f ms %6.1f ms   p99 <= %.1f ms (round %.0f + exchange + 5)   %s\n",
        qPrintable(QStringLiteral("input -> state at the broker (n=%1)").arg(input_ms.size())),
        input.p50, input.p99, input.max, input_goal, round, verdict(input.p99 <= input_goal));
    apart(input_steady, input_ms_steady.size(), input_ms.size(), input_goal);
    std::printf("%-42s %9zu\n", "machine stalls (a core woke > 1 ms late)", stall_count);
    std::printf(
        "%-42s %9.1f exchanges/s\n", "polling", double(polling.exchanges) / (turns * turn_seconds));
    std::printf("%-42s %6.1f us %6.2f wake-ups %5.2f preempted   <= 3 wake-ups   %s\n",
        "per exchange: service CPU", polling.cpu_us, polling.wakeups, polling.involuntary,
        verdict(polling.wakeups <= 3));
    std::printf("%-42s %6.1f us %6.2f wake-ups %5.2f preempted\n", "per exchange: reference C loop",
        yardstick.cpu_us, yardstick.wakeups, yardstick.involuntary);
    std::printf("%-42s %9.2f   <= 2   %s\n", "CPU per exchange, service / reference", ratio,
        verdict(ratio <= 2));
    std::printf("%-42s %9.2f %% of one core\n", "CPU while polling", cpu_percent);
    if (watching)
        std::printf("%-42s %6.1f us %6.2f wake-ups\n", "per exchange: orvalinctl watch",
            watching->cpu_us, watching->wakeups);
    std::printf("%-42s %9.1f MB   <= 15 MB   %s\n", "peak RSS", double(rss) / 1024,
        verdict(rss > 0 && rss <= 15 * 1024));
    if (parser.isSet(out_option)) {
        QJsonObject figures {
            { "schedule", old_schedule ? "one_poll_per_interval" : "line_paced" },
            { "set_to_frame_ms_p50", set.p50 },
            { "set_to_frame_ms_p99", set.p99 },
            { "set_to_frame_ms_p99_without_stalls", set_steady.p99 },
            { "set_samples_without_stalls", double(set_ms_steady.size()) },
            { "input_to_state_ms_p50", input.p50 },
            { "input_to_state_ms_p99", input.p99 },
            { "input_to_state_ms_p99_without_stalls", input_steady.p99 },
            { "input_samples_without_stalls", double(input_ms_steady.size()) },
            { "machine_stalls", double(stall_count) },
            { "exchanges_per_second", double(polling.exchanges) / (turns * turn_seconds) },
            { "cpu_percent", cpu_percent },
            { "cpu_us_per_exchange", polling.cpu_us },
            { "wakeups_per_exchange", polling.wakeups },
            { "reference_cpu_us_per_exchange", yardstick.cpu_us },
            { "reference_wakeups_per_exchange", yardstick.wakeups },
            { "cpu_ratio_to_reference", ratio },
            { "peak_rss_mb", double(rss) / 1024 },
        };
        if (watching) {
            figures["watch_cpu_us_per_exchange"] = watching->cpu_us;
            figures["watch_wakeups_per_exchange"] = watching->wakeups;
        }
        QFile out(parser.value(out_option));
        out.open(QIODevice::WriteOnly);
        out.write(QJsonDocument(figures).toJson());
    }
    return 0;
}
