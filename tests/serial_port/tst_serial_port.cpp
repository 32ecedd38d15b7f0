#include "fake_serial_port.h"
#include "link/qt_serial_port.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace orvalin;

class tst_serial_port : public QObject {
    Q_OBJECT

private slots:
    void open_then_send_discards_always_and_writes_only_when_addressed();
    void collect_takes_only_whole_batches_data();
    void collect_takes_only_whole_batches();
    void device_mapping_data();
    void device_mapping();
    void address_text_data();
    void address_text();
};

void tst_serial_port::open_then_send_discards_always_and_writes_only_when_addressed()
{
    fake_serial_port failing; // a failed open arms nothing
    failing.open_fails = true;
    QVERIFY(!open_port(failing, 0));
    QCOMPARE(failing.log, (QStringList { "CommPort=0", "PortOpen=true" }));

    fake_serial_port port;
    frame tx_buf {};
    QVERIFY(send_frame(port, tx_buf, u"1", status_poll, 0, 0)); // closed: nothing sent
    QVERIFY(open_port(port, 3));
    QCOMPARE(port.log, (QStringList { "CommPort=3", "PortOpen=true", "RThreshold=8" }));
    port.waiting = QByteArray::fromHex("22000000"); // the tail of a late reply
    port.log.clear();
    QVERIFY(send_frame(port, tx_buf, u"1", switch_off, 0, 3));
    QCOMPARE(port.log, (QStringList { "InBufferCount=0", "Output=550111000000036a" }));
    QVERIFY(port.waiting.isEmpty());
    // No address: no frame, but stale input goes all the same.
    for (const char16_t *text : { u"-1", u"abc", u"", u"2147483648" }) {
        port.log.clear();
        port.waiting = QByteArray::fromHex("220000000500032a");
        QVERIFY(!send_frame(port, tx_buf, text, set_all_outputs, 255, 255));
        QCOMPARE(port.log, QStringList { "InBufferCount=0" });
    }
}

void tst_serial_port::collect_takes_only_whole_batches_data()
{
    QTest::addColumn<int>("waiting");
    QTest::addColumn<int>("left");
    // An incomplete batch must never reach check_reply.
    QTest::newRow("none") << 0 << 0;
    QTest::newRow("one") << 1 << 1;
    QTest::newRow("seven") << 7 << 7;
    QTest::newRow("eight") << 8 << 0;
    QTest::newRow("twelve leave four") << 12 << 4;
}

void tst_serial_port::collect_takes_only_whole_batches()
{
    QFETCH(int, waiting);
    QFETCH(int, left);
    fake_serial_port port;
    QVERIFY(open_port(port, 1));
    const QByteArray bytes = QByteArray::fromHex("220000000500032a22000000");
    port.waiting = bytes.left(waiting);
    receive_buffer recv_buf {};
    recv_buf.fill(0x55);
    receive_buffer expected = recv_buf;
    if (waiting >= 8)
        std::copy(bytes.begin(), bytes.begin() + 8, expected.begin());
    QCOMPARE(collect_reply(port, recv_buf), waiting >= 8);
    QCOMPARE(recv_buf, expected); // entries 8..99 never written
    QCOMPARE(port.waiting, bytes.mid(8 * (waiting >= 8), left));
}

void tst_serial_port::device_mapping_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("linked"); // the program dir holds COM<number>
    QTest::addColumn<QString>("expected"); // "<dir>" stands for the program dir
    QTest::newRow("link wins") << 1 << true << "<dir>/COM1";
    QTest::newRow("port 0 with link") << 0 << true << "<dir>/COM0";
    QTest::newRow("no link, port 12") << 12 << false << "/dev/ttyS11";
    QTest::newRow("no link, port 0") << 0 << false << "";
}

void tst_serial_port::device_mapping()
{
#ifdef Q_OS_WIN
    QSKIP("COM<n> names the device directly on Windows");
#endif
    QFETCH(int, number);
    QFETCH(bool, linked);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    if (linked)
        QVERIFY(QFile::link("/dev/null", dir.filePath(QStringLiteral("COM%1").arg(number))));
    // Another port's link must not be taken for this one.
    QVERIFY(QFile::link("/dev/null", dir.filePath("COM99")));
    QCOMPARE(device_for_port(number, dir.path()), expected.replace("<dir>", dir.path()));
}

void tst_serial_port::address_text_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected"); // -1: no address, no frame
    // Blanks and a sign allowed, halves to even, then modulo 256; a negative
    // remainder or a non-number gives none.
    const QList<std::pair<const char *, int>> rows { { "0", 0 }, { "255", 255 }, { "  7 ", 7 },
        { "+5", 5 }, { "2.5", 2 }, { "3.5", 4 }, { "-0.5", 0 }, { "1e2", 100 }, { "256", 0 },
        { "300", 44 }, { "2147483647", 255 }, { "-256", 0 }, { "-2147483648", 0 }, { "-1", -1 },
        { "-257", -1 }, { "-1.4", -1 }, { "", -1 }, { "   ", -1 }, { "12abc", -1 }, { "1 2", -1 },
        { "0x10", -1 }, { "1e20", -1 }, { "2147483648", -1 }, { "2147483647.5", -1 },
        { "-2147483649", -1 }, { "nan", -1 },
        { "\xef\xbc\x91", -1 } }; // the last a full-width digit
    for (const auto &[text, expected] : rows)
        QTest::addRow("\"%s\"", text) << QString::fromUtf8(text) << expected;
}

void tst_serial_port::address_text()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    const auto address = address_byte(text);
    QCOMPARE(address ? int(*address) : -1, expected);
}

QTEST_GUILESS_MAIN(tst_serial_port)
#include "tst_serial_port.moc"
