// The bridge over a fake line and a fake broker: pulses across a link
// loss, floods, availability, on_time limits, renames, the hold a command
// cuts short, and what commands come to.
#include "link/line_port.h"
#include "names/profile.h"
#include "service/bridge.h"
#include "service/payload.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <map>

using namespace orvalin;
using namespace orvalin::service;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(std::optional<set_request>)

namespace {

// Modules that answer every frame for their address, from the event loop, as
// the emulator does.
class fake_line_port final : public line_port {
public:
    port_failure open(const QString &) override { return open_ = true, port_failure {}; }
    void close() override { open_ = false; }
    bool is_open() const override { return open_; }
    QString device() const override { return QStringLiteral("fake"); }
    QByteArray read_all() override { return std::exchange(incoming_, {}); }
    void discard_input() override { incoming_.clear(); }
    void hold_input(bool held) override
    {
        holding = held;
        if (!held)
            held_for = std::chrono::milliseconds(since_write.elapsed());
    }
    qint64 bytes_waiting() const override { return waiting; }
    void write(const frame &bytes) override
    {
        written.append(bytes);
        since_write.start();
        if (!outputs.count(bytes[1]))
            return;
        auto &state = outputs[bytes[1]];
        const std::uint8_t before = state;
        if (bytes[2] == switch_on || bytes[2] == switch_off) {
            const auto bit = std::uint8_t(1u << (bytes[6] - 1));
            state = bytes[2] == switch_on ? state | bit : state & ~bit;
        } else if (bytes[2] == set_all_outputs) {
            state = bytes[5];
        }
        state = std::uint8_t((state & ~stuck) | (before & stuck));
        if (on_write)
            on_write(bytes);
        if (mute)
            return;
        frame reply { reply_start, bytes[1], bytes[2], 0, 0, 0, state, 0 };
        reply[7] = frame_checksum(reply);
        if (reply_delay > 0ms) {
            QTimer::singleShot(reply_delay, Qt::PreciseTimer, this, [this, reply] {
                incoming_.append(reinterpret_cast<const char *>(reply.data()), 8);
                emit ready_read();
            });
            return;
        }
        incoming_.append(reinterpret_cast<const char *>(reply.data()), 8);
        QMetaObject::invokeMethod(this, &line_port::ready_read, Qt::QueuedConnection);
    }

    QList<frame> written;
    std::map<std::uint8_t, std::uint8_t> outputs; // the modules present
    bool mute = false; // switches without replying
    std::uint8_t stuck = 0; // outputs whose relay never moves
    std::chrono::milliseconds reply_delay { 0 };
    std::function<void(const frame &)> on_write;
    bool holding = false;
    qint64 waiting = -1; // bytes waiting as a hold ends; -1: not known
    QElapsedTimer since_write;
    std::chrono::milliseconds held_for { 0 }; // the last hold, from the write

private:
    bool open_ = true;
    QByteArray incoming_;
};

class fake_broker : public broker {
public:
    void publish(const QString &topic, const QByteArray &payload, bool) override
    {
        published.append({ topic, payload });
    }
    void subscribe(const QString &) override { }
    void unsubscribe(const QString &) override { }
    bool is_connected() const override { return true; }
    void receive(const QString &topic, const QByteArray &payload, bool retained = false)
    {
        emit message(topic, payload, retained);
    }

