#include "link/module_link.h"

#include <QTest>

using namespace orvalin;

namespace {

QByteArray reply(std::uint8_t address, std::uint8_t outputs, std::uint8_t inputs)
{
    frame bytes { reply_start, address, status_poll, 0, inputs, 0, outputs, 0 };
    bytes[7] = frame_checksum(bytes);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

} // namespace

class tst_module_link : public QObject {
    Q_OBJECT

private slots:
    void finder_takes_replies_out_of_noise_data();
    void finder_takes_replies_out_of_noise();
};

void tst_module_link::finder_takes_replies_out_of_noise_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<int>>("addresses");
    QTest::addColumn<int>("skipped");
    const QByteArray one = reply(1, 0x05, 0x80);
    const QByteArray two = reply(2, 0xFF, 0x00);
    // A start byte inside noise whose "checksum" fails: dropped one byte at a
    // time until the real reply lines up.
    const QByteArray false_start = QByteArray::fromHex("2201020304");
    QTest::newRow("clean") << QList<QByteArray> { one + two } << QList<int> { 1, 2 } << 0;
    QTest::newRow("noise before and between")
        << QList<QByteArray> { QByteArray::fromHex("0011") + one + QByteArray::fromHex("ff") + two }
        << QList<int> { 1, 2 } << 3;
    QTest::newRow("false start byte")
        << QList<QByteArray> { false_start + one } << QList<int> { 1 } << 5;
    QTest::newRow("split delivery") << QList<QByteArray> { one.left(3), one.mid(3, 4),
        one.right(1) + two.left(7), two.right(1) }
                                    << QList<int> { 1, 2 } << 0;
    QTest::newRow("bad checksum, then a reply")
        << QList<QByteArray> { one.left(7) + char(one[7] + 1) + two } << QList<int> { 2 } << 8;
}

void tst_module_link::finder_takes_replies_out_of_noise()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<int>, addresses);
    QFETCH(int, skipped);
    reply_finder finder;
    QList<int> found;
    for (const QByteArray &chunk : chunks) {
        finder.feed(chunk);
        while (const auto status = finder.next())
            found << status->address;
    }
    QCOMPARE(found, addresses);
    QCOMPARE(finder.skipped(), skipped);
}

QTEST_GUILESS_MAIN(tst_module_link)
#include "tst_module_link.moc"
