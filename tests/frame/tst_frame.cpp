#include "link/frame.h"

#include <QTest>

using namespace orvalin;

class tst_frame : public QObject {
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void replies_data();
    void replies();
    void address_text_data();
    void address_text();
};

void tst_frame::commands_data()
{
    QTest::addColumn<QByteArray>("built");
    QTest::addColumn<QByteArray>("expected");
    const auto row = [](const char *name, const frame &bytes, const char *hex) {
        QTest::newRow(name) << QByteArray(reinterpret_cast<const char *>(bytes.data()), 8)
                            << QByteArray::fromHex(hex);
    };
    row("poll addr 1", build_frame(1, status_poll, 0, 0), "5501100000000066");
    row("poll addr 0", build_frame(0, status_poll, 0, 0), "5500100000000065");
    row("all on addr 1", build_frame(1, set_all_outputs, 255, 255), "5501130000ffff67");
    row("all on addr 255, sum wraps", build_frame(255, set_all_outputs, 255, 255),
        "55ff130000ffff65");
    row("channel 3 off", build_frame(1, switch_off, 0, 3), "550111000000036a");
    row("channel 3 on", build_frame(1, switch_on, 0, 3), "550112000000036b");
    row("channel 16 on addr 200", build_frame(200, switch_on, 0, 16), "55c812000000103f");
}

void tst_frame::commands()
{
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, expected);
    QCOMPARE(built, expected);
}

void tst_frame::replies_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("inputs"); // byte 4, bit n = input n+1
    QTest::addColumn<int>("outputs"); // byte 6, bit n = output n+1
    const auto row = [](const char *name, const char *hex, bool valid, int in, int out) {
        QTest::newRow(name) << QByteArray::fromHex(hex) << valid << in << out;
    };
    row("inputs 1,3 outputs 1,2", "220000000500032a", true, 0b101, 0b11);
    row("bytes 1,2,3,5 play no part", "220110778177ffa1", true, 0x81, 0xff);
    row("all ones, sum wraps twice", "22ffffffffffff1c", true, 0xff, 0xff);
    row("start byte wrong, sum right", "230000000500032b", false, 0, 0);
    row("checksum off by one", "220000000500032b", false, 0, 0);
    row("own command echoed", "5501100000000066", false, 0, 0);
    row("reply shifted by one byte", "0000000500032a22", false, 0, 0);
}

void tst_frame::replies()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    QFETCH(int, inputs);
    QFETCH(int, outputs);
    receive_buffer recv_buf {};
    for (int k = 0; k < 8; ++k)
        recv_buf[k] = std::uint8_t(bytes.at(k));
    QCOMPARE(check_reply(recv_buf), valid);
    for (int n = 0; valid && n < 8; ++n) {
        QCOMPARE(get_bit(std::uint8_t(recv_buf[4]), n), (inputs >> n) & 1);
        QCOMPARE(get_bit(std::uint8_t(recv_buf[6]), n), (outputs >> n) & 1);
    }
}

void tst_frame::address_text_data()
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

void tst_frame::address_text()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    const auto address = address_byte(text);
    QCOMPARE(address ? int(*address) : -1, expected);
}

QTEST_GUILESS_MAIN(tst_frame)
#include "tst_frame.moc"
