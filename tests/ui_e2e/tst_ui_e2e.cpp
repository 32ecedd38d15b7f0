// The window, poll cycle and real serial port against the emulator on a pty:
// what only real timers, a real terminal and a real window can show.

#include "control/controller.h"
#include "control/indicator_panel.h"
#include "link/qt_serial_port.h"
#include "sim_process.h"
#include "system/toolkit.h"
#include "ui/controls.h"
#include "ui/main_form.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

using namespace orvalin;

class tst_ui_e2e : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void lamps_follow_the_module_and_switch_its_relays();
    void polls_twenty_a_second_and_falls_back_after_six_silent_ticks();
    void module_gone_is_reported_once_and_the_port_reopens_data();
    void module_gone_is_reported_once_and_the_port_reopens();

private:
    QColor picture(int k) const { return form_->findChild<lamp *>(lamp_name(k))->colour(); }
    static QString lamp_name(int k) { return QStringLiteral("Picture1(%1)").arg(k); }
    void click_button(const char *name)
    {
        QTest::mouseClick(form_->findChild<QPushButton *>(name), Qt::LeftButton);
    }
    bool all_lamps(const QColor &colour) const
    {
        for (int k = 1; k <= 16; ++k)
            if (picture(k) != colour)
                return false;
        return true;
    }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<sim_process> sim_;
    QList<toolkit::message> messages_;
    std::unique_ptr<qt_serial_port> port_;
    std::unique_ptr<main_form> form_;
};

void tst_ui_e2e::init()
{
    if (!sim_process::available())
        QSKIP("the module emulator needs pseudo-terminals");
    dir_ = std::make_unique<QTemporaryDir>();
    sim_ = std::make_unique<sim_process>();
    QVERIFY2(sim_->start(dir_->path(), { "--address", "1" }), qPrintable(sim_->error()));
    toolkit::set_program_directory(dir_->path());
    toolkit::set_message_sink([this](const toolkit::message &m) { messages_ << m; });
    port_ = std::make_unique<qt_serial_port>(port_folders { dir_->path() });
    form_ = std::make_unique<main_form>(*port_);
    form_->show_centred();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    messages_.clear(); // the name file was created
}

void tst_ui_e2e::cleanup()
{
    form_.reset();
    port_.reset();
    sim_.reset();
    toolkit::set_message_sink({});
    toolkit::set_program_directory({});
    dir_.reset();
}

void tst_ui_e2e::lamps_follow_the_module_and_switch_its_relays()
{
    const auto state_text = [&](int k) {
        return form_->findChild<QLabel *>(QStringLiteral("Label2(%1)").arg(k))->text();
    };
    QCOMPARE(sim_->command("outputs 04"), "ok"); // output 3 on
    QCOMPARE(sim_->command("in 2 on"), "ok"); // element 15
    click_button("open_comm");
    QVERIFY2(messages_.isEmpty(), qPrintable(messages_.value(0).prompt));
    QTRY_COMPARE(picture(3), QColor(Qt::green));
    QCOMPARE(state_text(3), "  吸合");
    QCOMPARE(picture(15), QColor(Qt::green));
    QCOMPARE(picture(16), QColor(Qt::red));

    // A click on a lamp or its state text asks for the opposite state.
    QTest::mouseClick(form_->findChild<lamp *>(lamp_name(3)), Qt::LeftButton, {}, QPoint(86, 38));
    QTRY_COMPARE(sim_->status()->outputs, 0x00);
    QTRY_COMPARE(picture(3), QColor(Qt::red));
    QCOMPARE(state_text(3), "  断开");
    QTest::mouseClick(form_->findChild<QLabel *>("Label2(5)"), Qt::LeftButton);
    QTRY_COMPARE(sim_->status()->outputs, 0x10);
    QTRY_COMPARE(picture(5), QColor(Qt::green));
    click_button("openall");
    QTRY_COMPARE(sim_->status()->outputs, 0xff);
    for (int k = 1; k <= 8; ++k)
        QTRY_COMPARE(picture(k), QColor(Qt::green));
    click_button("closeall");
    QTRY_COMPARE(sim_->status()->outputs, 0x00);

    click_button("open_comm");
    QVERIFY(!port_->is_open());
    QVERIFY(all_lamps(indicator_panel::closed_colour()));
}

