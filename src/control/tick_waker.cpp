#include "control/tick_waker.h"

#include <QSocketNotifier>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>

namespace orvalin {

namespace {

#ifdef Q_OS_LINUX
qint64 monotonic_ns()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

timespec to_timespec(qint64 ns)
{
    return { time_t(ns / 1000000000), long(ns % 1000000000) };
}
#endif

} // namespace

tick_waker::tick_waker(QTimer &timer, QObject *parent)
    : QObject(parent)
    , timer_(timer)
{
#ifdef Q_OS_LINUX
    fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0)
        return;
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        // Waking the loop was all it was for.
        std::uint64_t expirations = 0;
        [[maybe_unused]] const auto got = ::read(fd_, &expirations, sizeof expirations);
    });
    connect(&timer_, &QTimer::timeout, this, &tick_waker::timer_fired);
    // Told of every start() (also a restart of a running timer) and stop().
    active_notifier_ = timer_.bindableActive().addNotifier([this] { follow_timer(); });
    follow_timer();
#endif
}

tick_waker::~tick_waker()
{
#ifdef Q_OS_LINUX
    delete notifier_;
    if (fd_ >= 0)
        ::close(fd_);
#endif
}

void tick_waker::follow_timer()
{
#ifdef Q_OS_LINUX
    if (!timer_.isActive() || timer_.interval() <= 0) {
        arm(0);
        return;
    }
    // Qt counts the timer's moments from when it was started, which was
    // just now; a moment read after that is never before one of them, so
    // the loop is never woken while the timer is not yet due.
    last_fired_ns_ = monotonic_ns();
    arm(last_fired_ns_);
#endif
}

void tick_waker::timer_fired()
{
#ifdef Q_OS_LINUX
    // A timer that fires more than an interval late is counted anew by Qt
    // from that moment; so are the wake-ups then.
    const qint64 now = monotonic_ns();
    const qint64 interval_ns = qint64(timer_.interval()) * 1000000;
    const qint64 gap = now - last_fired_ns_;
    last_fired_ns_ = now;
    if (timer_.isActive() && gap > 2 * interval_ns - interval_ns / 50)
        arm(now);
#endif
}

void tick_waker::arm(qint64 from_ns)
{
#ifdef Q_OS_LINUX
    itimerspec setting {};
    if (from_ns > 0) {
        const qint64 interval_ns = qint64(timer_.interval()) * 1000000;
        setting.it_value = to_timespec(from_ns + interval_ns);
        setting.it_interval = to_timespec(interval_ns);
    }
    ::timerfd_settime(fd_, TFD_TIMER_ABSTIME, &setting, nullptr);
#else
    Q_UNUSED(from_ns);
#endif
}

} // namespace orvalin