    QList<std::pair<QString, QByteArray>> published;
};

// The switching frames written, as "on 7/1", "off 7/2", "all 1=0".
QStringList commands(const fake_line_port &line)
{
    QStringList list;
    for (const frame &f : line.written) {
        if (f[2] == switch_on || f[2] == switch_off)
            list.append(QStringLiteral("%1 %2/%3")
                            .arg(f[2] == switch_on ? "on" : "off")
                            .arg(f[1])
                            .arg(f[6]));
        else if (f[2] == set_all_outputs)
            list.append(QStringLiteral("all %1=%2").arg(f[1]).arg(f[5]));
    }
    return list;
}

// Every line logged, for the tests that count them.
struct log_lines {
    QStringList lines;
    bridge::log_function function()
    {
        return [this](const QString &line) { lines.append(line); };
    }
};

// A bridge started on `modules_and_safety` (interval 20 ms) over a fake line
// where the modules of `outputs` answer, and a fake broker.
struct running_bridge {
    running_bridge(const char *modules_and_safety, std::map<std::uint8_t, std::uint8_t> outputs)
        : config(*parse_config(
            QByteArray("[line]\nport = x\ninterval = 20\n") + modules_and_safety, "t.conf")
                      .config)
    {
        line.outputs = std::move(outputs);
        service.start();
    }
    bool online(int address)
    {
        return mqtt.published.contains(
            { QStringLiteral("orvalin/%1/available").arg(address), "online" });
    }
    service_config config;
    fake_line_port line;
    fake_broker mqtt;
    log_lines log;
    bridge service { config, "x", line, mqtt, log.function() };
};

} // namespace

class tst_service : public QObject {
    Q_OBJECT

private slots:
    void a_pulse_ends_even_across_a_link_loss();
    void a_flood_of_commands_sends_the_latest_and_keeps_polling();
    void floods_of_births_and_bad_messages_stay_small();
    void availability_waits_for_the_first_poll();
    void an_on_time_limit_ends_every_on();
    void a_rename_republishes_discovery_once();
    void a_command_cuts_a_long_hold_short();
    void command_outcomes_data();
    void command_outcomes();
};

void tst_service::a_pulse_ends_even_across_a_link_loss()
{
    running_bridge b("modules = 1\n[safety]\nlink_loss_after = 2\n", { { 1, 0x00 } });
    auto &[config, line, mqtt, log, service] = b;
    QTRY_VERIFY(b.online(1));
    mqtt.receive("orvalin/1/output/4/set", R"({"state":"ON","on_time":0.1})");
    QTRY_VERIFY(mqtt.published.contains({ "orvalin/1/output/4", "ON" }));
    line.outputs.clear(); // the module stops answering, its output stays on
    const auto mark = mqtt.published.size();
    QTRY_VERIFY(mqtt.published.indexOf({ "orvalin/1/available", "offline" }, mark) >= 0);
    mqtt.receive("orvalin/1/output/5/set", "ON"); // dropped, never sent later
    // Dropped too, so they cancel nothing: the pulse still ends.
    mqtt.receive("orvalin/1/output/4/set", "OFF");
    mqtt.receive("orvalin/1/output/4/set", "ON");
    QTest::qWait(150);
    line.outputs = { { 1, 0x08 } };
    QTRY_VERIFY(mqtt.published.indexOf({ "orvalin/1/output/4", "OFF" }, mark) >= 0);
    // The off may have gone out unanswered before the loss counted.
    QStringList sent = commands(line);
    sent.removeDuplicates();
    QCOMPARE(sent, (QStringList { "on 1/4", "off 1/4" }));
    QCOMPARE(line.outputs[1], std::uint8_t(0));

    // An on_time ON that went out unanswered: its off goes when it answers.
    line.mute = true;
    const auto mark2 = mqtt.published.size();
    mqtt.receive("orvalin/1/output/6/set", R"({"state":"ON","on_time":60})");
    QTRY_VERIFY(mqtt.published.indexOf({ "orvalin/1/available", "offline" }, mark2) >= 0);
    QCOMPARE(line.outputs[1], std::uint8_t(0x20));
    line.mute = false;
    QTRY_COMPARE(line.outputs[1], std::uint8_t(0));

    // A command to all outputs ends a pulse: its off must not undo a later ON.
    mqtt.receive("orvalin/1/output/2/set", R"({"state":"ON","on_time":0.1})");
    mqtt.receive("orvalin/1/output/all/set", "OFF");
    mqtt.receive("orvalin/1/output/all/set", "ON");
    QTest::qWait(250);
    QCOMPARE(line.outputs[1], std::uint8_t(0xFF));
    mqtt.receive("orvalin/1/output/all/set", "OFF");
    QTRY_COMPARE(line.outputs[1], std::uint8_t(0));

    // Stopping sends the off of a pulse in progress, then says offline.
    const auto mark3 = mqtt.published.size();
    mqtt.receive("orvalin/1/output/8/set", R"({"state":"ON","on_time":60})");
    QTRY_VERIFY(mqtt.published.indexOf({ "orvalin/1/output/8", "ON" }, mark3) >= 0);
    bool stopped = false;
    service.stop([&] { stopped = true; });
    QTRY_VERIFY(stopped);
    QCOMPARE(line.outputs[1], std::uint8_t(0));
    // Nothing says online after the offline of stopping.
    mqtt.receive("homeassistant/status", "online");
    emit mqtt.connection_changed(true);
    QCOMPARE(
        mqtt.published.last(), (std::pair<QString, QByteArray> { "orvalin/status", "offline" }));
}

