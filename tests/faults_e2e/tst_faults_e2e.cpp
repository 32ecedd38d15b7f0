#include "control/controller.h"
#include "fake_panel_view.h"
#include "link/qt_serial_port.h"
#include "sim_process.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

using namespace orvalin;
using namespace Qt::StringLiterals;

namespace {

// How long after a change the module's previous state may still reach the
// lamps: replies in flight, a 600 ms reply delay, and a loaded machine.
constexpr qint64 stale_slack_ms = 1500;
constexpr int settle_ms = 150;
constexpr int wait_ms = 5000;

} // namespace

// The real poll cycle on a pseudo-terminal against the emulated module. Every
// reply and tick checks the lamps against states the module has really been
// in; cleanup() fails the test on any mismatch. Inputs 0x22 make a torn batch
// start like a reply (only its checksum refuses it); outputs 0x2B/0xAB would
// make that checksum hold too, so those states are left out.
class tst_faults_e2e : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void polls_at_twenty_per_second_and_falls_back_after_six_ticks();
    void dropped_replies_are_only_gaps();
    void torn_noisy_or_late_batches_are_never_shown();
    void killed_module_closes_once_and_reopens();

private:
    // A state of the module and when it held it (until < 0: still does).
    struct era {
        int outputs, inputs;
        qint64 from, until;
    };

    bool sim(const char *command) { return sim_->command(QString::fromLatin1(command)) == u"ok"_s; }
    bool wait_for(const std::function<bool()> &c) { return QTest::qWaitFor(c, wait_ms); }
    indicator_state lamp(int element) const
    {
        for (auto state : { indicator_state::unknown, indicator_state::on, indicator_state::off })
            if (view_->lamps[element] == indicator_panel::colour_of(state))
                return state;
        return indicator_state::closed;
    }
    bool lamps_all(indicator_state state) const
    {
        return std::all_of(view_->lamps.begin() + 1, view_->lamps.end(),
            [&](const QColor &c) { return c == indicator_panel::colour_of(state); });
    }
    // Output and input bits shown on, and how many lamps show on or off.
    std::tuple<int, int, int> shown() const;
    bool lamps_show(int o, int i) const { return shown() == std::tuple(o, i, 16); }
    void begin_era(int outputs, int inputs)
    {
        const qint64 now = clock_.elapsed();
        if (!eras_.empty() && eras_.back().until < 0)
            eras_.back().until = now;
        eras_.push_back({ outputs, inputs, now, -1 });
    }
    bool open_panel()
    {
        ctl_->open_comm_click();
        const era now = eras_.back();
        return port_->is_open() && view_->port_caption == u"关闭串口"_s
            && wait_for([&] { return lamps_show(now.outputs, now.inputs); });
    }
    // Changes the module and waits for the lamps to show it (or, unseen, unknown).
    bool change(const char *command, int outputs, int inputs, bool seen = true)
    {
        begin_era(outputs, inputs);
        return sim(command) && wait_for([&] {
            return seen ? lamps_show(outputs, inputs) : lamps_all(indicator_state::unknown);
        });
    }
    bool click_output(int element);
    void check_lamps(bool reply);

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<sim_process> sim_;
    std::unique_ptr<fake_panel_view> view_;
    std::unique_ptr<qt_serial_port> port_;
    std::unique_ptr<controller> ctl_;

    QElapsedTimer clock_;
    std::vector<era> eras_;
    QStringList violations_;
    int shown_ = 0;
    int ticks_ = 0;
    int unknown_ticks_ = 0;
    qint64 last_reply_ = -1, fallback_ = -1; // when the last reply came, the first unknown tick
};

