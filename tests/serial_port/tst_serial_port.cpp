#include "fake_serial_port.h"
#include "link/port_device.h"
#include "link/qt_serial_port.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace orvalin;

class tst_serial_port : public QObject {
    Q_OBJECT

private slots:
    void open_then_send_discards_always_and_writes_only_when_addressed();
    void device_mapping_data();
    void device_mapping();
    void port_text_data();
    void port_text();
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

void tst_serial_port::port_text_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("expected"); // <base>: the folder relative paths are taken from
    // clang-format off
    QTest::newRow("absolute") << "/dev/ttyUSB0" << "/dev/ttyUSB0";
    QTest::newRow("dot slash") << "./COM1" << "<base>/./COM1";
    QTest::newRow("through a folder") << "sub/../COM1" << "<base>/sub/../COM1";
    QTest::newRow("name there") << "COM1" << "<base>/COM1";
    QTest::newRow("device name") << "ttyUSB7" << "ttyUSB7";
    QTest::newRow("number") << "12" << "/dev/ttyS11";
    // clang-format on
}

// A relative path is taken from the given folder, not from wherever the
// program was started, and a path through a folder is a path.
void tst_serial_port::port_text()
{
#ifdef Q_OS_WIN
    QSKIP("device names and paths differ on Windows");
#endif
    QFETCH(QString, port);
    QFETCH(QString, expected);
    QTemporaryDir base, program;
    QVERIFY(QDir(base.path()).mkdir("sub"));
    QVERIFY(QFile::link("/dev/null", base.filePath("COM1")));
    expected.replace("<base>", base.path());
    const QString device = device_for(port, program.path(), base.path());
    QCOMPARE(device, expected);
    if (device.startsWith(u'/') && !device.startsWith("/dev/"))
        QVERIFY2(QFileInfo(device).exists(), qPrintable(device));
}

QTEST_GUILESS_MAIN(tst_serial_port)
#include "tst_serial_port.moc"
