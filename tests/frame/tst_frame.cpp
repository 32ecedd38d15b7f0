#include "link/frame.h"

#include <QTest>

using namespace orvalin;

namespace {

QByteArray as_bytes(const frame &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

receive_buffer as_receive_buffer(const QByteArray &bytes)
{
    receive_buffer recv_buf {};
    for (int k = 0; k < 8; ++k)
        recv_buf[k] = static_cast<std::uint8_t>(bytes.at(k));
    return recv_buf;
}

} // namespace

class tst_frame : public QObject {
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void replies_data();
    void replies();
    void address_text_data();
    void address_text();
    void bits_data();
    void bits();
};

void tst_frame::commands_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("data1");
    QTest::addColumn<int>("data2");
    QTest::addColumn<QByteArray>("expected");

    const auto row
        = [](const char *name, int address, int code, int data1, int data2, const char *hex) {
              QTest::newRow(name) << address << code << data1 << data2 << QByteArray::fromHex(hex);
          };
    row("poll addr 1", 1, status_poll, 0, 0, "5501100000000066");
    row("poll addr 0", 0, status_poll, 0, 0, "5500100000000065");
    row("poll addr 44 (text 300)", 44, status_poll, 0, 0, "552c100000000091");
    row("all on addr 1", 1, set_all_outputs, 255, 255, "5501130000ffff67");
    row("all off addr 1", 1, set_all_outputs, 0, 0, "5501130000000069");
    row("all on addr 255, sum wraps", 255, set_all_outputs, 255, 255, "55ff130000ffff65");
    row("channel 3 off", 1, switch_off, 0, 3, "550111000000036a");
    row("channel 3 on", 1, switch_on, 0, 3, "550112000000036b");
    row("channel 16 on addr 200", 200, switch_on, 0, 16, "55c812000000103f");
}

void tst_frame::commands()
{
    QFETCH(int, address);
    QFETCH(int, code);
    QFETCH(int, data1);
    QFETCH(int, data2);
    QFETCH(QByteArray, expected);
    const frame bytes = build_frame(address, code, data1, data2);
    QCOMPARE(as_bytes(bytes), expected);
    QCOMPARE(frame_checksum(bytes), bytes[7]);
}

void tst_frame::replies_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("inputs"); // expected bits of byte 4, when valid
    QTest::addColumn<int>("outputs"); // expected bits of byte 6, when valid

    QTest::newRow("inputs 1,3 outputs 1,2")
        << QByteArray::fromHex("220000000500032a") << true << 0b101 << 0b11;
    QTest::newRow("bytes 1 and 2 play no part")
        << QByteArray::fromHex("220110008100ffb3") << true << 0x81 << 0xff;
    QTest::newRow("bytes 3 and 5 play no part")
        << QByteArray::fromHex("2200007700770010") << true << 0 << 0;
    QTest::newRow("all ones, sum wraps twice")
        << QByteArray::fromHex("22ffffffffffff1c") << true << 0xff << 0xff;
    QTest::newRow("start byte wrong, sum right")
        << QByteArray::fromHex("230000000500032b") << false << 0 << 0;
    QTest::newRow("checksum off by one")
        << QByteArray::fromHex("220000000500032b") << false << 0 << 0;
    QTest::newRow("all zero") << QByteArray(8, '\0') << false << 0 << 0;
    QTest::newRow("own command echoed")
        << QByteArray::fromHex("5501100000000066") << false << 0 << 0;
    QTest::newRow("reply shifted by one byte")
        << QByteArray::fromHex("0000000500032a22") << false << 0 << 0;
}

void tst_frame::replies()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    QFETCH(int, inputs);
    QFETCH(int, outputs);
    const receive_buffer recv_buf = as_receive_buffer(bytes);
    QCOMPARE(check_reply(recv_buf), valid);
    if (!valid)
        return;
    for (int n = 0; n < 8; ++n) {
        QCOMPARE(get_bit(std::uint8_t(recv_buf[4]), n), (inputs >> n) & 1);
        QCOMPARE(get_bit(std::uint8_t(recv_buf[6]), n), (outputs >> n) & 1);
    }
}

void tst_frame::address_text_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected"); // -1: no address, no frame

    const auto row = [](const char *name, const char *text, int expected) {
        QTest::newRow(name) << QString::fromUtf8(text) << expected;
    };
    row("0", "0", 0);
    row("1", "1", 1);
    row("255", "255", 255);
    row("blanks around", "  7 ", 7);
    row("tab around", "\t9\t", 9);
    row("plus sign", "+5", 5);
    row("2.5 to even", "2.5", 2);
    row("3.5 to even", "3.5", 4);
    row("0.5 to even", "0.5", 0);
    row("2.51 up", "2.51", 3);
    row("-0.5 to zero", "-0.5", 0);
    row("exponent", "1e2", 100);
    row("256 wraps", "256", 0);
    row("300 wraps", "300", 44);
    row("largest int", "2147483647", 255);
    row("-256", "-256", 0);
    row("-512", "-512", 0);
    row("smallest int", "-2147483648", 0);
    row("-1", "-1", -1);
    row("-255", "-255", -1);
    row("-257", "-257", -1);
    row("-1.4 rounds to -1", "-1.4", -1);
    row("empty", "", -1);
    row("blanks only", "   ", -1);
    row("letters", "abc", -1);
    row("trailing letters", "12abc", -1);
    row("two numbers", "1 2", -1);
    row("hex", "0x10", -1);
    row("just a sign", "-", -1);
    row("just a point", ".", -1);
    row("1e20", "1e20", -1);
    row("2147483648", "2147483648", -1);
    row("half above largest", "2147483647.5", -1);
    row("-2147483649", "-2147483649", -1);
    row("inf", "inf", -1);
    row("nan", "nan", -1);
    row("full-width digit", "\xef\xbc\x91", -1);
}

void tst_frame::address_text()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    const auto address = address_byte(text);
    if (expected < 0)
        QVERIFY2(!address, qPrintable(QString::number(*address)));
    else {
        QVERIFY(address);
        QCOMPARE(int(*address), expected);
    }
}

void tst_frame::bits_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("expected");

    QTest::newRow("0x81 bit 0") << 0x81 << 0 << 1;
    QTest::newRow("0x81 bit 7") << 0x81 << 7 << 1;
    QTest::newRow("0x81 bit 1") << 0x81 << 1 << 0;
    for (int n = 0; n < 8; ++n) {
        QTest::addRow("0 bit %d", n) << 0 << n << 0;
        QTest::addRow("0xff bit %d", n) << 0xff << n << 1;
        QTest::addRow("only bit %d set", n) << (1 << n) << n << 1;
        QTest::addRow("all but bit %d set", n) << (0xff ^ (1 << n)) << n << 0;
    }
}

void tst_frame::bits()
{
    QFETCH(int, value);
    QFETCH(int, n);
    QFETCH(int, expected);
    QCOMPARE(get_bit(std::uint8_t(value), n), expected);
}

QTEST_GUILESS_MAIN(tst_frame)
#include "tst_frame.moc"
