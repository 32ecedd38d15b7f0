#include "control/tick_waker.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

using namespace orvalin;

namespace {

// How often the event loop wakes while it waits ms.
int wakeups(int ms)
{
    int count = 0;
    const auto counting = QObject::connect(
        QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, [&] { ++count; });
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(counting);
    return count;
}

} // namespace

class tst_tick_waker : public QObject {
    Q_OBJECT

private slots:
    void sleeps_when_the_timer_stops();
};

void tst_tick_waker::sleeps_when_the_timer_stops()
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(20);
    tick_waker waker(timer);
    int ticks = 0;
    connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
    timer.start();
    QTRY_VERIFY(ticks >= 5);
    timer.stop();
    QVERIFY2(wakeups(300) <= 3, "the loop kept waking after the timer stopped");
    timer.start(); // and follows a new start
    QTRY_VERIFY(ticks >= 10);
}

QTEST_GUILESS_MAIN(tst_tick_waker)
#include "tst_tick_waker.moc"