void tst_faults_e2e::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    sim_ = std::make_unique<sim_process>();
    // The seed fixes which replies are dropped.
    QVERIFY2(sim_->start(dir_->path(), { u"--seed"_s, u"6"_s }), qPrintable(sim_->error()));
    view_ = std::make_unique<fake_panel_view>();
    port_ = std::make_unique<qt_serial_port>(dir_->path());
    ctl_ = std::make_unique<controller>(*view_, *port_);

    clock_.start();
    eras_.clear();
    begin_era(0x00, 0x00);
    violations_.clear();
    shown_ = ticks_ = unknown_ticks_ = 0;
    last_reply_ = fallback_ = -1;
    connect(ctl_.get(), &controller::reply_shown, this, [this] {
        ++shown_;
        last_reply_ = clock_.elapsed();
        check_lamps(true);
    });
    // Connected after the controller's own tick handler, so it runs after it.
    connect(&ctl_->timer1(), &QTimer::timeout, this, [this] {
        ++ticks_;
        if (lamps_all(indicator_state::unknown)) {
            ++unknown_ticks_;
            if (fallback_ < 0)
                fallback_ = clock_.elapsed();
        }
        check_lamps(false);
    });
}

void tst_faults_e2e::cleanup()
{
    ctl_.reset();
    port_.reset();
    view_.reset();
    sim_.reset();
    dir_.reset();
    QVERIFY2(violations_.isEmpty(), qPrintable(violations_.mid(0, 5).join(u'\n')));
}

std::tuple<int, int, int> tst_faults_e2e::shown() const
{
    int outputs = 0;
    int inputs = 0;
    int known = 0;
    for (int k = 1; k <= 16; ++k) {
        const auto state = lamp(k);
        known += state == indicator_state::on || state == indicator_state::off;
        if (state == indicator_state::on)
            (k <= 8 ? outputs : inputs) |= 1 << (k <= 8 ? k - 1 : 16 - k);
    }
    return { outputs, inputs, known };
}

bool tst_faults_e2e::click_output(int element)
{
    const era now = eras_.back();
    if (!lamps_show(now.outputs, now.inputs))
        return false;
    const int outputs = now.outputs ^ (1 << (element - 1));
    begin_era(outputs, now.inputs);
    ctl_->picture1_click(element);
    return wait_for([&] { return lamps_show(outputs, now.inputs); });
}

void tst_faults_e2e::check_lamps(bool reply)
{
    const qint64 now = clock_.elapsed();
    const auto complain = [&](const QString &what) {
        violations_ << u"%1 ms, %2: %3"_s.arg(now).arg(reply ? "reply" : "tick", what);
    };
    for (int k = 1; k <= 16; ++k)
        if (view_->texts[k] != indicator_panel::text_of(lamp(k)))
            complain(u"lamp %1 and its text disagree"_s.arg(k));
    const auto [outputs, inputs, known] = shown();
    if (known == 0 && !reply)
        return;
    if (known != 16) {
        complain(u"%1 of 16 lamps show a channel state"_s.arg(known));
        return;
    }
    for (const era &e : eras_)
        if (e.outputs == outputs && e.inputs == inputs && e.from <= now
            && (e.until < 0 || now <= e.until + stale_slack_ms))
            return;
    complain(u"outputs %1 inputs %2, never the module's state then"_s
                 .arg(outputs, 2, 16, QLatin1Char('0'))
                 .arg(inputs, 2, 16, QLatin1Char('0')));
}

void tst_faults_e2e::polls_at_twenty_per_second_and_falls_back_after_six_ticks()
{
    QVERIFY(open_panel());
    const auto before = sim_->status();
    const qint64 start = clock_.elapsed();
    QTest::qWait(2000);
    const auto after = sim_->status();
    const double seconds = (clock_.elapsed() - start) / 1000.0;
    QVERIFY(before && after);
    const auto frames = after->frames - before->frames;
    QVERIFY2(frames >= 38 && frames <= 20 * seconds + 2,
        qPrintable(u"%1 frames in %2 s"_s.arg(frames).arg(seconds)));

    fallback_ = -1;
    QVERIFY(sim("silent on"));
    QTRY_VERIFY_WITH_TIMEOUT(fallback_ >= 0, wait_ms);
    const qint64 gap = fallback_ - last_reply_;
    QVERIFY2(gap > 250 - 5 && gap <= 300 + 15, qPrintable(u"fell back after %1 ms"_s.arg(gap)));
    QVERIFY(sim("silent off"));
    QTRY_VERIFY_WITH_TIMEOUT(lamps_show(0x00, 0x00), wait_ms);
}

