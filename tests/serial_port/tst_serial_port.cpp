#include "fake_serial_port.h"
#include "link/qt_serial_port.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace orvalin;

class tst_serial_port : public QObject {
    Q_OBJECT

private slots:
    void open_selects_opens_then_arms();
    void failed_open_arms_nothing();
    void send_discards_before_writing();
    void send_while_closed_writes_nothing();
    void send_without_address_writes_nothing();
    void collect_complete_batch();
    void collect_leaves_short_batch_alone_data();
    void collect_leaves_short_batch_alone();
    void collect_leaves_surplus_waiting();
    void device_mapping_data();
    void device_mapping();
};

void tst_serial_port::open_selects_opens_then_arms()
{
    fake_serial_port port;
    QVERIFY(open_port(port, 3));
    QCOMPARE(port.log, (QStringList { "CommPort=3", "PortOpen=true", "RThreshold=8" }));
    QVERIFY(port.is_open());
}

void tst_serial_port::failed_open_arms_nothing()
{
    fake_serial_port port;
    port.open_fails = true;
    QVERIFY(!open_port(port, 0));
    QCOMPARE(port.log, (QStringList { "CommPort=0", "PortOpen=true" }));
    QVERIFY(!port.is_open());
    QCOMPARE(port.error_string(), port.open_error);
}

void tst_serial_port::send_discards_before_writing()
{
    fake_serial_port port;
    QVERIFY(open_port(port, 1));
    port.waiting = QByteArray::fromHex("22000000"); // the tail of a late reply
    port.log.clear();
    frame tx_buf {};
    QVERIFY(send_frame(port, tx_buf, u"1", switch_off, 0, 3));
    QCOMPARE(port.log, (QStringList { "InBufferCount=0", "Output=550111000000036a" }));
    QVERIFY(port.waiting.isEmpty());
    QCOMPARE(tx_buf, build_frame(1, switch_off, 0, 3));
}

void tst_serial_port::send_while_closed_writes_nothing()
{
    fake_serial_port port;
    frame tx_buf {};
    QVERIFY(send_frame(port, tx_buf, u"300", status_poll, 0, 0));
    QVERIFY(port.log.isEmpty());
    QVERIFY(port.written.isEmpty());
    // The frame is built all the same.
    QCOMPARE(tx_buf, build_frame(0x2c, status_poll, 0, 0));
}

void tst_serial_port::send_without_address_writes_nothing()
{
    fake_serial_port port;
    QVERIFY(open_port(port, 1));
    port.log.clear();
    frame tx_buf = build_frame(1, status_poll, 0, 0);
    const frame before = tx_buf;
    for (const char16_t *text : { u"-1", u"abc", u"", u"2147483648" }) {
        QVERIFY(!send_frame(port, tx_buf, text, set_all_outputs, 255, 255));
        QCOMPARE(tx_buf, before);
    }
    // Not even the discard: nothing happens on the line that tick.
    QVERIFY(port.log.isEmpty());
}

void tst_serial_port::collect_complete_batch()
{
    fake_serial_port port;
    QVERIFY(open_port(port, 1));
    QSignalSpy events(&port, &serial_port::on_comm);
    port.receive(QByteArray::fromHex("220000000500032a"));
    QCOMPARE(events.count(), 1);
    receive_buffer recv_buf {};
    QVERIFY(collect_reply(port, recv_buf));
    const receive_buffer expected { 0x22, 0, 0, 0, 5, 0, 3, 0x2a };
    QCOMPARE(recv_buf, expected); // entries 8..99 untouched, still 0
    QVERIFY(port.waiting.isEmpty());
    QVERIFY(check_reply(recv_buf));
}

void tst_serial_port::collect_leaves_short_batch_alone_data()
{
    QTest::addColumn<int>("waiting");
    QTest::newRow("none") << 0;
    QTest::newRow("one") << 1;
    QTest::newRow("seven") << 7;
}

void tst_serial_port::collect_leaves_short_batch_alone()
{
    // A tick's discard can empty the buffer between the event and its
    // handling; an incomplete batch must not reach check_reply.
    QFETCH(int, waiting);
    fake_serial_port port;
    QVERIFY(open_port(port, 1));
    port.waiting = QByteArray::fromHex("220000000500032a").left(waiting);
    receive_buffer recv_buf {};
    recv_buf.fill(0x55);
    const receive_buffer before = recv_buf;
    QVERIFY(!collect_reply(port, recv_buf));
    QCOMPARE(recv_buf, before);
    QCOMPARE(port.waiting.size(), waiting);
}

void tst_serial_port::collect_leaves_surplus_waiting()
{
    fake_serial_port port;
    QVERIFY(open_port(port, 1));
    port.waiting = QByteArray::fromHex("220000000500032a22000000");
    receive_buffer recv_buf {};
    QVERIFY(collect_reply(port, recv_buf));
    QVERIFY(check_reply(recv_buf));
    QCOMPARE(port.waiting, QByteArray::fromHex("22000000"));
    // Four bytes are no batch; the next send drops them.
    QVERIFY(!collect_reply(port, recv_buf));
    frame tx_buf {};
    QVERIFY(send_frame(port, tx_buf, u"1", status_poll, 0, 0));
    QVERIFY(port.waiting.isEmpty());
}

void tst_serial_port::device_mapping_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("entry"); // what the program dir holds as COM<number>
    QTest::addColumn<QString>("expected"); // "<dir>" stands for the program dir

    const auto row = [](const char *name, int number, const char *entry, const char *expected) {
        QTest::newRow(name) << number << QString(entry) << QString(expected);
    };
    row("link wins", 1, "link", "<dir>/COM1");
    row("stale link still wins", 3, "stale link", "<dir>/COM3");
    row("plain file wins", 2, "file", "<dir>/COM2");
    row("port 0 with link", 0, "link", "<dir>/COM0");
    row("no entry, port 1", 1, "", "/dev/ttyS0");
    row("no entry, port 12", 12, "", "/dev/ttyS11");
    row("no entry, port 0", 0, "", "");
    row("negative", -1, "", "");
}

void tst_serial_port::device_mapping()
{
#ifdef Q_OS_WIN
    QSKIP("COM<n> names the device directly on Windows");
#endif
    QFETCH(int, number);
    QFETCH(QString, entry);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("COM%1").arg(number));
    if (entry == "link")
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), path));
    else if (entry == "stale link")
        QVERIFY(QFile::link(dir.filePath("gone"), path));
    else if (entry == "file") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    // Another port's link must not be taken for this one.
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), dir.filePath("COM99")));
    expected.replace(QStringLiteral("<dir>"), dir.path());
    QCOMPARE(device_for_port(number, dir.path()), expected);
}

QTEST_GUILESS_MAIN(tst_serial_port)
#include "tst_serial_port.moc"
