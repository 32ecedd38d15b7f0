#include "link/frame.h"

#include <QTest>

using namespace orvalin;

class tst_frame : public QObject {
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
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
    row("all on addr 1", build_frame(1, set_all_outputs, 255, 255), "5501130000ffff67");
    row("all on addr 255, sum wraps", build_frame(255, set_all_outputs, 255, 255),
        "55ff130000ffff65");
    row("channel 3 off", build_frame(1, switch_off, 0, 3), "550111000000036a");
    row("channel 16 on addr 200", build_frame(200, switch_on, 0, 16), "55c812000000103f");
}

void tst_frame::commands()
{
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, expected);
    QCOMPARE(built, expected);
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
