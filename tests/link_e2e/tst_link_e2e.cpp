// The device link against the module emulator over a real pseudo-terminal:
// QSerialPort, the port sequences and the reply check together.

#include "link/qt_serial_port.h"
#include "sim_process.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <ctime>

using namespace orvalin;
using namespace std::chrono_literals;

namespace {

// The emulator behind "COM1" in a program directory of its own, and the
// port the panel would use on it.
struct link_fixture {
    QTemporaryDir dir;
    sim_process sim;
    qt_serial_port port { dir.path() };
    QSignalSpy events { &port, &serial_port::on_comm };
    frame tx_buf {};
    receive_buffer recv_buf {};
};

// Long enough for a reply that would come to have come, even on a busy machine.
constexpr auto quiet_period = 300ms;

// Fields of -1 when the emulator does not answer.
sim_process::module_status status_of(sim_process &sim)
{
    return sim.status().value_or(sim_process::module_status {});
}

std::chrono::milliseconds cpu_time()
{
    return std::chrono::milliseconds(std::clock() * 1000 / CLOCKS_PER_SEC);
}

} // namespace

class tst_link_e2e : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void poll_gets_one_valid_reply();
    void module_obeys_commands();
    void other_address_gets_no_reply();
    void split_reply_is_one_batch();
    void surplus_bytes_wait_for_next_send();
    void garbage_never_passes();
    void delay_silence_and_drops();
    void failed_open_reports_reason_data();
    void failed_open_reports_reason();
    void open_after_failed_open();
    void module_gone_closes_port_once_data();
    void module_gone_closes_port_once();
};

#define START_LINK(fixture, ...)                                                                   \
    QVERIFY2(fixture.sim.start(fixture.dir.path(), __VA_ARGS__), qPrintable(fixture.sim.error())); \
    QVERIFY2(open_port(fixture.port, 1), qPrintable(fixture.port.error_string()))

void tst_link_e2e::initTestCase()
{
    if (!sim_process::available())
        QSKIP("the module emulator needs pseudo-terminals");
}

void tst_link_e2e::poll_gets_one_valid_reply()
{
    link_fixture f;
    START_LINK(f, { "--address", "1" });
    QCOMPARE(f.sim.command("outputs 05"), "ok");
    QCOMPARE(f.sim.command("in 8 on"), "ok");

    QVERIFY(send_frame(f.port, f.tx_buf, u"1", status_poll, 0, 0));
    QTRY_COMPARE(f.events.count(), 1);
    QCOMPARE(f.port.comm_event(), comm_event_receive);
    QVERIFY(collect_reply(f.port, f.recv_buf));
    QVERIFY(check_reply(f.recv_buf));
    QCOMPARE(f.recv_buf[4], 0x80);
    QCOMPARE(f.recv_buf[6], 0x05);
    QCOMPARE(f.port.in_buffer_count(), 0);

    QTest::qWait(quiet_period.count());
    QCOMPARE(f.events.count(), 1);
    QCOMPARE(status_of(f.sim).frames, 1);
}

void tst_link_e2e::module_obeys_commands()
{
    struct step {
        std::uint8_t code, data1, data2;
        int outputs; // byte 6 of the reply
    };
    const step steps[] = {
        { switch_on, 0, 3, 0x04 },
        { switch_on, 0, 8, 0x84 },
        { switch_off, 0, 3, 0x80 },
        { switch_on, 0, 9, 0x80 },
        { switch_off, 0, 16, 0x80 },
        { set_all_outputs, 255, 255, 0xff },
        { set_all_outputs, 255, 0, 0xff },
        { switch_off, 0, 1, 0xfe },
        { set_all_outputs, 0, 0, 0x00 },
        { status_poll, 0, 0, 0x00 },
    };
    link_fixture f;
    START_LINK(f, { "--address", "9" });
    for (const step &s : steps) {
        const int before = f.events.count();
        QVERIFY(send_frame(f.port, f.tx_buf, u"9", s.code, s.data1, s.data2));
        QTRY_COMPARE(f.events.count(), before + 1);
        QVERIFY(collect_reply(f.port, f.recv_buf));
        QVERIFY(check_reply(f.recv_buf));
        QCOMPARE(f.recv_buf[1], 9);
        QCOMPARE(f.recv_buf[2], s.code);
        QCOMPARE(f.recv_buf[6], s.outputs);
    }
}

