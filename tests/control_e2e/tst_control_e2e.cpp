#include "control/controller.h"
#include "fake_panel_view.h"
#include "link/qt_serial_port.h"
#include "sim_process.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace orvalin;

// The real poll cycle on a real pseudo-terminal against the emulated module.
class tst_control_e2e : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void polls_at_twenty_frames_per_second();
    void lamps_follow_the_module();
    void silent_module_falls_back_within_six_ticks();
    void killed_module_closes_the_panel();

private:
    bool open_panel();
    bool lamps_show(int outputs, int inputs) const;

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<sim_process> sim_;
    std::unique_ptr<fake_panel_view> view_;
    std::unique_ptr<qt_serial_port> port_;
    std::unique_ptr<controller> ctl_;
};

void tst_control_e2e::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    sim_ = std::make_unique<sim_process>();
    QVERIFY2(sim_->start(dir_->path()), qPrintable(sim_->error()));
    view_ = std::make_unique<fake_panel_view>();
    port_ = std::make_unique<qt_serial_port>(dir_->path());
    ctl_ = std::make_unique<controller>(*view_, *port_);
}

void tst_control_e2e::cleanup()
{
    ctl_.reset();
    port_.reset();
    view_.reset();
    sim_.reset();
    dir_.reset();
}

bool tst_control_e2e::open_panel()
{
    ctl_->open_comm_click();
    return port_->is_open() && view_->port_caption == QStringLiteral("关闭串口");
}

bool tst_control_e2e::lamps_show(int outputs, int inputs) const
{
    for (int n = 0; n < 8; ++n) {
        const auto out = ctl_->panel().state(n + 1);
        const auto in = ctl_->panel().state(16 - n);
        if (out != (outputs >> n & 1 ? indicator_state::on : indicator_state::off))
            return false;
        if (in != (inputs >> n & 1 ? indicator_state::on : indicator_state::off))
            return false;
    }
    return true;
}

void tst_control_e2e::polls_at_twenty_frames_per_second()
{
    QVERIFY(open_panel());
    QTRY_VERIFY(sim_->status() && sim_->status()->frames > 0);
    const auto before = sim_->status();
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(2000);
    const auto after = sim_->status();
    const double seconds = clock.elapsed() / 1000.0;
    QVERIFY(before && after);
    const auto frames = after->frames - before->frames;
    // 20 per second; the status round trips add a little to the window.
    QVERIFY2(frames >= 38 && frames <= 20 * seconds + 2,
        qPrintable(QStringLiteral("%1 frames in %2 s").arg(frames).arg(seconds)));
    QVERIFY(ctl_->reply_countdown() >= 4);
}

void tst_control_e2e::lamps_follow_the_module()
{
    QVERIFY(open_panel());
    QTRY_VERIFY(lamps_show(0x00, 0x00));

    QCOMPARE(sim_->command(QStringLiteral("in 3 on")), QStringLiteral("ok"));
    QTRY_VERIFY(lamps_show(0x00, 0x04));
    QCOMPARE(view_->texts[14], QStringLiteral("  吸合"));

    ctl_->picture1_click(2); // output 2 is off: switch it on
    QTRY_VERIFY(lamps_show(0x02, 0x04));
    QCOMPARE(sim_->status()->outputs, 0x02);

    ctl_->openall_click();
    QTRY_VERIFY(lamps_show(0xFF, 0x04));
    ctl_->label2_click(5); // switch output 5 off through its state text
    QTRY_VERIFY(lamps_show(0xEF, 0x04));
    ctl_->closeall_click();
    QTRY_VERIFY(lamps_show(0x00, 0x04));
    QCOMPARE(sim_->status()->outputs, 0x00);

    // Another address: the module stays silent and the lamps fall back.
    view_->address = QStringLiteral("2");
    QTRY_COMPARE(ctl_->panel().state(1), indicator_state::unknown);
}

void tst_control_e2e::silent_module_falls_back_within_six_ticks()
{
    QVERIFY(open_panel());
    QTRY_VERIFY(lamps_show(0x00, 0x00));

    QElapsedTimer clock;
    clock.start();
    qint64 last_reply = -1;
    qint64 fallback = -1;
    connect(ctl_.get(), &controller::reply_shown, this, [&] { last_reply = clock.elapsed(); });
    // Runs after the controller's own tick handler, which was connected first.
    connect(&ctl_->timer1(), &QTimer::timeout, this, [&] {
        if (fallback < 0 && last_reply >= 0 && ctl_->panel().state(1) == indicator_state::unknown)
            fallback = clock.elapsed();
    });
    QTest::qWait(200);
    QCOMPARE(sim_->command(QStringLiteral("silent on")), QStringLiteral("ok"));
    QTRY_VERIFY(fallback >= 0);
    const qint64 gap = fallback - last_reply;
    QVERIFY2(gap > 250 - 5 && gap <= 300 + 15,
        qPrintable(QStringLiteral("fell back after %1 ms").arg(gap)));

    QCOMPARE(sim_->command(QStringLiteral("silent off")), QStringLiteral("ok"));
    QTRY_VERIFY(lamps_show(0x00, 0x00));
}

void tst_control_e2e::killed_module_closes_the_panel()
{
    QVERIFY(open_panel());
    QTRY_VERIFY(lamps_show(0x00, 0x00));
    sim_->kill();
    QTRY_COMPARE(view_->port_caption, QStringLiteral("打开串口"));
    QCOMPARE(view_->failures(), 1);
    QVERIFY(!port_->is_open());
    QVERIFY(!ctl_->timer1().isActive());
    QCOMPARE(ctl_->panel().state(1), indicator_state::closed);
    // Nothing keeps firing once closed.
    QTest::qWait(300);
    QCOMPARE(view_->failures(), 1);

    // A new module behind the same link: the button opens normally again.
    QVERIFY2(sim_->start(dir_->path()), qPrintable(sim_->error()));
    QVERIFY(open_panel());
    QTRY_VERIFY(lamps_show(0x00, 0x00));
}

QTEST_GUILESS_MAIN(tst_control_e2e)
#include "tst_control_e2e.moc"