void tst_ui_e2e::polls_twenty_a_second_and_falls_back_after_six_silent_ticks()
{
    auto *control = form_->findChild<controller *>();
    QElapsedTimer clock;
    clock.start();
    qint64 last_reply = -1;
    connect(control, &controller::reply_shown, this, [&] { last_reply = clock.elapsed(); });
    click_button("open_comm");
    QTRY_COMPARE(picture(1), QColor(Qt::red));

    // Timing on a shared machine: a stall of the whole machine only slows
    // the panel down, so each figure gets three tries; a panel that polls
    // too often, or too seldom every time, still fails.
    QString seen;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto before = sim_->status();
        const qint64 start = clock.elapsed();
        QTest::qWait(2000);
        const auto after = sim_->status();
        const double seconds = (clock.elapsed() - start) / 1000.0;
        QVERIFY(before && after);
        const auto frames = after->frames - before->frames;
        QVERIFY2(frames <= 20 * seconds + 2,
            qPrintable(QStringLiteral("%1 frames in %2 s").arg(frames).arg(seconds)));
        seen += QStringLiteral(" %1 frames in %2 s;").arg(frames).arg(seconds);
        if (frames >= 38)
            break;
        QVERIFY2(attempt < 2, qPrintable(seen));
    }

    // The sixth tick without a reply shows unknown: 250 to 300 ms after it.
    seen.clear();
    for (int attempt = 0; attempt < 3; ++attempt) {
        QTRY_COMPARE(picture(1), QColor(Qt::red));
        QTest::qWait(100);
        QCOMPARE(sim_->command("silent on"), "ok");
        QTRY_COMPARE(picture(1), QColor(Qt::yellow));
        const qint64 gap = clock.elapsed() - last_reply;
        QVERIFY2(gap > 245, qPrintable(QStringLiteral("fell back after %1 ms").arg(gap)));
        seen += QStringLiteral(" fell back after %1 ms;").arg(gap);
        if (gap <= 340)
            break;
        QVERIFY2(attempt < 2, qPrintable(seen));
        QCOMPARE(sim_->command("silent off"), "ok");
    }
    QVERIFY(all_lamps(Qt::yellow));
    QCOMPARE(sim_->command("silent off"), "ok");
    QTRY_VERIFY(all_lamps(Qt::red));
}

void tst_ui_e2e::module_gone_is_reported_once_and_the_port_reopens_data()
{
    QTest::addColumn<bool>("killed"); // else told to quit, and its link goes with it
    QTest::newRow("quit") << false;
    QTest::newRow("killed") << true;
}

void tst_ui_e2e::module_gone_is_reported_once_and_the_port_reopens()
{
    QFETCH(bool, killed);
    QCOMPARE(sim_->command("outputs a5"), "ok");
    click_button("open_comm");
    QTRY_COMPARE(picture(1), QColor(Qt::green));
    auto *button = form_->findChild<QPushButton *>("open_comm");

    if (killed)
        sim_->kill();
    else
        QVERIFY(sim_->stop());
    QTRY_COMPARE(button->text(), "打开串口");
    QCOMPARE(messages_.size(), 1);
    // The device that was open, also when its link went with the module.
    QVERIFY2(messages_[0].prompt.contains(dir_->filePath("COM1") + " 已断开"),
        qPrintable(messages_[0].prompt));
    QVERIFY(all_lamps(indicator_panel::closed_colour()));
    QVERIFY(!form_->findChild<controller *>()->timer1().isActive());
    // A closed port is quiet: no second report, no spinning notifier.
    const auto cpu_ms = [] { return std::clock() * 1000 / CLOCKS_PER_SEC; };
    const auto cpu_before = cpu_ms();
    QTest::qWait(1000);
    QVERIFY2(cpu_ms() - cpu_before < 150, "the event loop kept busy after the loss");
    QCOMPARE(messages_.size(), 1);

    QVERIFY2(sim_->start(dir_->path(), { "--address", "1" }), qPrintable(sim_->error()));
    QCOMPARE(sim_->command("in 1 on"), "ok");
    click_button("open_comm");
    QTRY_COMPARE(picture(16), QColor(Qt::green));
    QCOMPARE(picture(1), QColor(Qt::red)); // the new module's state, not the old one's
    QCOMPARE(messages_.size(), 1);
}

QTEST_MAIN(tst_ui_e2e)
#include "tst_ui_e2e.moc"