void tst_faults_e2e::dropped_replies_are_only_gaps()
{
    QVERIFY(sim("drop 0.2"));
    QVERIFY(open_panel());
    const int ticks_before = ticks_;
    const int unknown_before = unknown_ticks_;
    QVERIFY(change("inputs 05", 0x00, 0x05));
    QTest::qWait(400);
    QVERIFY(click_output(2));
    QTest::qWait(400);
    QVERIFY(change("outputs 81", 0x81, 0x05));
    QTest::qWait(400);
    QVERIFY(change("in 8 on", 0x81, 0x85));
    QTest::qWait(400);

    // Six drops in a row may cause a short fall-back; a long one means loss.
    const int ticks = ticks_ - ticks_before;
    const int unknown = unknown_ticks_ - unknown_before;
    QVERIFY2(ticks > 30 && unknown * 4 <= ticks,
        qPrintable(u"unknown at %1 of %2 ticks"_s.arg(unknown).arg(ticks)));
    const int shown = shown_;
    const auto module = sim_->status();
    QVERIFY(module);
    QVERIFY2(shown <= module->replies && shown * 5 >= module->replies * 4 - 5,
        qPrintable(u"%1 of %2 replies shown"_s.arg(shown).arg(module->replies)));
}

void tst_faults_e2e::torn_noisy_or_late_batches_are_never_shown()
{
    QVERIFY(open_panel());
    QVERIFY(sim("split 30")); // halves within one tick count
    QVERIFY(change("inputs 24", 0x00, 0x24));
    // The second half comes after the next send, with the next reply's head.
    QVERIFY(sim("split 70"));
    QVERIFY(change("inputs 22", 0x00, 0x22, false));
    QTest::qWait(500);
    QVERIFY(sim("split 0"));
    QTRY_VERIFY_WITH_TIMEOUT(lamps_show(0x00, 0x22), wait_ms);

    // Noise shifts each reply out of its batch: nothing passes.
    QVERIFY(sim("garbage 5"));
    QTest::qWait(settle_ms);
    const int shown_before = shown_;
    QVERIFY(change("inputs 11", 0x00, 0x11, false));
    QTest::qWait(300);
    QCOMPARE(shown_, shown_before);
    // A whole batch of noise, then the reply as the next batch: accepted.
    QVERIFY(sim("garbage 8"));
    QVERIFY(sim("split 20"));
    QTRY_VERIFY_WITH_TIMEOUT(lamps_show(0x00, 0x11), wait_ms);
    QVERIFY(sim("garbage 0"));
    QVERIFY(sim("split 0"));
    QVERIFY(change("outputs 60", 0x60, 0x11));

    // Replies late by more than six ticks: fall back, then show the module late.
    QVERIFY(sim("delay 600"));
    QTRY_VERIFY_WITH_TIMEOUT(lamps_all(indicator_state::unknown), wait_ms);
    QVERIFY(change("outputs 0f", 0x0F, 0x11));
}

void tst_faults_e2e::killed_module_closes_once_and_reopens()
{
    QVERIFY(sim("drop 0.2"));
    QVERIFY(open_panel());
    QVERIFY(change("outputs a5", 0xA5, 0x00));

    eras_.back().until = clock_.elapsed();
    sim_->kill();
    QTRY_COMPARE_WITH_TIMEOUT(view_->port_caption, u"打开串口"_s, wait_ms);
    QCOMPARE(view_->failures(), 1);
    QVERIFY(view_->log.last().endsWith(u"|open"_s));
    QVERIFY(lamps_all(indicator_state::closed));
    QVERIFY(!port_->is_open() && !ctl_->timer1().isActive());
    QTest::qWait(300); // nothing keeps firing once closed
    QCOMPARE(view_->failures(), 1);

    QVERIFY2(sim_->start(dir_->path()), qPrintable(sim_->error()));
    begin_era(0x00, 0x00);
    QVERIFY(open_panel());
    QVERIFY(change("inputs 5a", 0x00, 0x5A));
    QCOMPARE(view_->failures(), 1);
}

QTEST_GUILESS_MAIN(tst_faults_e2e)
#include "tst_faults_e2e.moc"
