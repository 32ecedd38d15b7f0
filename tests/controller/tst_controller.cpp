#include "control/controller.h"
#include "fake_panel_view.h"
#include "fake_serial_port.h"

#include <QSignalSpy>
#include <QTest>

using namespace orvalin;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray bytes_of(const frame &f)
{
    return QByteArray(reinterpret_cast<const char *>(f.data()), int(f.size()));
}

const QByteArray poll_addr1 = hex("5501100000000066");

// One controller on a fake port and a fake window, with the timer held still
// so that the test drives every tick itself.
struct rig {
    fake_panel_view view;
    fake_serial_port port;
    controller ctl { view, port };

    rig() { ctl.timer1().stop(); }

    void open()
    {
        ctl.open_comm_click();
        ctl.timer1().stop();
        port.log.clear();
        port.written.clear();
        view.log.clear();
    }
    QByteArray last_written() const { return bytes_of(port.written.last()); }
    void reply(const char *text) { port.receive(hex(text)); }
    bool lamps_touched() const { return view.log.filter(QStringLiteral("lamp")).size() > 0; }
};

} // namespace

class tst_controller : public QObject {
    Q_OBJECT

private slots:
    void every_tick_sends_one_frame();
    void slot_holds_one_command();
    void closed_port_drops_taken_command();
    void command_waits_in_slot_across_close_and_open();
    void countdown_falls_back_on_sixth_silent_tick();
    void reply_rearms_to_five_not_more();
    void clicks_choose_command_from_lamp();
    void clicks_on_unknown_or_closed_lamps_queue_nothing();
    void status_paints_in_order_and_maps_bits();
    void receive_handler_ignores_other_causes_and_bad_batches();
    void port_button_sequence();
    void failed_open_stays_closed_and_tells_once();
    void bad_port_text_opens_nothing();
    void bad_address_text_sends_nothing_but_liveness_runs();
    void port_lost_while_open_closes_panel_once();
};

void tst_controller::every_tick_sends_one_frame()
{
    rig r;
    r.open();
    for (int i = 0; i < 3; ++i)
        r.ctl.timer1_tick();
    QCOMPARE(r.port.written.size(), 3);
    QCOMPARE(r.last_written(), poll_addr1);
    // Each send discards waiting input right before the write.
    QCOMPARE(r.port.log.mid(0, 2),
        QStringList(
            { QStringLiteral("InBufferCount=0"), QStringLiteral("Output=5501100000000066") }));

    r.view.address = QStringLiteral("300");
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("552C100000000091"));
}

void tst_controller::slot_holds_one_command()
{
    rig r;
    r.open();
    r.ctl.openall_click();
    r.ctl.closeall_click();
    QCOMPARE(r.ctl.pending_flag(), 1);
    r.ctl.timer1_tick();
    QCOMPARE(r.port.written.size(), 1);
    QCOMPARE(r.last_written(), hex("5501130000000069"));
    QCOMPARE(r.ctl.pending_flag(), 0);
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), poll_addr1);

    r.ctl.openall_click();
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("55011300 00FFFF67"));
}

void tst_controller::closed_port_drops_taken_command()
{
    rig r; // port never opened: the timer ticks from creation
    r.ctl.openall_click();
    r.ctl.timer1_tick();
    QCOMPARE(r.ctl.pending_flag(), 0);
    QVERIFY(r.port.written.isEmpty());
    // The frame is still built.
    QCOMPARE(bytes_of(r.ctl.tx_buf()), hex("55011300 00FFFF67"));
}

void tst_controller::command_waits_in_slot_across_close_and_open()
{
    rig r;
    r.open();
    r.ctl.closeall_click();
    r.ctl.open_comm_click(); // close
    QVERIFY(!r.ctl.timer1().isActive());
    QCOMPARE(r.ctl.pending_flag(), 1);
    r.ctl.open_comm_click(); // open again
    r.ctl.timer1().stop();
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("5501130000000069"));
}

