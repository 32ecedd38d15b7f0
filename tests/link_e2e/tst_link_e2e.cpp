#include "link/line_port.h"
#include "link/module_link.h"
#include "link/qt_serial_port.h"
#include "sim_process.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace orvalin;

namespace {

// The emulator behind "COM1" and the port the panel would open on it.
struct link_fixture {
    QTemporaryDir dir;
    sim_process sim;
    qt_serial_port port { port_folders { dir.path() } };
    QSignalSpy events { &port, &serial_port::on_comm };
    QSignalSpy lost { &port, &serial_port::port_lost };
    frame tx_buf {};
    receive_buffer recv_buf {};

    bool poll() { return send_frame(port, tx_buf, u"1", status_poll, 0, 0); }
};

} // namespace

#define START_LINK(fixture, ...)                                                                   \
    QVERIFY2(fixture.sim.start(fixture.dir.path(), __VA_ARGS__), qPrintable(fixture.sim.error())); \
    QVERIFY2(open_port(fixture.port, 1), qPrintable(fixture.port.error_string()))

class tst_link_e2e : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!sim_process::available())
            QSKIP("the module emulator needs pseudo-terminals");
        // An address the module cannot have is a usage error of the emulator.
        const QTemporaryDir dir;
        QProcess refused;
        refused.start(QStringLiteral(ORVALIN_SIM_PATH),
            { "--link", dir.filePath("COM1"), "--address", "1,256" });
        QVERIFY(refused.waitForFinished(5000));
        QCOMPARE(refused.exitCode(), 2);
    }
    void split_reply_is_one_batch();
    void failed_open_reports_reason_data();
    void failed_open_reports_reason();
    void two_names_for_one_device_are_one_port();
    void a_reply_at_line_speed_wakes_the_link_once();
    void an_emulator_ending_leaves_a_link_taken_over();
};

void tst_link_e2e::split_reply_is_one_batch()
{
    link_fixture f;
    START_LINK(f, { "--split", "400" });
    QVERIFY(f.poll());
    QTRY_COMPARE(f.port.in_buffer_count(), 4);
    QCOMPARE(f.events.count(), 0);
    QTRY_COMPARE(f.events.count(), 1);
    QVERIFY(collect_reply(f.port, f.recv_buf));
    QVERIFY(check_reply(f.recv_buf));
    QTest::qWait(300);
    QCOMPARE(f.events.count(), 1);
}

void tst_link_e2e::failed_open_reports_reason_data()
{
    QTest::addColumn<QString>("entry"); // what COM1 in the program dir is
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("problem");
    QTest::newRow("link to nothing") << "dangling" << 1 << int(port_problem::missing);
    QTest::newRow("no entry, no device for 0") << "" << 0 << int(port_problem::missing);
    QTest::newRow("plain file") << "file" << 1 << int(port_problem::not_serial);
    QTest::newRow("no terminal") << "/dev/null" << 1 << int(port_problem::not_serial);
}

void tst_link_e2e::failed_open_reports_reason()
{
    QFETCH(QString, entry);
    QFETCH(int, number);
    QFETCH(int, problem);
    link_fixture f;
    const QString path = f.dir.filePath("COM1");
    if (entry == "dangling" || entry.startsWith('/'))
        QVERIFY(QFile::link(entry == "dangling" ? f.dir.filePath("gone") : entry, path));
    if (entry == "file")
        QVERIFY(QFile(path).open(QIODevice::WriteOnly));
    QVERIFY(!open_port(f.port, std::int16_t(number)));
    QVERIFY(!f.port.is_open());
    QCOMPARE(int(f.port.problem()), problem);
    QCOMPARE(f.port.device(), entry.isEmpty() ? QString() : path);
    QCOMPARE(f.lost.count(), 0);
}

void tst_link_e2e::two_names_for_one_device_are_one_port()
{
    link_fixture f;
    START_LINK(f, {});
    QVERIFY(QFile::link(f.sim.device(), f.dir.filePath("COM2")));
    // Another name for the device, and the same name (Qt's own lock file):
    // in use either way, also for root.
    qt_serial_port second(port_folders { f.dir.path() });
    for (const std::int16_t number : { 2, 1 }) {
        QVERIFY(!open_port(second, number));
        QCOMPARE(second.problem(), port_problem::busy);
        QVERIFY(!second.error_string().isEmpty());
    }
    QVERIFY(f.poll()); // the first keeps its replies
    QTRY_COMPARE(f.events.count(), 1);
    f.port.close();
    QVERIFY2(open_port(second, 2), qPrintable(second.error_string()));
}

// A second emulator on the same link takes it over; the first, ending, must
// not take the second one's port away.
void tst_link_e2e::an_emulator_ending_leaves_a_link_taken_over()
{
    QTemporaryDir dir;
    sim_process first, second;
    QVERIFY2(first.start(dir.path()), qPrintable(first.error()));
    QVERIFY2(second.start(dir.path()), qPrintable(second.error()));
    QVERIFY(first.device() != second.device());
    QVERIFY(first.stop());
    QCOMPARE(QFileInfo(second.link_path()).symLinkTarget(), second.device());
    QVERIFY(second.stop());
    QVERIFY(!QFileInfo(second.link_path()).isSymLink()); // its own link goes with it
}

QTEST_GUILESS_MAIN(tst_link_e2e)
#include "tst_link_e2e.moc"

void tst_link_e2e::a_reply_at_line_speed_wakes_the_link_once()
{
    // At 9600 baud the reply's bytes come 1 ms apart; the link takes them
    // together instead of one at a time.
    QTemporaryDir dir;
    sim_process sim;
    QVERIFY2(sim.start(dir.path(), { "--baud", "9600" }), qPrintable(sim.error()));
    qt_line_port port;
    QVERIFY(!port.open(sim.link_path()));
    module_link link(port);
    QSignalSpy arrivals(&port, &line_port::ready_read);
    // A plain event loop: QTest's waits sleep between passes, which would
    // gather the bytes by themselves.
    QEventLoop loop;
    int replies = 0;
    connect(&link, &module_link::finished, &loop, [&](const exchange_result &result) {
        replies += result.status ? 1 : 0;
        loop.quit();
    });
    qsizetype arrivals_after_first = 0;
    for (int i = 0; i < 20; ++i) {
        QVERIFY(link.start(build_frame(1, status_poll, 0, 0), std::chrono::milliseconds(500)));
        loop.exec();
        if (i == 0)
            arrivals_after_first = arrivals.count();
    }
    QCOMPARE(replies, 20);
    const qsizetype per_reply_x10 = (arrivals.count() - arrivals_after_first) * 10 / 19;
    // One a byte would be 8.
    QVERIFY2(per_reply_x10 <= 15, qPrintable(QString::number(per_reply_x10 / 10.0)));
}
