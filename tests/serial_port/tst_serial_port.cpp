#include "fake_serial_port.h"
#include "link/port_device.h"
#include "link/qt_serial_port.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace orvalin;

class tst_serial_port : public QObject {
    Q_OBJECT

private slots:
    void open_then_send_discards_always_and_writes_only_when_addressed();
    void device_mapping_data();
    void device_mapping();
    void port_text_data();
    void port_text();
    void wrong_entry_is_named_and_never_hangs_data();
    void wrong_entry_is_named_and_never_hangs();
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
    QTest::addColumn<QString>("entries"); // "p": COM<number> in the program folder, "d": in data
    QTest::addColumn<QString>("expected"); // <program>, <data>: the two folders
    // clang-format off
    QTest::newRow("program entry") << 1 << "p" << "<program>/COM1";
    QTest::newRow("program entry wins") << 1 << "pd" << "<program>/COM1";
    QTest::newRow("data entry") << 4 << "d" << "<data>/COM4";
    QTest::newRow("dangling data entry") << 4 << "d-" << "<data>/COM4";
    QTest::newRow("port 0 with entry") << 0 << "p" << "<program>/COM0";
    QTest::newRow("no entry, port 12") << 12 << "" << "/dev/ttyS11";
    QTest::newRow("no entry, port 0") << 0 << "" << "";
    // clang-format on
}

void tst_serial_port::device_mapping()
{
#ifdef Q_OS_WIN
    QSKIP("COM<n> names the device directly on Windows");
#endif
    QFETCH(int, number);
    QFETCH(QString, entries);
    QFETCH(QString, expected);
    QTemporaryDir program, data;
    const QString name = QStringLiteral("COM%1").arg(number);
    const QString target = entries.contains(u'-') ? data.filePath("gone") : "/dev/null";
    if (entries.contains(u'p'))
        QVERIFY(QFile::link(target, program.filePath(name)));
    if (entries.contains(u'd'))
        QVERIFY(QFile::link(target, data.filePath(name)));
    // Another port's entry must not be taken for this one.
    QVERIFY(QFile::link("/dev/null", program.filePath("COM99")));
    QVERIFY(QFile::link("/dev/null", data.filePath("COM98")));
    expected.replace("<program>", program.path()).replace("<data>", data.path());
    QCOMPARE(device_for_port(number, port_folders { program.path(), data.path() }), expected);
    QCOMPARE(device_for(QString::number(number), port_folders { program.path(), data.path() }),
        expected);
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
    const QString device = device_for(port, port_folders { program.path() }, base.path());
    QCOMPARE(device, expected);
    if (device.startsWith(u'/') && !device.startsWith("/dev/"))
        QVERIFY2(QFileInfo(device).exists(), qPrintable(device));
}

void tst_serial_port::wrong_entry_is_named_and_never_hangs_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("problem"); // port_problem
    QTest::addColumn<QString>("reason"); // part of the system text
    // clang-format off
    QTest::newRow("dangling link") << "dangling" << int(port_problem::missing) << "/gone, which does not exist";
    QTest::newRow("link loop") << "loop" << int(port_problem::not_serial) << "loop of symbolic links";
    QTest::newRow("fifo") << "fifo" << int(port_problem::not_serial) << "a FIFO";
    QTest::newRow("link to a fifo") << "fifo link" << int(port_problem::not_serial) << "a FIFO";
    QTest::newRow("regular file") << "file" << int(port_problem::not_serial) << "a regular file";
    QTest::newRow("folder") << "folder" << int(port_problem::not_serial) << "a folder";
    QTest::newRow("character device") << "null" << int(port_problem::none) << "";
    // clang-format on
}

// A broken COM<n> entry is reported as what it is, at once: a FIFO opened
// for reading would otherwise wait for a writer.
void tst_serial_port::wrong_entry_is_named_and_never_hangs()
{
#ifndef Q_OS_UNIX
    QSKIP("entries are links and FIFOs on Unix only");
#else
    QFETCH(QString, kind);
    QFETCH(int, problem);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString entry = dir.filePath("COM5");
    if (kind == "dangling") {
        QVERIFY(QFile::link(dir.filePath("gone"), entry));
    } else if (kind == "loop") {
        QVERIFY(QFile::link(dir.filePath("COM6"), entry));
        QVERIFY(QFile::link(entry, dir.filePath("COM6")));
    } else if (kind.startsWith("fifo")) {
        const QString fifo = kind == "fifo" ? entry : dir.filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        if (fifo != entry)
            QVERIFY(QFile::link(fifo, entry));
    } else if (kind == "file") {
        QFile file(entry);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (kind == "folder") {
        QVERIFY(QDir(dir.path()).mkdir("COM5"));
    } else {
        QVERIFY(QFile::link("/dev/null", entry));
    }
    QCOMPARE(device_for_port(5, port_folders { dir.path() }), entry);
    const port_failure checked = check_device(entry);
    QCOMPARE(int(checked.problem), problem);
    QVERIFY2(checked.system_text.contains(reason), qPrintable(checked.system_text));
    if (problem == int(port_problem::none))
        return;
    // The panel and orvalinctl open through open_line: the same answer.
    QSerialPort port;
    const port_failure opened = open_line(port, entry);
    QCOMPARE(int(opened.problem), problem);
    QVERIFY2(opened.system_text.contains(reason), qPrintable(opened.system_text));
    QVERIFY(!port.isOpen());
#endif
}

QTEST_GUILESS_MAIN(tst_serial_port)
#include "tst_serial_port.moc"