void tst_service::a_flood_of_commands_sends_the_latest_and_keeps_polling()
{
    running_bridge b("modules = 1, 2, 7\n", { { 1, 0x00 }, { 2, 0x00 }, { 7, 0x00 } });
    auto &[config, line, mqtt, log, service] = b;
    QTRY_VERIFY(b.online(7));

    // A burst while one exchange is on the line: only the latest goes.
    const qsizetype before = line.written.size();
    for (int i = 0; i < 2001; ++i)
        mqtt.receive("orvalin/1/output/3/set", i % 2 ? "OFF" : "ON");
    QTRY_COMPARE(line.outputs[1], std::uint8_t(0x04));
    QTest::qWait(100);
    QCOMPARE(line.outputs[1], std::uint8_t(0x04));
    QVERIFY2(commands(line).size() <= 2, qPrintable(commands(line).join(u',').left(300)));

    // A steady flood to module 1, each command asked while one goes out:
    // the polls of every module go on.
    line.reply_delay = 5ms;
    int asked = 0;
    const auto ask = [&] {
        ++asked;
        mqtt.receive(QStringLiteral("orvalin/1/output/%1/set").arg(asked % 8 + 1),
            asked % 3 ? "TOGGLE" : "ON");
    };
    for (int i = 0; i < 8; ++i)
        ask();
    line.on_write = [&](const frame &bytes) {
        if (bytes[2] != status_poll && asked < 300)
            QTimer::singleShot(0, &service, ask);
    };
    QTRY_VERIFY_WITH_TIMEOUT(asked >= 300, 15000);
    line.on_write = nullptr;
    std::map<int, int> polls;
    int commands_in_a_row = 0, most_in_a_row = 0;
    for (qsizetype i = before; i < line.written.size(); ++i) {
        const frame &f = line.written[i];
        if (f[2] == status_poll) {
            ++polls[f[1]];
            commands_in_a_row = 0;
        } else {
            most_in_a_row = std::max(most_in_a_row, ++commands_in_a_row);
        }
    }
    for (const int address : { 1, 2, 7 })
        QVERIFY2(polls[address] >= 5, qPrintable(QString::number(polls[address])));
    // Each exchange takes at least 5 ms, a poll falls due every 20 ms.
    QVERIFY2(most_in_a_row <= 6, qPrintable(QString::number(most_in_a_row)));
}

