#include "link/line_port.h"
#include "link/module_link.h"
#include "sim_process.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace orvalin;
using namespace std::chrono_literals;

// Several modules on one emulated line, reached through qt_line_port and
// module_link the way orvalinctl and the service reach them.
class tst_module_line : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!sim_process::available())
            QSKIP("the module emulator needs pseudo-terminals");
    }
    void modules_answer_for_their_address_at_line_speed();
};

namespace {

std::optional<exchange_result> run_exchange(
    module_link &link, const frame &command, std::chrono::milliseconds timeout = 200ms)
{
    QSignalSpy finished(&link, &module_link::finished);
    if (!link.start(command, timeout) || !finished.wait(int(timeout.count()) + 1000))
        return std::nullopt;
    return finished.at(0).at(0).value<exchange_result>();
}

} // namespace

void tst_module_line::modules_answer_for_their_address_at_line_speed()
{
    QTemporaryDir dir;
    sim_process sim;
    QVERIFY2(sim.start(dir.path(), { "--address", "1,2,7", "--baud", "9600", "--garbage", "2" }),
        qPrintable(sim.error()));
    QCOMPARE(sim.command("in 5 on @7"), "ok");
    QCOMPARE(sim.command("outputs 81 @2"), "ok");
    QVERIFY(sim.command("in 1 on @3").startsWith("error"));
    QVERIFY(sim.command("drop 0.5 @2").startsWith("error"));

    qt_line_port port;
    QVERIFY(!port.open(sim.link_path()));
    module_link link(port);

    const struct {
        std::uint8_t address;
        std::uint8_t outputs, inputs;
    } expected[] = { { 1, 0x00, 0x00 }, { 2, 0x81, 0x00 }, { 7, 0x00, 0x10 } };
    for (const auto &module : expected) {
        const auto result = run_exchange(link, build_frame(module.address, status_poll, 0, 0));
        QVERIFY(result && result->status);
        QCOMPARE(result->status->address, module.address);
        QCOMPARE(result->status->outputs, module.outputs);
        QCOMPARE(result->status->inputs, module.inputs);
        // 16 bytes at 9600 baud (16.7 ms) and the turnaround, noise included.
        QVERIFY2(result->elapsed >= 18ms && result->elapsed < 200ms,
            qPrintable(QString::number(result->elapsed.count())));
        QCOMPARE(result->bad_bytes, 2);
    }
    const auto switched = run_exchange(link, build_frame(7, switch_on, 0, 3));
    QVERIFY(switched && switched->status);
    QCOMPARE(switched->status->outputs, 0x04);
    QCOMPARE(sim.status()->outputs, 0x00); // the first module is untouched

    const auto absent = run_exchange(link, build_frame(3, status_poll, 0, 0), 100ms);
    QVERIFY(absent && !absent->status);
    QVERIFY(absent->elapsed >= 100ms);
    QVERIFY(sim.status()->ignored >= 1);

    // A reply that comes after its exchange gave up, and after the port was
    // closed, waits in the driver; the next exchange must not take it for its
    // own answer, whoever opens the line next.
    QCOMPARE(sim.command("delay 150"), "ok");
    const auto late = run_exchange(link, build_frame(1, status_poll, 0, 0), 50ms);
    QVERIFY(late && !late->status);
    port.close();
    QTest::qWait(300);
    QCOMPARE(sim.command("silent on"), "ok");
    QVERIFY(!port.open(sim.link_path()));
    const auto stale = run_exchange(link, build_frame(1, status_poll, 0, 0), 100ms);
    QVERIFY(stale);
    QVERIFY2(!stale->status, "a stale reply was taken for an answer");
}

QTEST_GUILESS_MAIN(tst_module_line)
#include "tst_module_line.moc"