void tst_controller::countdown_falls_back_on_sixth_silent_tick()
{
    rig r;
    r.open();
    r.reply("2200000005000 32A");
    QCOMPARE(r.ctl.reply_countdown(), 5);
    QCOMPARE(r.view.texts[1], QStringLiteral("  吸合"));
    r.view.log.clear();
    for (int tick = 1; tick <= 5; ++tick) {
        r.ctl.timer1_tick();
        QVERIFY2(!r.lamps_touched(), qPrintable(QStringLiteral("tick %1").arg(tick)));
    }
    QCOMPARE(r.ctl.reply_countdown(), 0);
    QCOMPARE(r.port.written.size(), 5);
    r.ctl.timer1_tick();
    QCOMPARE(r.view.log.filter(QStringLiteral("lamp")).size(), 16);
    for (int k = 1; k <= 16; ++k)
        QCOMPARE(r.ctl.panel().state(k), indicator_state::unknown);
    // The fallback comes before that tick's frame.
    QCOMPARE(r.port.written.size(), 6);

    // Closed at 3 and reopened to a silent module: three ticks count down,
    // the fourth shows unknown again.
    r.reply("2200000005000 32A");
    r.ctl.timer1_tick();
    r.ctl.timer1_tick();
    QCOMPARE(r.ctl.reply_countdown(), 3);
    r.ctl.open_comm_click();
    r.open();
    QCOMPARE(r.ctl.reply_countdown(), 3);
    for (int tick = 1; tick <= 3; ++tick)
        r.ctl.timer1_tick();
    QVERIFY(!r.lamps_touched());
    r.ctl.timer1_tick();
    QVERIFY(r.lamps_touched());
}

void tst_controller::reply_rearms_to_five_not_more()
{
    rig r;
    r.open();
    r.reply("2200000005000 32A");
    for (int i = 0; i < 3; ++i)
        r.ctl.timer1_tick();
    QCOMPARE(r.ctl.reply_countdown(), 2);
    QSignalSpy shown(&r.ctl, &controller::reply_shown);
    r.reply("2200000005000 32A");
    QCOMPARE(shown.size(), 1);
    QCOMPARE(r.ctl.reply_countdown(), 5);
}

void tst_controller::clicks_choose_command_from_lamp()
{
    rig r;
    r.open();
    // Inputs 0x00, outputs 0x04: output 3 on, everything else off.
    r.reply("2200000000000426");
    QCOMPARE(r.ctl.panel().state(3), indicator_state::on);

    r.ctl.picture1_click(3);
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("550111000000036A"));

    // Element 12 is input 5, and still the element number goes out.
    r.ctl.label2_click(12);
    QCOMPARE(r.ctl.pending_cmd(), (std::array<std::uint8_t, 3> { 0x12, 0x00, 0x0C }));
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("5501120000000C74"));

    r.ctl.picture1_click(2);
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("550112000000026A"));
}

void tst_controller::clicks_on_unknown_or_closed_lamps_queue_nothing()
{
    rig r;
    r.ctl.picture1_click(1); // unknown at start-up
    r.ctl.label2_click(16);
    QCOMPARE(r.ctl.pending_flag(), 0);

    r.open();
    r.reply("2200000000000426");
    r.ctl.open_comm_click(); // closed: grey lamps
    for (int k = 1; k <= 16; ++k) {
        QCOMPARE(r.ctl.panel().state(k), indicator_state::closed);
        r.ctl.picture1_click(k);
    }
    QCOMPARE(r.ctl.pending_flag(), 0);
    r.ctl.picture1_click(0);
    r.ctl.picture1_click(17);
    QCOMPARE(r.ctl.pending_flag(), 0);
}