void tst_link_e2e::other_address_gets_no_reply()
{
    link_fixture f;
    START_LINK(f, { "--address", "7" });
    QVERIFY(send_frame(f.port, f.tx_buf, u"1", status_poll, 0, 0));
    // The module did see the frame; it only must not answer it.
    QTRY_COMPARE(status_of(f.sim).ignored, 1);
    QTest::qWait(quiet_period.count());
    QCOMPARE(f.events.count(), 0);
    QCOMPARE(f.port.in_buffer_count(), 0);

    // 263 wraps to 7.
    QVERIFY(send_frame(f.port, f.tx_buf, u"263", status_poll, 0, 0));
    QTRY_COMPARE(f.events.count(), 1);
    QVERIFY(collect_reply(f.port, f.recv_buf));
    QVERIFY(check_reply(f.recv_buf));
    QCOMPARE(f.recv_buf[1], 7);
}

void tst_link_e2e::split_reply_is_one_batch()
{
    link_fixture f;
    START_LINK(f, { "--split", "400" });
    QVERIFY(send_frame(f.port, f.tx_buf, u"1", status_poll, 0, 0));
    QTRY_COMPARE(f.port.in_buffer_count(), 4);
    QCOMPARE(f.events.count(), 0);
    QTRY_COMPARE(f.events.count(), 1);
    QVERIFY(collect_reply(f.port, f.recv_buf));
    QVERIFY(check_reply(f.recv_buf));
    QTest::qWait(quiet_period.count());
    QCOMPARE(f.events.count(), 1);
}

void tst_link_e2e::surplus_bytes_wait_for_next_send()
{
    // Four noise bytes ahead of each reply make 12 waiting bytes.
    link_fixture f;
    START_LINK(f, { "--garbage", "4" });
    QVERIFY(send_frame(f.port, f.tx_buf, u"1", status_poll, 0, 0));
    QTRY_COMPARE(f.port.in_buffer_count(), 12);
    QCOMPARE(f.events.count(), 1);
    QVERIFY(collect_reply(f.port, f.recv_buf));
    QCOMPARE(f.port.in_buffer_count(), 4);
    // The batch holds the noise and the first half of the reply.
    QCOMPARE(f.recv_buf[4], reply_start);
    QCOMPARE(f.recv_buf[5], 1);
    QVERIFY(!check_reply(f.recv_buf));
    // Four bytes are no batch.
    QVERIFY(!collect_reply(f.port, f.recv_buf));
    QCOMPARE(f.port.in_buffer_count(), 4);
    // The next send drops them before anything new can arrive.
    QVERIFY(send_frame(f.port, f.tx_buf, u"1", status_poll, 0, 0));
    QCOMPARE(f.port.in_buffer_count(), 0);
    QTRY_COMPARE(f.port.in_buffer_count(), 12);
}

void tst_link_e2e::garbage_never_passes()
{
    link_fixture f;
    START_LINK(f, {});
    // Every length of noise, so the reply sits at every offset of the batch.
    for (int noise = 1; noise <= 9; ++noise) {
        QCOMPARE(f.sim.command(QStringLiteral("garbage %1").arg(noise)), "ok");
        for (int round = 0; round < 3; ++round) {
            const int before = f.events.count();
            QVERIFY(send_frame(f.port, f.tx_buf, u"1", status_poll, 0, 0));
            QTRY_COMPARE(f.events.count(), before + 1);
            QVERIFY(collect_reply(f.port, f.recv_buf));
            QVERIFY2(!check_reply(f.recv_buf), qPrintable(QStringLiteral("noise %1").arg(noise)));
        }
    }
    QCOMPARE(status_of(f.sim).replies, 27);
}

