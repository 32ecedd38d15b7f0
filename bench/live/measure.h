#pragma once

#include <QtGlobal>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace orvalin::live {

// Milliseconds of CLOCK_MONOTONIC: the clock of the emulator's --monotonic
// timestamps, so times taken here and there compare directly.
double monotonic_ms();

// Runs the event loop until done() holds or the time is up; true if done.
bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout);
// Runs the event loop for the given time.
void pause_for(std::chrono::milliseconds time);

struct spread {
    std::size_t samples = 0;
    double min = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
    double mean = 0;
};

// Median (middle value, or the mean of the two middle ones) and nearest-rank
// 99th percentile.
spread spread_of(std::vector<double> values);

// What /proc says about one process at one moment.
struct process_sample {
    double at_ms = 0;
    // CPU time of all its threads, in nanoseconds (task/*/schedstat); the
    // clock-tick figure of stat below has only 10 ms steps.
    std::int64_t cpu_ns = 0;
    // utime + stime from stat, in clock ticks.
    std::int64_t cpu_ticks = 0;
    std::int64_t rss_kb = 0; // VmRSS
    std::int64_t peak_rss_kb = 0; // VmHWM
};

std::optional<process_sample> sample_process(qint64 pid);

// Percent of one core used between two samples of the same process.
double cpu_percent(const process_sample &from, const process_sample &to);
double cpu_percent_from_ticks(const process_sample &from, const process_sample &to);

// The machine's own timer jitter, next to which the panel's is judged: a
// thread that sleeps to absolute marks one period apart and notes how late
// it wakes each time.
class wake_probe {
public:
    explicit wake_probe(std::chrono::milliseconds period);
    ~wake_probe();
    wake_probe(const wake_probe &) = delete;
    wake_probe &operator=(const wake_probe &) = delete;

    // Stops the thread; how late each wake-up was, in milliseconds.
    std::vector<double> stop();

private:
    struct state;
    std::unique_ptr<state> state_;
};

// Time all CPUs spent busy and in total, in clock ticks (/proc/stat).
struct machine_times {
    std::int64_t busy = 0;
    std::int64_t total = 0;
};
machine_times read_machine_times();
// Percent of all CPUs' time that was busy between two readings.
double busy_percent(const machine_times &from, const machine_times &to);

} // namespace orvalin::live