void tst_controller::status_paints_in_order_and_maps_bits()
{
    rig r;
    r.open();
    // Byte 4 = 0x01 (input 1), byte 6 = 0x80 (output 8); bytes 1, 2, 3, 5
    // carry noise that must not matter.
    receive_buffer reply { 0x22, 0x07, 0x33, 0x44, 0x01, 0x55, 0x80 };
    int sum = 0;
    for (int i = 0; i < 7; ++i)
        sum += reply[i];
    reply[7] = sum % 256;
    QByteArray raw;
    for (int i = 0; i < 8; ++i)
        raw.append(char(reply[i]));
    r.port.receive(raw);

    QStringList order;
    for (const auto &entry : r.view.log)
        if (entry.startsWith(QLatin1String("lamp ")))
            order << entry.mid(5);
    QCOMPARE(order.join(','), QStringLiteral("16,1,15,2,14,3,13,4,12,5,11,6,10,7,9,8"));
    // Colour before text for each lamp.
    QCOMPARE(r.view.log.mid(0, 2),
        QStringList({ QStringLiteral("lamp 16"), QStringLiteral("text 16") }));
    for (int k = 1; k <= 16; ++k) {
        const bool on = k == 16 || k == 8;
        QCOMPARE(r.ctl.panel().state(k), on ? indicator_state::on : indicator_state::off);
        QCOMPARE(r.view.texts[k], on ? QStringLiteral("  吸合") : QStringLiteral("  断开"));
        QCOMPARE(r.view.lamps[k], on ? QColor(0, 255, 0) : QColor(255, 0, 0));
    }

    r.reply("2201100081 00FFB3");
    for (int k = 1; k <= 8; ++k)
        QCOMPARE(r.ctl.panel().state(k), indicator_state::on);
    QCOMPARE(r.ctl.panel().state(16), indicator_state::on); // input 1
    QCOMPARE(r.ctl.panel().state(9), indicator_state::on); // input 8
    QCOMPARE(r.ctl.panel().state(10), indicator_state::off);
}

void tst_controller::receive_handler_ignores_other_causes_and_bad_batches()
{
    rig r;
    r.open();
    r.port.event = 1001;
    r.reply("2200000005000 32A");
    QCOMPARE(r.port.waiting.size(), 8);
    QCOMPARE(r.ctl.recv_buf()[0], 0);
    QVERIFY(!r.lamps_touched());

    r.port.waiting.clear();
    r.port.event = comm_event_receive;
    // Start byte wrong, then checksum wrong: recv_buf changes, nothing else.
    r.reply("230000000500032B");
    QCOMPARE(r.ctl.recv_buf()[0], 0x23);
    r.reply("220000000500032B");
    QCOMPARE(r.ctl.recv_buf()[7], 0x2B);
    QVERIFY(!r.lamps_touched());
    QCOMPARE(r.ctl.reply_countdown(), 0);

    // Fewer than 8 bytes waiting when the event is handled: nothing read.
    r.port.waiting = hex("2200000005");
    r.ctl.mscomm1_on_comm();
    QCOMPARE(r.port.waiting.size(), 5);
    QCOMPARE(r.ctl.recv_buf()[7], 0x2B);

    // 12 waiting: the first 8 are taken, 4 stay.
    r.port.waiting = hex("2200000005000 32A11223344");
    r.ctl.mscomm1_on_comm();
    QCOMPARE(r.port.waiting, hex("11223344"));
    QCOMPARE(r.ctl.reply_countdown(), 5);
}