void tst_link_e2e::delay_silence_and_drops()
{
    // The faults other tests rely on do what they say.
    link_fixture f;
    START_LINK(f, { "--delay", "300", "--verbose" });
    const auto poll = [&f] { return send_frame(f.port, f.tx_buf, u"1", status_poll, 0, 0); };
    QElapsedTimer since_send;
    since_send.start();
    QVERIFY(poll());
    QTRY_COMPARE(f.events.count(), 1);
    QVERIFY(since_send.elapsed() >= 290);
    static const QRegularExpression received(
        QStringLiteral("^rx [0-9.]+ 55 01 10 00 00 00 00 66$"));
    QVERIFY(!f.sim.wait_for_line(received).isEmpty());

    QCOMPARE(f.sim.command("delay 0"), "ok");
    QCOMPARE(f.sim.command("silent on"), "ok");
    QVERIFY(poll());
    QTRY_COMPARE(status_of(f.sim).frames, 2);
    QCOMPARE(f.sim.command("silent off"), "ok");
    QCOMPARE(f.sim.command("drop 1"), "ok");
    QVERIFY(poll());
    QTRY_COMPARE(status_of(f.sim).frames, 3);
    QTest::qWait(quiet_period.count());
    QCOMPARE(f.events.count(), 1);
    QCOMPARE(status_of(f.sim).replies, 1);

    QCOMPARE(f.sim.command("drop 0"), "ok");
    QVERIFY(poll());
    QTRY_COMPARE(f.events.count(), 2);
}

void tst_link_e2e::failed_open_reports_reason_data()
{
    QTest::addColumn<QString>("entry");
    QTest::newRow("link to nothing") << "stale link";
    QTest::newRow("plain file") << "file";
}

void tst_link_e2e::failed_open_reports_reason()
{
    QFETCH(QString, entry);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("COM1");
    if (entry == "stale link")
        QVERIFY(QFile::link(dir.filePath("gone"), path));
    else
        QVERIFY(QFile(path).open(QIODevice::WriteOnly));
    qt_serial_port port(dir.path());
    QSignalSpy lost(&port, &serial_port::port_lost);
    QVERIFY(!open_port(port, 1));
    QVERIFY(!port.is_open());
    QVERIFY(!port.error_string().isEmpty());
    QCOMPARE(port.device(), path);
    QTest::qWait(50);
    QCOMPARE(lost.count(), 0);
}

void tst_link_e2e::open_after_failed_open()
{
    // An emulator killed earlier leaves its link behind: the open fails,
    // a new emulator takes the link over, and the next open works.
    link_fixture f;
    QVERIFY(QFile::link(f.dir.filePath("gone"), f.dir.filePath("COM1")));
    QVERIFY(!open_port(f.port, 1));
    START_LINK(f, {});
    QVERIFY(send_frame(f.port, f.tx_buf, u"1", status_poll, 0, 0));
    QTRY_COMPARE(f.events.count(), 1);
    QVERIFY(collect_reply(f.port, f.recv_buf));
    QVERIFY(check_reply(f.recv_buf));
}

void tst_link_e2e::module_gone_closes_port_once_data()
{
    QTest::addColumn<bool>("killed"); // else told to quit
    QTest::addColumn<bool>("write_first"); // a send finds it gone, before any read
    QTest::newRow("killed") << true << false;
    QTest::newRow("quit") << false << false;
    QTest::newRow("killed, then a send") << true << true;
}

void tst_link_e2e::module_gone_closes_port_once()
{
    QFETCH(bool, killed);
    QFETCH(bool, write_first);
    link_fixture f;
    START_LINK(f, {});
    QSignalSpy lost(&f.port, &serial_port::port_lost);
    QVERIFY(send_frame(f.port, f.tx_buf, u"1", status_poll, 0, 0));
    QTRY_COMPARE(f.events.count(), 1);

    if (killed)
        f.sim.kill();
    else
        QVERIFY(f.sim.stop());
    if (write_first) {
        QVERIFY(send_frame(f.port, f.tx_buf, u"1", status_poll, 0, 0));
        // Never reported from inside the call.
        QCOMPARE(lost.count(), 0);
    }
    QTRY_COMPARE(lost.count(), 1);
    QVERIFY(!f.port.is_open());
    const QString reason = lost.at(0).at(0).toString();
    QVERIFY(!reason.isEmpty());
    // Not some errno left over from an earlier call.
    if (!write_first)
        QVERIFY2(reason.contains(f.sim.link_path()), qPrintable(reason));

    // A closed port is quiet: no second report, no spinning notifier.
    const auto cpu_before = cpu_time();
    QTest::qWait(1000);
    QVERIFY2(cpu_time() - cpu_before < 150ms, "the event loop kept busy after the loss");
    QCOMPARE(lost.count(), 1);
    QVERIFY(send_frame(f.port, f.tx_buf, u"1", status_poll, 0, 0));
    QVERIFY(!f.port.is_open());
}

QTEST_GUILESS_MAIN(tst_link_e2e)
#include "tst_link_e2e.moc"
