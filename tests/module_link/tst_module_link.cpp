#include "link/module_link.h"

#include <QTest>

using namespace orvalin;

class tst_module_link : public QObject {
    Q_OBJECT

private slots:
    void finder_takes_replies_out_of_noise();
};

// Replies found in a byte stream, whatever noise comes before or between.
void tst_module_link::finder_takes_replies_out_of_noise()
{
    const auto reply = [](std::uint8_t address) {
        frame bytes { reply_start, address, status_poll, 0, 0x80, 0, 0x05, 0 };
        bytes[7] = frame_checksum(bytes);
        return QByteArray(reinterpret_cast<const char *>(bytes.data()), 8);
    };
    const QByteArray one = reply(1), two = reply(2);
    const struct {
        QList<QByteArray> chunks;
        QList<int> addresses;
        int skipped;
    } rows[] = { { { QByteArray::fromHex("0011") + one + QByteArray::fromHex("ff") + two },
                     { 1, 2 }, 3 },
        { { QByteArray::fromHex("2201020304") + one }, { 1 }, 5 }, // a start byte inside noise
        { { one.left(3), one.mid(3) + two.left(7), two.right(1) }, { 1, 2 }, 0 },
        { { one.left(7) + char(one[7] + 1) + two }, { 2 }, 8 },
        { { QByteArray::fromHex("00ff00"), two }, { 2 }, 3 } };
    for (const auto &row : rows) {
        reply_finder finder;
        QList<int> found;
        for (const QByteArray &chunk : row.chunks) {
            finder.feed(chunk);
            while (const auto status = finder.next())
                found << status->address;
        }
        QCOMPARE(found, row.addresses);
        QCOMPARE(finder.skipped(), row.skipped);
    }
}

QTEST_GUILESS_MAIN(tst_module_link)
#include "tst_module_link.moc"
