#pragma once

#include <QObject>
#include <QPropertyNotifier>

class QSocketNotifier;
class QTimer;

namespace orvalin {

// Wakes the event loop at the moments a precise QTimer is due, so that it
// fires on time. Qt sleeps until a timer is due in whole milliseconds,
// rounded up from whenever the loop last went to sleep: the reply handled a
// fraction of a millisecond after each tick would make the next tick up to a
// millisecond late, a different amount each time. On Linux a timerfd armed
// for the timer's own moments ends that sleep when the timer is due; on other
// systems this does nothing. It follows the timer's starts and stops itself.
class tick_waker : public QObject {
    Q_OBJECT

public:
    explicit tick_waker(QTimer &timer, QObject *parent = nullptr);
    ~tick_waker() override;

private:
    void follow_timer();
    void timer_fired();
    // Wakes the loop one interval after from_ns and every interval after
    // that; 0 stops the wake-ups.
    void arm(qint64 from_ns);

    QTimer &timer_;
    QPropertyNotifier active_notifier_;
    QSocketNotifier *notifier_ = nullptr;
    int fd_ = -1;
    qint64 last_fired_ns_ = 0;
};

} // namespace orvalin