void tst_controller::port_button_sequence()
{
    rig r;
    r.view.port = QStringLiteral("3");
    r.ctl.open_comm_click();
    QCOMPARE(r.port.log,
        QStringList({ QStringLiteral("CommPort=3"), QStringLiteral("PortOpen=true"),
            QStringLiteral("RThreshold=8") }));
    QVERIFY(r.ctl.timer1().isActive());
    QStringList expected;
    for (int k = 1; k <= 16; ++k)
        expected << QStringLiteral("lamp %1").arg(k) << QStringLiteral("text %1").arg(k);
    QCOMPARE(r.view.log.mid(0, 32), expected);
    QCOMPARE(r.view.log.mid(32),
        QStringList({ QStringLiteral("openall on"), QStringLiteral("closeall on"),
            QStringLiteral("portbox off"), QStringLiteral("caption 关闭串口") }));
    QCOMPARE(r.view.texts[5], QStringLiteral("状态未知"));

    r.view.log.clear();
    r.ctl.open_comm_click();
    QVERIFY(!r.port.is_open());
    QVERIFY(!r.ctl.timer1().isActive());
    QCOMPARE(r.view.log.mid(32),
        QStringList({ QStringLiteral("openall off"), QStringLiteral("closeall off"),
            QStringLiteral("portbox on"), QStringLiteral("caption 打开串口") }));
    for (int k = 1; k <= 16; ++k) {
        QCOMPARE(r.view.lamps[k], indicator_panel::closed_colour());
        QCOMPARE(r.view.texts[k], QStringLiteral("状态未知"));
    }

    r.view.port = QStringLiteral("7");
    r.port.log.clear();
    r.ctl.open_comm_click();
    QCOMPARE(r.port.log.first(), QStringLiteral("CommPort=7"));
    QVERIFY(r.port.is_open());
}

void tst_controller::failed_open_stays_closed_and_tells_once()
{
    rig r;
    r.port.open_fails = true;
    r.ctl.open_comm_click();
    QCOMPARE(
        r.port.log, QStringList({ QStringLiteral("CommPort=1"), QStringLiteral("PortOpen=true") }));
    QCOMPARE(r.view.failures(), 1);
    QCOMPARE(
        r.view.log.last(), QStringLiteral("failed /dev/fake1|No such file or directory|opening"));
    QCOMPARE(r.view.port_caption, QStringLiteral("打开串口"));
    QVERIFY(r.view.port_box_enabled);
}

void tst_controller::bad_port_text_opens_nothing()
{
    for (const char *text : { "", "abc", "-1", "256", "1.5.2" }) {
        rig r;
        r.view.port = QString::fromLatin1(text);
        r.ctl.open_comm_click();
        QVERIFY2(r.port.log.isEmpty(), text);
        QCOMPARE(r.view.failures(), 1);
        QCOMPARE(r.view.port_caption, QStringLiteral("打开串口"));
    }
}

void tst_controller::bad_address_text_sends_nothing_but_liveness_runs()
{
    rig r;
    r.open();
    r.reply("2200000005000 32A");
    for (const char *text : { "", "abc", "-1", "1e20", "-255" }) {
        r.view.address = QString::fromLatin1(text);
        r.ctl.timer1_tick();
        QVERIFY2(r.port.written.isEmpty(), text);
    }
    QCOMPARE(r.ctl.reply_countdown(), 0);
    r.ctl.timer1_tick();
    QCOMPARE(r.ctl.panel().state(1), indicator_state::unknown);

    r.view.address = QStringLiteral(" 2 ");
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("5502100000000067"));
}

void tst_controller::port_lost_while_open_closes_panel_once()
{
    rig r;
    r.open();
    r.port.lose(QStringLiteral("Input/output error"));
    QTRY_COMPARE(r.view.failures(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(r.view.failures(), 1);
    QVERIFY(r.view.log.last().endsWith(QLatin1String("|Input/output error|open")));
    QCOMPARE(r.view.port_caption, QStringLiteral("打开串口"));
    QCOMPARE(r.ctl.panel().state(4), indicator_state::closed);
    QVERIFY(!r.ctl.timer1().isActive());

    r.ctl.open_comm_click();
    QVERIFY(r.port.is_open());
    QCOMPARE(r.view.port_caption, QStringLiteral("关闭串口"));
}

QTEST_GUILESS_MAIN(tst_controller)
#include "tst_controller.moc"
