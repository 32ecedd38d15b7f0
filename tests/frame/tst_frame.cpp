#include "link/frame.h"

#include <QTest>

using namespace orvalin;

class tst_frame : public QObject
{
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
};

void tst_frame::commands_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("data1");
    QTest::addColumn<int>("data2");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("poll addr 1") << 1 << 0x10 << 0 << 0 << QByteArray::fromHex("5501100000000066");
}

void tst_frame::commands()
{
    QFETCH(int, address);
    QFETCH(int, code);
    QFETCH(int, data1);
    QFETCH(int, data2);
    QFETCH(QByteArray, expected);
    const frame bytes = build_frame(address, code, data1, data2);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(bytes.data()), 8), expected);
}

QTEST_GUILESS_MAIN(tst_frame)
#include "tst_frame.moc"