void tst_service::floods_of_births_and_bad_messages_stay_small()
{
    running_bridge b(
        "modules = 1, 7\n[safety]\ninterlock = 7/1+7/2\n", { { 1, 0x00 }, { 7, 0x00 } });
    auto &[config, line, mqtt, log, service] = b;
    QTRY_VERIFY(b.online(7));
    const auto configs_since = [&](qsizetype mark) {
        qsizetype count = 0;
        for (qsizetype i = mark; i < mqtt.published.size(); ++i)
            count += mqtt.published[i].first.endsWith(u"/config") ? 1 : 0;
        return count;
    };

    // Births while one republish is pending make no other.
    const qsizetype mark = mqtt.published.size();
    const qsizetype logged = log.lines.size();
    for (int i = 0; i < 2000; ++i)
        mqtt.receive("homeassistant/status", "online");
    QTRY_COMPARE(configs_since(mark), 1 + 2 * (16 + 4));
    QTest::qWait(300);
    QCOMPARE(configs_since(mark), 1 + 2 * (16 + 4));
    // A birth after it is served again, not at once.
    mqtt.receive("homeassistant/status", "online");
    QTRY_COMPARE_WITH_TIMEOUT(configs_since(mark), 2 * (1 + 2 * (16 + 4)), 10000);

    // Ignored messages: a few lines, each of them short.
    const QString long_topic = QStringLiteral("orvalin/") + QString(60000, u'x');
    for (int i = 0; i < 2000; ++i) {
        mqtt.receive("orvalin/1/output/3/set", "ONN");
        mqtt.receive("orvalin/9/output/3/set", "ON");
        mqtt.receive("orvalin/1/output/3/set", "ON", true);
        mqtt.receive("orvalin/7/output/all/set", "ON");
        mqtt.receive(long_topic, "ON");
    }
    QVERIFY2(log.lines.size() - logged <= 8, qPrintable(log.lines.mid(logged).join(u'\n')));
    // Malformed, retained, for no module or against the interlock: never sent.
    QCOMPARE(commands(line), QStringList());
    for (const QString &line_text : log.lines)
        QVERIFY2(line_text.size() < 400, qPrintable(line_text.left(400)));

    // Stopping with a backlog: one line for it.
    line.mute = true;
    for (const int address : { 1, 7 }) {
        for (int k = 1; k <= 8; ++k)
            mqtt.receive(QStringLiteral("orvalin/%1/output/%2/set").arg(address).arg(k), "OFF");
    }
    const qsizetype at_stop = log.lines.size();
    bool stopped = false;
    service.stop([&] { stopped = true; });
    QTRY_VERIFY(stopped);
    const QStringList stop_lines = log.lines.mid(at_stop);
    // The command in flight gets a line of its own.
    const QStringList dropped = stop_lines.filter(QStringLiteral("drop"));
    QVERIFY2(dropped.size() <= 2, qPrintable(stop_lines.join(u'\n')));
    // 16 offs asked; what is not on the line yet is counted in one line.
    QVERIFY2(QRegularExpression(QStringLiteral("stopping: 1[4-6] queued command"))
                 .match(dropped.join(u'\n'))
                 .hasMatch(),
        qPrintable(stop_lines.join(u'\n')));
    // What the flood of ignored messages left untold is counted, not lost.
    QVERIFY2(!stop_lines.filter(QStringLiteral("more not logged")).isEmpty(),
        qPrintable(stop_lines.join(u'\n')));
}

void tst_service::availability_waits_for_the_first_poll()
{
    running_bridge b(
        "modules = 7, 9\n[safety]\nlink_loss_after = 3\n", { { 7, 0x00 } }); // 9 never answers
    auto &[config, line, mqtt, log, service] = b;
    QTRY_VERIFY(mqtt.published.contains({ "orvalin/9/available", "offline" }));
    mqtt.receive("orvalin/9/output/1/set", "ON"); // a module not there: never sent
    QTest::qWait(100);
    QCOMPARE(commands(line), QStringList());
    QMap<QString, QByteArrayList> said;
    for (const auto &[topic, payload] : mqtt.published)
        if (topic.endsWith(u"/available"))
            said[topic].append(payload);
    QCOMPARE(said["orvalin/7/available"], QByteArrayList { "online" });
    QCOMPARE(said["orvalin/9/available"], QByteArrayList { "offline" });
}

