// What the service benchmarks share: stalls of the machine, percentiles,
// and a process's CPU, wake-ups and memory from /proc. Linux only, like
// the emulator they run.
#pragma once

#include <QDir>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <vector>

namespace orvalin::bench {

using steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline double ms_since_boot(steady::time_point t)
{
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

// Stalls of the machine, as milliseconds of CLOCK_MONOTONIC like the
// emulator's times: [from, to].
class stall_watch {
public:
    stall_watch()
    {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned core = 0; core < cores; ++core)
            threads_.emplace_back([this, core] { watch(core); });
    }
    ~stall_watch()
    {
        running_ = false;
        for (std::thread &thread : threads_)
            thread.join();
    }
    bool any_within(double from, double to)
    {
        const std::lock_guard lock(mutex_);
        return std::any_of(stalls_.begin(), stalls_.end(),
            [&](const auto &stall) { return stall.second > from && stall.first < to; });
    }
    std::size_t count()
    {
        const std::lock_guard lock(mutex_);
        return stalls_.size();
    }

private:
    void watch(unsigned core)
    {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(core, &set);
        pthread_setaffinity_np(pthread_self(), sizeof set, &set);
        while (running_) {
            const auto asleep = steady::now();
            std::this_thread::sleep_for(1ms);
            const auto awake = steady::now();
            if (awake - asleep > 2ms) {
                const std::lock_guard lock(mutex_);
                // Bounded: a machine that stalls this often is reported anyway.
                if (stalls_.size() < 100000)
                    stalls_.emplace_back(ms_since_boot(asleep + 1ms), ms_since_boot(awake));
            }
        }
    }

    std::atomic<bool> running_ { true };
    std::mutex mutex_;
    std::vector<std::pair<double, double>> stalls_;
    std::vector<std::thread> threads_;
};

struct summary {
    double p50 = 0, p99 = 0, max = 0;
};

inline summary summarize(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    if (values.empty())
        return {};
    auto at = [&](double q) {
        return values[std::min(values.size() - 1, std::size_t(q * values.size()))];
    };
    return { at(0.5), at(0.99), values.back() };
}

// CPU time and wake-ups of a process, all threads together.
struct usage {
    double cpu_ms = 0;
    long long voluntary = 0, involuntary = 0;
};

inline usage usage_of(qint64 pid)
{
    usage total;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(tasks.filePath(task + "/schedstat"));
        if (schedstat.open(QIODevice::ReadOnly))
            total.cpu_ms += schedstat.readAll().split(' ').value(0).toDouble() / 1e6;
        QFile status(tasks.filePath(task + "/status"));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:"))
                total.voluntary += line.mid(24).trimmed().toLongLong();
            else if (line.startsWith("nonvoluntary_ctxt_switches:"))
                total.involuntary += line.mid(27).trimmed().toLongLong();
        }
    }
    return total;
}

// The most memory the process has held (VmHWM), or now holds (VmRSS).
inline long long rss_kib(qint64 pid, const char *which = "VmHWM:")
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(which))
            return line.mid(qsizetype(std::strlen(which)))
                .trimmed()
                .split(' ')
                .value(0)
                .toLongLong();
    }
    return -1;
}

} // namespace orvalin::bench
