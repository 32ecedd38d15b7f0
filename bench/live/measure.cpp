#include "measure.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numeric>
#include <thread>

namespace orvalin::live {

double monotonic_ms()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    const QDeadlineTimer deadline(timeout, Qt::PreciseTimer);
    // Wakes the loop at the deadline when nothing else happens.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(timeout);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void pause_for(std::chrono::milliseconds time)
{
    wait_until([] { return false; }, time);
}

spread spread_of(std::vector<double> values)
{
    spread result;
    if (values.empty())
        return result;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    result.samples = n;
    result.min = values.front();
    result.max = values.back();
    result.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    const auto rank = std::size_t(std::ceil(0.99 * double(n)));
    result.p99 = values[std::clamp<std::size_t>(rank, 1, n) - 1];
    result.mean = std::accumulate(values.begin(), values.end(), 0.0) / double(n);
    return result;
}

namespace {

std::optional<QByteArray> read_file(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

std::int64_t status_kb(const QByteArray &status, const QByteArray &key)
{
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

} // namespace

std::optional<process_sample> sample_process(qint64 pid)
{
    const QString base = QStringLiteral("/proc/%1").arg(pid);
    process_sample sample;
    sample.at_ms = monotonic_ms();

    const auto stat = read_file(base + QStringLiteral("/stat"));
    const auto status = read_file(base + QStringLiteral("/status"));
    if (!stat || !status)
        return std::nullopt;
    // The command name in parentheses may hold blanks; fields count from
    // after its closing parenthesis, where field 3 (state) begins.
    const QList<QByteArray> fields = stat->mid(stat->lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return std::nullopt;
    sample.cpu_ticks = fields[11].toLongLong() + fields[12].toLongLong(); // utime, stime
    sample.rss_kb = status_kb(*status, "VmRSS:");
    sample.peak_rss_kb = status_kb(*status, "VmHWM:");

    const QStringList tasks
        = QDir(base + QStringLiteral("/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        if (const auto schedstat
            = read_file(base + QStringLiteral("/task/") + task + QStringLiteral("/schedstat")))
            sample.cpu_ns += schedstat->split(' ').value(0).toLongLong();
    }
    return sample;
}

double cpu_percent(const process_sample &from, const process_sample &to)
{
    const double wall_ns = (to.at_ms - from.at_ms) * 1e6;
    return wall_ns > 0 ? 100.0 * double(to.cpu_ns - from.cpu_ns) / wall_ns : 0;
}

double cpu_percent_from_ticks(const process_sample &from, const process_sample &to)
{
    const double wall_s = (to.at_ms - from.at_ms) / 1e3;
    const double ticks_per_s = double(::sysconf(_SC_CLK_TCK));
    return wall_s > 0 ? 100.0 * double(to.cpu_ticks - from.cpu_ticks) / ticks_per_s / wall_s : 0;
}

struct wake_probe::state {
    std::atomic<bool> running { true };
    std::vector<double> lateness;
    std::thread thread;
};

wake_probe::wake_probe(std::chrono::milliseconds period)
    : state_(std::make_unique<state>())
{
    state_->thread = std::thread([s = state_.get(), period] {
        timespec due {};
        ::clock_gettime(CLOCK_MONOTONIC, &due);
        const long step_ns = long(std::chrono::nanoseconds(period).count());
        while (s->running.load()) {
            due.tv_nsec += step_ns;
            due.tv_sec += due.tv_nsec / 1000000000;
            due.tv_nsec %= 1000000000;
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
            s->lateness.push_back(
                monotonic_ms() - (double(due.tv_sec) * 1e3 + double(due.tv_nsec) / 1e6));
        }
    });
}

wake_probe::~wake_probe()
{
    stop();
}

std::vector<double> wake_probe::stop()
{
    if (state_->thread.joinable()) {
        state_->running = false;
        state_->thread.join();
    }
    return state_->lateness;
}

machine_times read_machine_times()
{
    machine_times times;
    const auto stat = read_file(QStringLiteral("/proc/stat"));
    if (!stat)
        return times;
    // "cpu  user nice system idle iowait irq softirq steal ..."
    const QList<QByteArray> fields = stat->left(stat->indexOf('\n')).simplified().split(' ');
    for (qsizetype i = 1; i < fields.size() && i <= 8; ++i) {
        const std::int64_t value = fields[i].toLongLong();
        times.total += value;
        if (i != 4 && i != 5) // idle, iowait
            times.busy += value;
    }
    return times;
}

double busy_percent(const machine_times &from, const machine_times &to)
{
    const std::int64_t total = to.total - from.total;
    return total > 0 ? 100.0 * double(to.busy - from.busy) / double(total) : 0;
}

} // namespace orvalin::live