void tst_service::an_on_time_limit_ends_every_on()
{
    running_bridge b("modules = 7\n[safety]\non_time = 7/1:0.2\n", { { 7, 0x00 } });
    auto &[config, line, mqtt, log, service] = b;
    QTRY_VERIFY(b.online(7));
    mqtt.receive("orvalin/7/output/1/set", R"({"state":"ON","on_time":60})");
    QTRY_COMPARE(commands(line), QStringList({ "on 7/1", "off 7/1" }));
    // A TOGGLE that switches on is limited too.
    mqtt.receive("orvalin/7/output/1/set", "TOGGLE");
    QTRY_COMPARE(commands(line).size(), 4);
    QCOMPARE(commands(line).mid(2), QStringList({ "on 7/1", "off 7/1" }));
    // all ON would leave it on without a limit.
    mqtt.receive("orvalin/7/output/all/set", "ON");
    QTRY_VERIFY(log.lines.join(u'\n').contains("on_time limit"));
    QTest::qWait(100);
    QCOMPARE(commands(line).size(), 4);
}

// A module whose replies come late teaches the link a long hold; a command
// that arrives meanwhile must still go the moment the reply is in, not when
// the learnt hold runs out.
// Home Assistant shows a name given through the API without a restart;
// a burst of renames is one republish.
void tst_service::a_rename_republishes_discovery_once()
{
    QTemporaryDir dir;
    const QString names = dir.filePath("name.txt");
    QVERIFY(write_profile_entries(names, { { "地址码7", "第1路输出名称", "Fan" } }));
    running_bridge b(
        QStringLiteral("modules = 7\n[names]\nfile = %1\n").arg(names).toUtf8().constData(),
        { { 7, 0x00 } });
    const auto configs_naming = [&](const QByteArray &name) {
        return std::count_if(b.mqtt.published.begin(), b.mqtt.published.end(),
            [&](auto &m) { return m.first.endsWith(u"/config") && m.second.contains(name); });
    };
    QTRY_COMPARE(configs_naming("\"Fan\""), 1);
    QVERIFY(write_profile(names, "地址码7", "第1路输出名称", "Pump"));
    b.service.names_changed();
    b.service.names_changed();
    QTRY_COMPARE_WITH_TIMEOUT(configs_naming("\"Pump\""), 1, 3000);
    QTest::qWait(1200);
    QCOMPARE(configs_naming("\"Pump\""), 1);
}

