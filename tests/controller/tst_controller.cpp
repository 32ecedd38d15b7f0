#include "control/controller.h"
#include "fake_panel_view.h"
#include "fake_serial_port.h"

#include <QSignalSpy>
#include <QTest>

using namespace orvalin;
using namespace Qt::StringLiterals;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

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
    }
    QByteArray last_written() const
    {
        const frame &f = port.written.last();
        return QByteArray(reinterpret_cast<const char *>(f.data()), int(f.size()));
    }
    void reply(const char *text) { port.receive(hex(text)); }
};

} // namespace

class tst_controller : public QObject {
    Q_OBJECT

private slots:
    void one_frame_per_tick_and_one_command_slot();
    void clicks_choose_command_from_lamp();
    void port_button_sequence();
};

void tst_controller::one_frame_per_tick_and_one_command_slot()
{
    rig r;
    r.open();
    QSignalSpy sent(&r.ctl, &controller::frame_sent);
    r.ctl.timer1_tick();
    QCOMPARE(sent.size(), 1);
    // Waiting input is discarded right before each write.
    QCOMPARE(
        r.port.log.mid(0, 2), QStringList({ u"InBufferCount=0"_s, u"Output=5501100000000066"_s }));

    r.ctl.openall_click();
    r.ctl.closeall_click(); // replaces the command, does not queue a second
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("5501130000000069"));
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("5501100000000066"));
    QCOMPARE(r.port.written.size(), 3);

    r.view.address = u"300"_s;
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("552C100000000091"));

    // A command clicked before the port closes waits for the next open.
    r.ctl.openall_click();
    r.ctl.open_comm_click();
    QVERIFY(!r.ctl.timer1().isActive());
    r.open();
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("552C130000FFFF92"));
}

void tst_controller::clicks_choose_command_from_lamp()
{
    rig r;
    r.ctl.picture1_click(1); // unknown at start-up
    r.ctl.label2_click(16);
    QCOMPARE(r.ctl.pending_flag(), 0);

    r.open();
    r.reply("2200000000000426"); // output 3 on, everything else off
    r.ctl.picture1_click(3);
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("550111000000036A"));
    // Element 12 is input 5, and still the element number goes out.
    r.ctl.label2_click(12);
    QCOMPARE(r.ctl.pending_cmd(), (std::array<std::uint8_t, 3> { 0x12, 0x00, 0x0C }));
    r.ctl.timer1_tick();
    QCOMPARE(r.last_written(), hex("5501120000000C74"));

    r.ctl.open_comm_click(); // closed: grey lamps take no clicks
    for (int k = 0; k <= 17; ++k)
        r.ctl.picture1_click(k);
    QCOMPARE(r.ctl.panel().state(3), indicator_state::closed);
    QCOMPARE(r.ctl.pending_flag(), 0);

    r.open();
    // Input 1 and output 8 on; bytes 1, 2, 3 and 5 are noise that must not matter.
    r.reply("2207334401558076");
    for (int k = 1; k <= 16; ++k)
        QCOMPARE(
            r.ctl.panel().state(k), k == 16 || k == 8 ? indicator_state::on : indicator_state::off);
    r.reply("2201100081 00FFB3"); // inputs 1 and 8, all outputs
    for (int k = 1; k <= 16; ++k)
        QCOMPARE(
            r.ctl.panel().state(k), k <= 9 || k == 16 ? indicator_state::on : indicator_state::off);
    // A reply holds for five ticks without one; the sixth makes the lamps unknown.
    for (int tick = 1; tick <= 5; ++tick)
        r.ctl.timer1_tick();
    QCOMPARE(r.ctl.panel().state(16), indicator_state::on);
    r.ctl.timer1_tick();
    QCOMPARE(r.ctl.panel().state(16), indicator_state::unknown);
}

void tst_controller::port_button_sequence()
{
    rig r;
    r.view.port = u"3"_s;
    r.ctl.open_comm_click();
    QCOMPARE(r.port.log, QStringList({ u"CommPort=3"_s, u"PortOpen=true"_s, u"RThreshold=8"_s }));
    QVERIFY(r.ctl.timer1().isActive());
    QVERIFY(r.view.openall_enabled && r.view.closeall_enabled && !r.view.port_box_enabled);
    QCOMPARE(r.view.port_caption, u"关闭串口"_s);
    QCOMPARE(r.ctl.panel().state(5), indicator_state::unknown);

    r.ctl.open_comm_click();
    QVERIFY(!r.port.is_open() && !r.ctl.timer1().isActive());
    QVERIFY(!r.view.openall_enabled && !r.view.closeall_enabled && r.view.port_box_enabled);
    QCOMPARE(r.view.port_caption, u"打开串口"_s);
    for (int k = 1; k <= 16; ++k)
        QCOMPARE(r.view.lamps[k], QColor(128, 128, 128)); // grey, without a desktop's palette
    r.view.port = u"255"_s; // the highest port number there is
    r.ctl.open_comm_click();
    QVERIFY(r.port.is_open() && r.port.log.contains(u"CommPort=255"_s));
    r.ctl.open_comm_click();
    r.port.log.clear();
    r.view.port = u"256"_s; // past it: no port is asked for
    r.ctl.open_comm_click();
    QVERIFY(!r.port.is_open() && r.port.log.isEmpty());
}

QTEST_GUILESS_MAIN(tst_controller)
#include "tst_controller.moc"
