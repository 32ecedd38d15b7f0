#include "link/line_port.h"
#include "link/module_link.h"

#include <QTest>

using namespace orvalin;
using namespace std::chrono_literals;

namespace {

// A line whose received bytes the test hands over, chunk by chunk.
class fake_line_port final : public line_port {
public:
    port_failure open(const QString &) override { return open_ = true, port_failure {}; }
    void close() override { open_ = false; }
    bool is_open() const override { return open_; }
    QString device() const override { return QStringLiteral("fake"); }
    void write(const frame &bytes) override { written.append(bytes); }
    QByteArray read_all() override { return std::exchange(incoming_, {}); }
    void hold_input(bool held) override { holding = held; }
    qint64 bytes_waiting() const override { return waiting; }
    void discard_input() override { incoming_.clear(); }
    void receive(const QByteArray &bytes)
    {
        incoming_.append(bytes);
        emit ready_read();
    }

    QList<frame> written;
    bool holding = false;
    qint64 waiting = -1;

private:
    bool open_ = true;
    QByteArray incoming_;
};

QByteArray reply(std::uint8_t address, std::uint8_t outputs)
{
    frame bytes { reply_start, address, status_poll, 0, 0, 0, outputs, 0 };
    bytes[7] = frame_checksum(bytes);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), 8);
}

} // namespace

class tst_module_link : public QObject {
    Q_OBJECT

private slots:
    void finder_takes_replies_out_of_noise();
    void an_exchange_takes_only_its_own_address_data();
    void an_exchange_takes_only_its_own_address();
    void the_hold_learns_the_turnaround();
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
        { { one, two }, { 1, 2 }, 0 }, // each reply in a read of its own
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

// A late reply of another module (or one sharing the line) during an
// exchange is never taken as the addressed module's: its states would show
// under the wrong address and could confirm a switch it never made.
void tst_module_link::an_exchange_takes_only_its_own_address_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks"); // received during the exchange
    QTest::addColumn<int>("outputs"); // of the reply taken; -1 none (timeout)
    const QByteArray one = reply(1, 0x11), two = reply(2, 0x22);
    QTest::newRow("another address only") << QList { one } << -1;
    QTest::newRow("another address, then its own") << QList { one, two } << 0x22;
    QTest::newRow("both in one read") << QList { one + two } << 0x22;
    QTest::newRow("another address after noise, split")
        << QList { QByteArray::fromHex("00") + one.left(5), one.mid(5), two.left(3), two.mid(3) }
        << 0x22;
    QTest::newRow("broadcast address 0") << QList { reply(0, 0x44) } << -1;
}

void tst_module_link::an_exchange_takes_only_its_own_address()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(int, outputs);
    fake_line_port line;
    module_link link(line);
    QList<exchange_result> finished;
    connect(&link, &module_link::finished, this,
        [&](const exchange_result &result) { finished.append(result); });
    QVERIFY(link.start(build_frame(2, status_poll, 0, 0), 200ms));
    for (const QByteArray &chunk : chunks)
        line.receive(chunk);
    if (outputs < 0) {
        QCOMPARE(finished.size(), 0);
        QTRY_COMPARE(finished.size(), 1);
    }
    QCOMPARE(finished.size(), 1);
    const exchange_result &result = finished.front();
    QCOMPARE(result.command[1], 2);
    QCOMPARE(result.status.has_value(), outputs >= 0);
    if (result.status) {
        QCOMPARE(result.status->address, 2);
        QCOMPARE(result.status->outputs, outputs);
    }
    QVERIFY(!link.busy());
}

QTEST_GUILESS_MAIN(tst_module_link)
#include "tst_module_link.moc"

// A reply not yet whole as the hold ends lengthens it; a run of whole ones
// shortens it; a port that cannot say teaches nothing.
void tst_module_link::the_hold_learns_the_turnaround()
{
    fake_line_port port;
    module_link link(port);
    const auto exchange = [&](qint64 waiting) {
        port.waiting = waiting;
        link.start(build_frame(1, status_poll, 0, 0), 500ms);
        QVERIFY(port.holding);
        QTRY_VERIFY_WITH_TIMEOUT(!port.holding, 2000);
        port.receive(reply(1, 0));
        QVERIFY(!link.busy());
    };
    const auto first = link.hold();
    QCOMPARE(first, 16ms);
    for (int i = 0; i < 3; ++i)
        exchange(5);
    QCOMPARE(link.hold(), first + 3ms);
    for (int i = 0; i < 7; ++i)
        exchange(8);
    QCOMPARE(link.hold(), first + 3ms);
    exchange(8);
    QCOMPARE(link.hold(), first + 2ms);
    exchange(-1);
    QCOMPARE(link.hold(), first + 2ms);
    // The run of whole replies starts again after each shortening.
    for (int i = 0; i < 7; ++i)
        exchange(8);
    QCOMPARE(link.hold(), first + 2ms);
    // Never shorter than the line's own time for the exchange.
    for (int i = 0; i < 3 * 8; ++i)
        exchange(8);
    QCOMPARE(link.hold(), first);

    // Hurried, a hold ends with the line's own time, and teaches nothing.
    for (int i = 0; i < 4; ++i)
        exchange(5);
    QCOMPARE(link.hold(), first + 4ms);
    port.waiting = 5;
    link.start(build_frame(1, status_poll, 0, 0), 500ms);
    link.hurry();
    QVERIFY(port.holding); // no reply can be whole yet
    QTRY_VERIFY_WITH_TIMEOUT(!port.holding, 2000);
    port.receive(reply(1, 0));
    QCOMPARE(link.hold(), first + 4ms);
    link.start(build_frame(1, status_poll, 0, 0), 500ms);
    QTest::qSleep(int(first.count()) + 1);
    link.hurry();
    QVERIFY(!port.holding); // past the line's time: at once
    port.receive(reply(1, 0));
    QCOMPARE(link.hold(), first + 4ms);
}