void tst_service::a_command_cuts_a_long_hold_short()
{
    running_bridge b("modules = 7\nreply_timeout = 200\n", { { 7, 0x00 } });
    auto &[config, line, mqtt, log, service] = b;
    line.reply_delay = 60ms;
    line.waiting = 0; // never whole as a hold ends: the hold grows
    QTRY_VERIFY_WITH_TIMEOUT(line.held_for >= 30ms, 5000);
    // 20 ms into an exchange: past the line's own time, before the hold
    // ends. A timer that fires late (a loaded machine) waits for the next.
    bool sent = false, released = false;
    line.on_write = [&](const frame &) {
        QTimer::singleShot(20, Qt::PreciseTimer, &service, [&] {
            const qint64 elapsed = line.since_write.elapsed();
            if (sent || !line.holding || elapsed < 17 || elapsed >= 30)
                return;
            sent = true;
            mqtt.receive("orvalin/7/output/1/set", "ON");
            released = !line.holding;
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(sent, 10000);
    QVERIFY(released);
    QTRY_COMPARE(commands(line), QStringList({ "on 7/1" }));
}

// A caller that waits for a command hears once how it ended: confirmed by a
// reply, or refused, unavailable, unconfirmed or replaced, with the reason.
void tst_service::command_outcomes_data()
{
    QTest::addColumn<QByteArray>("safety");
    QTest::addColumn<int>("stuck"); // outputs whose relay never moves
    QTest::addColumn<bool>("mute"); // the module stops answering first
    QTest::addColumn<QStringList>("commands"); // "output request", sent at once
    QTest::addColumn<QStringList>("outcomes"); // per command, in order
    QTest::newRow("confirmed") << QByteArray() << 0 << false << QStringList { "5 ON" }
                               << QStringList { "confirmed 11" }; // 1 was on before
    QTest::newRow("all off confirmed")
        << QByteArray() << 0 << false << QStringList { "0 OFF" } << QStringList { "confirmed 00" };
    QTest::newRow("never moves") << QByteArray() << 0x02 << false << QStringList { "2 ON" }
                                 << QStringList { "unconfirmed: module 7 does not confirm it" };
    QTest::newRow("a later one takes its place")
        << QByteArray() << 0 << false << QStringList { "3 ON", "4 ON", "4 OFF" }
        << QStringList { "confirmed 05",
               "replaced: a later command for the same output took its place", "confirmed 05" };
    QTest::newRow("two TOGGLEs cancel")
        << QByteArray() << 0 << false << QStringList { "3 ON", "4 TOGGLE", "4 TOGGLE" }
        << QStringList { "confirmed 05",
               "replaced: a later command for the same output took its place",
               "replaced: it cancels a TOGGLE still waiting for the line" };
    QTest::newRow("partner does not go off")
        << QByteArray("[safety]\ninterlock = 7/1+7/2\n") << 0x01 << false << QStringList { "2 ON" }
        << QStringList { "refused: output 7/1 does not go off" };
    QTest::newRow("all ON against an interlock")
        << QByteArray("[safety]\ninterlock = 7/1+7/2\n") << 0 << false << QStringList { "0 ON" }
        << QStringList { "refused at once: module 7 has interlocked outputs" };
    QTest::newRow("no such output")
        << QByteArray() << 0 << false << QStringList { "9 ON" }
        << QStringList { "not_found at once: no such module or output" };
    QTest::newRow("offline") << QByteArray() << 0 << true << QStringList { "1 ON" }
                             << QStringList { "unavailable at once: module 7 is offline" };
}

void tst_service::command_outcomes()
{
    QFETCH(QByteArray, safety);
    QFETCH(int, stuck);
    QFETCH(bool, mute);
    QFETCH(QStringList, commands);
    QFETCH(QStringList, outcomes);
    // Output 1 starts on, so a stuck partner stays on.
    running_bridge b("modules = 7\n" + safety, { { 7, 0x01 } });
    auto &[config, line, mqtt, log, service] = b;
    line.stuck = std::uint8_t(stuck);
    QTRY_VERIFY(b.online(7));
    if (mute) {
        line.mute = true;
        QTRY_VERIFY(mqtt.published.contains({ "orvalin/7/available", "offline" }));
    }
    QStringList heard(commands.size());
    int ended = 0;
    // The queue holds them all before the line takes the first.
    for (qsizetype i = 0; i < commands.size(); ++i) {
        const QStringList words = commands[i].split(u' ');
        const auto what = words[1] == "ON" ? set_request::action::on
            : words[1] == "OFF"            ? set_request::action::off
                                           : set_request::action::toggle;
        const auto refused = service.command(7, words[0].toInt(), { what, std::nullopt },
            QStringLiteral("test"), [&, i](const command_outcome &outcome) {
                static const char *const kinds[]
                    = { "confirmed", "refused", "unavailable", "unconfirmed", "replaced" };
                heard[i] = outcome.what == command_outcome::kind::confirmed
                    ? QStringLiteral("confirmed %1")
                          .arg(outcome.status->outputs, 2, 16, QLatin1Char('0'))
                    : QStringLiteral("%1: %2").arg(kinds[int(outcome.what)], outcome.reason);
                ++ended;
            });
        if (refused) {
            static const char *const kinds[] = { "not_found", "refused", "unavailable", "busy" };
            heard[i]
                = QStringLiteral("%1 at once: %2").arg(kinds[int(refused->what)], refused->reason);
            ++ended;
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(ended, int(commands.size()), 5000);
    QCOMPARE(heard, outcomes);
    QTest::qWait(100);
    QCOMPARE(ended, int(commands.size())); // once each
}

QTEST_GUILESS_MAIN(tst_service)
#include "tst_service.moc"
