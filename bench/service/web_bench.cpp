// orvalin-web-bench: orvalinctl serve with the HTTP API on and no broker,
// three emulated modules at 9600 baud, measured from outside over loopback:
//   command -> frame: from just before a POST is written until the emulator
//     has the command frame's last byte (its --monotonic "rx" time);
//   change -> event: 32 event streams open; from the end of the reply that
//     first shows an input changed on the emulator until a stream has the
//     event, for every stream;
//   reads: 1,000 GET /api/modules a second for 10 s; the poll cadence of
//     each module (the emulator's receive times) against the same stretch
//     without them, and the service's memory before, right after and later;
//   idle: CPU share of one core with 10 streams open, beside the same
//     service without them, and peak RSS.
// Stalls of the machine are watched as in orvalin-service-bench while the
// latencies are taken.
//
//   orvalin-web-bench [--build DIR] [--samples N] [--out FILE]

#include "bench_common.h"
#include "sim_process.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstdio>
#include <map>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace orvalin::bench;

namespace {

constexpr int modules[] = { 1, 2, 7 };
constexpr int interval_ms = 100;
constexpr int event_streams = 32;
constexpr int idle_streams = 10;
constexpr double exchange_ms = 16 * 10 * 1000.0 / 9600 + 2;
constexpr double frame_ms = 8 * 10 * 1000.0 / 9600;

int connect_local(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One request on a kept-alive connection: the answer's status, or 0 when
// no whole answer came within 5 s.
int call(int fd, const QByteArray &request)
{
    if (::write(fd, request.constData(), size_t(request.size())) != request.size())
        return 0;
    QByteArray answer;
    qsizetype needed = -1;
    while (needed < 0 || answer.size() < needed) {
        pollfd p { fd, POLLIN, 0 };
        char buffer[65536];
        const ssize_t n = ::poll(&p, 1, 5000) == 1 ? ::read(fd, buffer, sizeof buffer) : 0;
        if (n <= 0)
            return 0;
        answer.append(buffer, n);
        const qsizetype head = answer.indexOf("\r\n\r\n");
        if (needed < 0 && head >= 0) {
            const qsizetype at = answer.indexOf("Content-Length: ");
            needed = head + 4 + answer.mid(at + 16, 12).split('\r').value(0).toLongLong();
        }
    }
    return answer.mid(9, 3).toInt();
}

QByteArray get(const QByteArray &path)
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

// Event streams read on a thread of their own, so arrival times are taken
// when the bytes come, not when this tool's event loop gets to them.
class stream_reader {
public:
    stream_reader(int port, int count)
    {
        for (int i = 0; i < count; ++i) {
            const int fd = connect_local(port);
            const QByteArray request = get("/api/events");
            if (fd >= 0 && ::write(fd, request.constData(), size_t(request.size())) > 0)
                fds_.push_back(fd);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~stream_reader()
    {
        running_ = false;
        thread_.join();
        for (const int fd : fds_)
            ::close(fd);
    }
    int streams() const { return int(fds_.size()); }
    // When each stream had text after since; empty entries for those without.
    std::vector<std::optional<steady::time_point>> arrivals(
        const QByteArray &text, steady::time_point since)
    {
        const std::lock_guard lock(mutex_);
        std::vector<std::optional<steady::time_point>> found(fds_.size());
        for (const auto &[stream, time, data] : chunks_)
            if (time >= since && !found[stream] && data.contains(text))
                found[stream] = time;
        return found;
    }
    void forget()
    {
        const std::lock_guard lock(mutex_);
        chunks_.clear();
    }

private:
    void run()
    {
        std::vector<pollfd> polled;
        for (const int fd : fds_)
            polled.push_back({ fd, POLLIN, 0 });
        while (running_) {
            if (::poll(polled.data(), polled.size(), 50) <= 0)
                continue;
            const auto now = steady::now();
            for (std::size_t i = 0; i < polled.size(); ++i) {
                if (!(polled[i].revents & POLLIN))
                    continue;
                char buffer[65536];
                const ssize_t n = ::read(polled[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    polled[i].fd = -1; // closed: no more from it
                    continue;
                }
                const std::lock_guard lock(mutex_);
                if (chunks_.size() < 1000000)
                    chunks_.push_back({ i, now, QByteArray(buffer, n) });
            }
        }
    }

    struct chunk {
        std::size_t stream;
        steady::time_point time;
        QByteArray data;
    };
    std::vector<int> fds_;
    std::atomic<bool> running_ { true };
    std::mutex mutex_;
    std::vector<chunk> chunks_;
    std::thread thread_;
};

// The time between two polls of each module, from the emulator's receive
// times of status polls after line index from.
std::vector<double> poll_periods(const sim_process &sim, qsizetype from)
{
    static const QRegularExpression poll(QStringLiteral("^rx (\\S+) 55 (\\S\\S) 10 "));
    std::map<QString, double> last;
    std::vector<double> periods;
    const QStringList lines = sim.lines();
    for (qsizetype i = from; i < lines.size(); ++i) {
        const auto match = poll.match(lines[i]);
        if (!match.hasMatch())
            continue;
        const double at = match.captured(1).toDouble();
        const auto previous = last.find(match.captured(2));
        if (previous != last.end())
            periods.push_back(at - previous->second);
        last[match.captured(2)] = at;
    }
    return periods;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption build_option(
        "build", "Build directory.", "dir", QCoreApplication::applicationDirPath() + "/..");
    const QCommandLineOption samples_option("samples", "Samples per latency.", "n", "200");
    const QCommandLineOption out_option("out", "Figures as JSON.", "file");
    parser.addOptions({ build_option, samples_option, out_option });
    parser.addHelpOption();
    parser.process(app);
    const int samples = parser.value(samples_option).toInt();

    QTemporaryDir dir;
    sim_process sim;
    if (!sim.start(
            dir.path(), { "--address", "1,2,7", "--baud", "9600", "--verbose", "--monotonic" })) {
        std::fprintf(stderr, "cannot start the emulator: %s\n", qPrintable(sim.error()));
        return 1;
    }
    QTcpServer probe; // a free port
    probe.listen(QHostAddress::LocalHost);
    const int port = probe.serverPort();
    probe.close();
    QFile config(dir.filePath("orvalin.conf"));
    config.open(QIODevice::WriteOnly);
    config.write(QStringLiteral("[line]\nport = %1\nmodules = 1,2,7\ninterval = %2\n"
                                "[http]\nlisten = 127.0.0.1:%3\n")
                     .arg(sim.link_path())
                     .arg(interval_ms)
                     .arg(port)
                     .toUtf8());
    config.close();
    QProcess service;
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start(QDir(parser.value(build_option)).filePath("orvalinctl"),
        { "serve", "--config", config.fileName() });
    int client = -1;
    for (int i = 0; i < 100 && client < 0; ++i, QTest::qWait(50))
        client = connect_local(port);
    if (!service.waitForStarted() || client < 0) {
        std::fprintf(stderr, "the service does not answer on port %d\n", port);
        return 1;
    }
    QTest::qWait(1500); // every module polled

    auto *random = QRandomGenerator::global();
    std::optional<stall_watch> stalls(std::in_place);
    std::vector<double> command_ms, command_ms_steady, event_ms, event_ms_steady;
    std::array<std::array<bool, 9>, 8> output_on {}, input_on {};
    for (int i = 0; i < samples; ++i) {
        QTest::qWait(int(random->bounded(20, 170)));
        const int module = modules[random->bounded(3)];
        const int k = int(random->bounded(1, 9));
        bool &on = output_on[module % 8][k];
        on = !on;
        const qsizetype from = sim.lines().size();
        const QByteArray body = on ? "ON" : "OFF";
        const auto sent = steady::now();
        const int status = call(client,
            QStringLiteral("POST /api/modules/%1/outputs/%2 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                           "Content-Type: application/json\r\nContent-Length: %3\r\n\r\n")
                    .arg(module)
                    .arg(k)
                    .arg(body.size())
                    .toLatin1()
                + body);
        const QString line
            = sim.wait_for_line(QRegularExpression(QStringLiteral("^rx (\\S+) 55 %1 %2 00 00 00 %3")
                                                       .arg(module, 2, 16, QLatin1Char('0'))
                                                       .arg(on ? "12" : "11")
                                                       .arg(k, 2, 16, QLatin1Char('0'))),
                3s, from);
        if (status != 200 || line.isEmpty())
            continue;
        const double on_line = line.section(' ', 1, 1).toDouble();
        command_ms.push_back(on_line - ms_since_boot(sent));
        if (!stalls->any_within(ms_since_boot(sent), on_line))
            command_ms_steady.push_back(command_ms.back());
    }
    int streams = 0;
    {
        stream_reader reader(port, event_streams);
        streams = reader.streams();
        QTest::qWait(1000);
        for (int i = 0; i < samples; ++i) {
            QTest::qWait(int(random->bounded(20, 170)));
            reader.forget();
            const int module = modules[random->bounded(3)];
            const int k = int(random->bounded(1, 9));
            bool &on = input_on[module % 8][k];
            on = !on;
            const qsizetype from = sim.lines().size();
            const auto changed = steady::now();
            if (sim.command(
                    QStringLiteral("in %1 %2 @%3").arg(k).arg(on ? "on" : "off").arg(module))
                != "ok")
                continue;
            // The first reply that shows it: its inputs are byte 4.
            const QRegularExpression replies(
                QStringLiteral("^tx \\S+ 22 %1 ").arg(module, 2, 16, QLatin1Char('0')));
            std::optional<double> replied;
            for (qsizetype at = from; !replied;) {
                const QString reply = sim.wait_for_line(replies, 3s, at);
                if (reply.isEmpty())
                    break;
                at = sim.lines().indexOf(reply, at) + 1;
                if (bool((reply.section(' ', 6, 6).toInt(nullptr, 16) >> (k - 1)) & 1) == on)
                    replied = reply.section(' ', 1, 1).toDouble();
            }
            const QByteArray text = QStringLiteral(R"({"address":%1,"input":%2,"state":"%3"})")
                                        .arg(module)
                                        .arg(k)
                                        .arg(on ? "ON" : "OFF")
                                        .toLatin1();
            // Streams that miss it are left out; this waits for them only so long.
            [[maybe_unused]] const bool all = QTest::qWaitFor(
                [&] {
                    const auto found = reader.arrivals(text, changed);
                    return std::all_of(
                        found.begin(), found.end(), [](auto &t) { return t.has_value(); });
                },
                3000);
            if (!replied)
                continue;
            for (const auto &arrival : reader.arrivals(text, changed)) {
                if (!arrival)
                    continue;
                event_ms.push_back(ms_since_boot(*arrival) - *replied);
                if (!stalls->any_within(*replied, ms_since_boot(*arrival)))
                    event_ms_steady.push_back(event_ms.back());
            }
        }
    }

    // The stall watch wakes every millisecond on each core: not beside the
    // cadence, which it would disturb.
    const std::size_t stall_count = stalls->count();
    stalls.reset();

    // Reads: the cadence without them, then with them, over the same time.
    QTest::qWait(1000);
    const long long rss_before = rss_kib(service.processId(), "VmRSS:");
    qsizetype from = sim.lines().size();
    QTest::qWait(10000);
    const summary quiet = summarize(poll_periods(sim, from));
    std::atomic<long long> reads { 0 }, failed { 0 };
    from = sim.lines().size();
    {
        std::vector<std::thread> readers;
        for (int r = 0; r < 4; ++r) {
            readers.emplace_back([&] {
                const int fd = connect_local(port);
                // 250 a second each, on a fixed beat, for 10 s.
                const auto start = steady::now();
                for (int i = 0; i < 2500; ++i) {
                    std::this_thread::sleep_until(start + i * 4ms);
                    (call(fd, get("/api/modules")) == 200 ? reads : failed)++;
                }
                ::close(fd);
            });
        }
        while (std::any_of(readers.begin(), readers.end(), [](auto &t) { return t.joinable(); })) {
            QTest::qWait(100);
            if (reads + failed >= 10000)
                for (auto &t : readers)
                    t.join();
        }
    }
    const summary loaded = summarize(poll_periods(sim, from));
    const long long rss_after = rss_kib(service.processId(), "VmRSS:");
    QTest::qWait(5000);
    const long long rss_later = rss_kib(service.processId(), "VmRSS:");

    // Idle: what the page costs while nothing happens, without and with
    // streams open, the same service over the same minute.
    const auto cpu_percent = [&](int seconds) {
        const double before = usage_of(service.processId()).cpu_ms;
        const auto from = steady::now();
        QTest::qWait(seconds * 1000);
        const double elapsed = std::chrono::duration<double>(steady::now() - from).count();
        return (usage_of(service.processId()).cpu_ms - before) / 10 / elapsed;
    };
    const double idle_cpu_without = cpu_percent(10);
    double idle_cpu_percent = 0;
    {
        stream_reader idle(port, idle_streams);
        QTest::qWait(1000);
        idle_cpu_percent = cpu_percent(10);
    }
    const long long rss_peak = rss_kib(service.processId());
    ::close(client);
    service.terminate();
    service.waitForFinished(3000);

    const summary command = summarize(command_ms), command_steady = summarize(command_ms_steady);
    const summary event = summarize(event_ms), event_steady = summarize(event_ms_steady);
    const double command_goal = exchange_ms + 5;
    const double bound = exchange_ms + frame_ms; // the exchange in flight, then its own frame
    const auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    std::printf(
        "orvalinctl serve with the HTTP API, 3 modules at 9600 baud, every %d ms\n", interval_ms);
    std::printf("%-44s %9s %9s %9s   %s\n", "", "p50", "p99", "max", "goal");
    std::printf("%-44s %6.1f ms %6.1f ms %6.1f ms   p99 <= %.1f ms (exchange + 5)   %s\n",
        qPrintable(QStringLiteral("POST -> frame on the line (n=%1)").arg(command_ms.size())),
        command.p50, command.p99, command.max, command_goal, verdict(command.p99 <= command_goal));
    std::printf("%-44s %6.1f ms %6.1f ms %6.1f ms   line bound: exchange in flight + frame = "
                "%.1f ms\n",
        qPrintable(
            QStringLiteral("  the %1 not spanning a machine stall").arg(command_ms_steady.size())),
        command_steady.p50, command_steady.p99, command_steady.max, bound);
    std::printf("%-44s %6.1f ms %6.1f ms %6.1f ms   p99 <= 20 ms   %s\n",
        qPrintable(
            QStringLiteral("reply -> event, %1 streams (n=%2)").arg(streams).arg(event_ms.size())),
        event.p50, event.p99, event.max, verdict(event.p99 <= 20));
    std::printf("%-44s %6.1f ms %6.1f ms %6.1f ms\n",
        qPrintable(
            QStringLiteral("  the %1 not spanning a machine stall").arg(event_ms_steady.size())),
        event_steady.p50, event_steady.p99, event_steady.max);
    std::printf("%-44s %6.1f ms %6.1f ms %6.1f ms   (configured %d ms)\n", "poll period, quiet",
        quiet.p50, quiet.p99, quiet.max, interval_ms);
    std::printf("%-44s %6.1f ms %6.1f ms %6.1f ms   p99 within 2 ms of %d   %s\n",
        qPrintable(QStringLiteral("  with %1 reads in 10 s (%2 failed)").arg(reads).arg(failed)),
        loaded.p50, loaded.p99, loaded.max, interval_ms,
        verdict(std::abs(loaded.p99 - interval_ms) <= 2));
    std::printf("%-44s %6.1f MB before, %.1f right after, %.1f 5 s later   %s\n", "service RSS",
        double(rss_before) / 1024, double(rss_after) / 1024, double(rss_later) / 1024,
        verdict(rss_later <= rss_before + 1024));
    std::printf("%-44s %9.2f %% of one core   <= 1 %%   %s\n",
        qPrintable(QStringLiteral("CPU idle with %1 streams").arg(idle_streams)), idle_cpu_percent,
        verdict(idle_cpu_percent <= 1));
    std::printf(
        "%-44s %9.2f %% of one core\n", "  without streams (polling alone)", idle_cpu_without);
    std::printf("%-44s %9.1f MB   <= 20 MB   %s\n", "peak RSS", double(rss_peak) / 1024,
        verdict(rss_peak > 0 && rss_peak <= 20 * 1024));
    std::printf("%-44s %9zu\n", "machine stalls (a core woke > 1 ms late)", stall_count);
    if (parser.isSet(out_option)) {
        const QJsonObject figures {
            { "command_to_frame_ms_p50", command.p50 },
            { "command_to_frame_ms_p99", command.p99 },
            { "command_to_frame_ms_p99_without_stalls", command_steady.p99 },
            { "reply_to_event_ms_p50", event.p50 },
            { "reply_to_event_ms_p99", event.p99 },
            { "reply_to_event_ms_p99_without_stalls", event_steady.p99 },
            { "event_streams", streams },
            { "poll_period_ms_p99_quiet", quiet.p99 },
            { "poll_period_ms_p99_reads", loaded.p99 },
            { "reads", double(reads) },
            { "reads_failed", double(failed) },
            { "rss_mb_before_reads", double(rss_before) / 1024 },
            { "rss_mb_after_reads", double(rss_after) / 1024 },
            { "rss_mb_5s_later", double(rss_later) / 1024 },
            { "idle_cpu_percent", idle_cpu_percent },
            { "idle_cpu_percent_without_streams", idle_cpu_without },
            { "peak_rss_mb", double(rss_peak) / 1024 },
            { "machine_stalls", double(stall_count) },
        };
        QFile out(parser.value(out_option));
        out.open(QIODevice::WriteOnly);
        out.write(QJsonDocument(figures).toJson());
    }
    return 0;
}
