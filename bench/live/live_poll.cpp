#include "panel_run.h"
#include "runs.h"
#include "sim_run.h"

#include <QFile>
#include <QJsonArray>

#include <cmath>

namespace orvalin::live {

QJsonObject to_json(const spread &values)
{
    return QJsonObject {
        { QStringLiteral("samples"), qint64(values.samples) },
        { QStringLiteral("min"), values.min },
        { QStringLiteral("median"), values.median },
        { QStringLiteral("p99"), values.p99 },
        { QStringLiteral("max"), values.max },
        { QStringLiteral("mean"), values.mean },
    };
}

QString load_average()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

std::vector<double> intervals_of(const std::vector<double> &times)
{
    std::vector<double> intervals;
    for (std::size_t i = 1; i < times.size(); ++i)
        intervals.push_back(times[i] - times[i - 1]);
    return intervals;
}

namespace {

QJsonObject phase_figures(const process_sample &from, const process_sample &to)
{
    return QJsonObject {
        { QStringLiteral("seconds"), (to.at_ms - from.at_ms) / 1e3 },
        { QStringLiteral("cpu_percent"), cpu_percent(from, to) },
        { QStringLiteral("cpu_percent_clock_ticks"), cpu_percent_from_ticks(from, to) },
        { QStringLiteral("rss_kb"), qint64(to.rss_kb) },
        { QStringLiteral("peak_rss_kb"), qint64(to.peak_rss_kb) },
    };
}

QJsonObject failed(const QString &why)
{
    return QJsonObject { { QStringLiteral("error"), why } };
}

} // namespace

QJsonObject run_poll(const programs &with, x_display &x, std::chrono::seconds phase)
{
    using namespace std::chrono_literals;
    program_dir dir(with.panel, with.work);
    if (!dir.ok())
        return failed(dir.error());
    if (!dir.write_name_file())
        return failed(QStringLiteral("no name file in %1").arg(dir.path()));
    sim_run sim(with.sim);
    if (!sim.start(dir.port_link()))
        return failed(sim.error());

    const QString load_before = load_average();
    panel_process panel(x);
    if (!panel.start(dir.executable()) || !panel.wait_for_window(30s))
        return failed(QStringLiteral("the panel showed no window"));
    // Start-up work (fonts, first paint) is not part of any phase.
    pause_for(2s);

    const auto idle_from = panel.sample();
    pause_for(phase);
    const auto idle_to = panel.sample();

    const std::size_t before_open = sim.frames().size();
    if (!panel.click(open_comm_x, open_comm_y)
        || !wait_until([&] { return sim.frames().size() >= before_open + 3; }, 5s))
        return failed(QStringLiteral("no frames after a click on 打开串口"));
    pause_for(1s);

    const machine_times machine_from = read_machine_times();
    wake_probe probe { poll_period };
    const auto poll_from = panel.sample();
    pause_for(phase);
    const auto poll_to = panel.sample();
    const std::vector<double> lateness = probe.stop();
    const machine_times machine_to = read_machine_times();

    if (!panel.click(open_comm_x, open_comm_y))
        return failed(QStringLiteral("cannot click 关闭串口"));
    pause_for(1s);
    const std::size_t after_close = sim.frames().size();
    const auto closed_from = panel.sample();
    pause_for(phase);
    const auto closed_to = panel.sample();
    const std::size_t frames_while_closed = sim.frames().size() - after_close;
    const QString load_after = load_average();
    panel.close(10s);

    if (!idle_from || !idle_to || !poll_from || !poll_to || !closed_from || !closed_to)
        return failed(QStringLiteral("the panel ended during the run"));

    std::vector<double> times;
    for (const auto &frame : sim.frames()) {
        if (frame.at_ms >= poll_from->at_ms && frame.at_ms <= poll_to->at_ms)
            times.push_back(frame.at_ms);
    }
    const std::vector<double> intervals = intervals_of(times);
    std::vector<double> deviations;
    for (const double interval : intervals)
        deviations.push_back(std::abs(interval - poll_interval_ms));
    const double span_ms = times.size() > 1 ? times.back() - times.front() : 0;

    QJsonObject poll = phase_figures(*poll_from, *poll_to);
    poll.insert(QStringLiteral("frames"), qint64(times.size()));
    poll.insert(QStringLiteral("frames_per_second"),
        span_ms > 0 ? double(intervals.size()) * 1e3 / span_ms : 0.0);
    poll.insert(QStringLiteral("interval_ms"), to_json(spread_of(intervals)));
    poll.insert(QStringLiteral("deviation_from_50ms"), to_json(spread_of(deviations)));
    // What the machine allowed meanwhile: how busy its CPUs were, and how
    // late a plain sleeper in another process woke for the same period.
    poll.insert(QStringLiteral("machine_busy_percent"), busy_percent(machine_from, machine_to));
    poll.insert(QStringLiteral("machine_wake_lateness_ms"), to_json(spread_of(lateness)));

    QJsonObject closed = phase_figures(*closed_from, *closed_to);
    closed.insert(QStringLiteral("frames"), qint64(frames_while_closed));

    return QJsonObject {
        { QStringLiteral("display"),
            QStringLiteral("X (Xvfb), real panel process, clicks through XTEST") },
        { QStringLiteral("load_average_before"), load_before },
        { QStringLiteral("load_average_after"), load_after },
        { QStringLiteral("idle"), phase_figures(*idle_from, *idle_to) },
        { QStringLiteral("poll"), poll },
        { QStringLiteral("closed"), closed },
        { QStringLiteral("peak_rss_kb"), qint64(closed_to->peak_rss_kb) },
    };
}

} // namespace orvalin::live
