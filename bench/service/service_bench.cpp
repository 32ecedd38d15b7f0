// orvalin-service-bench: orvalinctl serve against a real mosquitto and three
// emulated modules at 9600 baud, measured from outside:
//   set -> command frame: from the moment this tool publishes a set until the
//     emulator has the frame's last byte (its --monotonic "rx" time), so the
//     broker's hop counts against the service;
//   input -> state: from just before "in K on|off @A" goes to the emulator
//     until this tool's subscription has the state message;
//   CPU and peak RSS of the service over a stretch of plain polling.
//
//   orvalin-service-bench [--build DIR] [--samples N] [--idle-seconds N] [--out FILE]
//                         [--broker-nodelay]

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
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <unistd.h>

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

constexpr int modules[] = { 1, 2, 7 };
constexpr auto interval = 50ms;

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

double ms_since_boot(steady::time_point t)
{
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

struct summary {
    double p50 = 0, p99 = 0, max = 0;
};

summary summarize(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    if (values.empty())
        return {};
    auto at = [&](double q) {
        return values[std::min(values.size() - 1, std::size_t(q * values.size()))];
    };
    return { at(0.5), at(0.99), values.back() };
}

// utime + stime of a process, in clock ticks.
long long cpu_ticks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const auto fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

long long peak_rss_kib(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
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
    parser.addOptions({ build_option, samples_option, idle_option, out_option, nodelay_option });
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
    QFile config(dir.filePath("orvalin.conf"));
    config.open(QIODevice::WriteOnly);
    config.write(QStringLiteral("[line]\nport = %1\nmodules = 1,2,7\ninterval = %2\n"
                                "[mqtt]\nhost = 127.0.0.1\nport = %3\n")
                     .arg(sim.link_path())
                     .arg(interval.count())
                     .arg(broker.port())
                     .toUtf8());
    config.close();
    QProcess service;
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start(QDir(parser.value(build_option)).filePath("orvalinctl"),
        { "serve", "--config", config.fileName() });
    if (!service.waitForStarted()) {
        std::fprintf(stderr, "cannot start orvalinctl\n");
        return 1;
    }
    timed_client client(broker.port());
    if (!client.wait_for("orvalin/7/available", "online", steady::time_point {})) {
        std::fprintf(stderr, "the service did not bring module 7 online\n");
        return 1;
    }

    // Idle first: plain polling, nothing else on the line.
    const long long ticks_before = cpu_ticks(service.processId());
    const auto idle_start = steady::now();
    QTest::qWait(parser.value(idle_option).toInt() * 1000);
    const double idle_seconds = std::chrono::duration<double>(steady::now() - idle_start).count();
    const double cpu_percent = 100.0 * double(cpu_ticks(service.processId()) - ticks_before)
        / double(sysconf(_SC_CLK_TCK)) / idle_seconds;

    auto *random = QRandomGenerator::global();
    std::vector<double> set_ms, input_ms;
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
        if (!line.isEmpty())
            set_ms.push_back(line.section(' ', 1, 1).toDouble() - ms_since_boot(sent));
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
        if (const auto arrived = client.wait_for(
                QStringLiteral("orvalin/%1/input/%2").arg(module).arg(k).toStdString(),
                on ? "ON" : "OFF", changed))
            input_ms.push_back(
                std::chrono::duration<double, std::milli>(*arrived - changed).count());
    }
    const long long rss = peak_rss_kib(service.processId());
    service.terminate();
    service.waitForFinished(2000);

    if (qEnvironmentVariableIsSet("ORVALIN_BENCH_DUMP")) {
        for (const double v : set_ms)
            std::fprintf(stderr, "set %.1f\n", v);
        for (const double v : input_ms)
            std::fprintf(stderr, "input %.1f\n", v);
    }
    const summary set = summarize(set_ms), input = summarize(input_ms);
    const double cycle = double(interval.count()) * std::size(modules);
    std::printf("%-44s %10s %10s %10s   %s\n", "orvalinctl serve, 3 modules at 9600 baud", "p50",
        "p99", "max", "goal");
    std::printf("%-44s %8.1f ms %7.1f ms %7.1f ms   p99 <= %.0f ms (exchange %lld ms + 2)   %s\n",
        qPrintable(QStringLiteral("set -> frame on the line (n=%1)").arg(set_ms.size())), set.p50,
        set.p99, set.max, double(interval.count()) + 2, (long long)interval.count(),
        set.p99 <= double(interval.count()) + 2 ? "met" : "MISSED");
    std::printf("%-44s %8.1f ms %7.1f ms %7.1f ms   p99 <= %.0f ms (cycle %.0f ms + 5)   %s\n",
        qPrintable(QStringLiteral("input -> state at the broker (n=%1)").arg(input_ms.size())),
        input.p50, input.p99, input.max, cycle + 5, cycle,
        input.p99 <= cycle + 5 ? "met" : "MISSED");
    std::printf("%-44s %10.2f %%%33s   <= 1 %%   %s\n", "CPU while polling (of one core)",
        cpu_percent, "", cpu_percent <= 1 ? "met" : "MISSED");
    std::printf("%-44s %10.1f MB%32s   <= 15 MB   %s\n", "peak RSS", double(rss) / 1024, "",
        rss > 0 && rss <= 15 * 1024 ? "met" : "MISSED");
    if (parser.isSet(out_option)) {
        QFile out(parser.value(out_option));
        out.open(QIODevice::WriteOnly);
        out.write(QJsonDocument(QJsonObject {
                                    { "set_to_frame_ms_p50", set.p50 },
                                    { "set_to_frame_ms_p99", set.p99 },
                                    { "input_to_state_ms_p50", input.p50 },
                                    { "input_to_state_ms_p99", input.p99 },
                                    { "cpu_percent", cpu_percent },
                                    { "peak_rss_mb", double(rss) / 1024 },
                                })
                      .toJson());
    }
    return 0;
}
