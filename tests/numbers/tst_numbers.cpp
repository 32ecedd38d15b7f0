// The one number parser every front end reads numbers with.

#include "system/numbers.h"

#include <QTest>

using namespace std::chrono_literals;
using namespace orvalin;

class tst_numbers : public QObject {
    Q_OBJECT

private slots:
    void whole_numbers_data();
    void whole_numbers();
    void durations_data();
    void durations();
};

void tst_numbers::whole_numbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("min");
    QTest::addColumn<int>("max");
    QTest::addColumn<int>("expected"); // -1: no number
    const auto row = [](const char *name, const QString &text, int min, int max, int expected) {
        QTest::newRow(name) << text << min << max << expected;
    };
    // clang-format off
    row("plain", "7", 0, 255, 7);
    row("zero", "0", 0, 255, 0);
    row("lowest", "1", 1, 8, 1);
    row("highest", "255", 0, 255, 255);
    row("leading zeros", "007", 0, 255, 7);
    row("many leading zeros", QString(40, u'0') + "5", 0, 255, 5);
    row("blanks around", " \t5\n", 0, 255, 5);
    row("every blank around", "\r\v\f5\v\r", 0, 255, 5);
    row("int max", "2147483647", 0, 2147483647, 2147483647);
    row("below min", "0", 1, 8, -1);
    row("above max", "256", 0, 255, -1);
    row("past int", "2147483648", 0, 2147483647, -1);
    row("far past int", "99999999999999999999", 0, 2147483647, -1);
    row("empty", "", 0, 255, -1);
    row("blanks only", "  ", 0, 255, -1);
    row("plus", "+5", 0, 255, -1);
    row("minus", "-5", 0, 255, -1);
    row("minus zero", "-0", 0, 255, -1);
    row("blank inside", "1 2", 0, 255, -1);
    row("fullwidth digit", QString::fromUtf16(u"\uff15"), 0, 255, -1);
    row("arabic-indic digit", QString::fromUtf16(u"\u0665"), 0, 255, -1);
    row("no-break space around", QString::fromUtf16(u"\u00a05"), 0, 255, -1);
    row("hex", "0x10", 0, 255, -1);
    row("fraction", "5.0", 0, 255, -1);
    row("exponent", "1e2", 0, 255, -1);
    row("group separator", "1,000", 0, 65535, -1);
    row("unit", "5ms", 0, 255, -1);
    // clang-format on
}

void tst_numbers::whole_numbers()
{
    QFETCH(QString, text);
    QFETCH(int, min);
    QFETCH(int, max);
    QFETCH(int, expected);
    const auto value = parse_whole(text, min, max);
    QCOMPARE(value.value_or(-1), expected);
    if (min == 0 && max == 255)
        QCOMPARE(parse_address(text).has_value(), expected >= 0);
}

void tst_numbers::durations_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("expected"); // ms; -1: no duration
    const auto row = [](const char *name, const QString &text, qint64 expected) {
        QTest::newRow(name) << text << expected;
    };
    // Bounds of these rows: 1 ms to a day.
    // clang-format off
    row("milliseconds", "500ms", 500);
    row("seconds", "2s", 2000);
    row("fraction of seconds", "1.5s", 1500);
    row("minutes", "1m", 60000);
    row("bare is seconds", "3", 3000);
    row("bare fraction", "0.25", 250);
    row("leading zeros", "05s", 5000);
    row("blanks around", " 2s\n", 2000);
    row("rounded to ms", "0.0006s", 1);
    row("a day", "1440m", 86400000);
    row("past a day", "86400.001s", -1);
    row("below 1 ms", "0.4ms", -1);
    row("zero", "0s", -1);
    row("huge", QString(400, u'9') + "s", -1);
    row("empty", "", -1);
    row("unit only", "ms", -1);
    row("blank before unit", "2 s", -1);
    row("unknown unit", "2h", -1);
    row("upper case unit", "2S", -1);
    row("sign", "+2s", -1);
    row("negative", "-2s", -1);
    row("point without fraction", "2.s", -1);
    row("fraction without whole", ".5s", -1);
    row("two points", "1.2.3s", -1);
    row("comma", "1,5s", -1);
    row("exponent", "1e3ms", -1);
    row("fullwidth digit", QString::fromUtf16(u"\uff12s"), -1);
    row("word", "soon", -1);
    // clang-format on
}

void tst_numbers::durations()
{
    QFETCH(QString, text);
    QFETCH(qint64, expected);
    const auto value = parse_duration(text, 1ms, 24h);
    QCOMPARE(value ? value->count() : -1, expected);
}

QTEST_GUILESS_MAIN(tst_numbers)
#include "tst_numbers.moc"
