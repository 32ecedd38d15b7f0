#include "broker_process.h"
#include "names/profile.h"
#include "service/mosquitto_broker.h"
#include "sim_process.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <stdlib.h>

#include <atomic>
#include <csignal>
#include <thread>
#include <unistd.h>

#ifdef __GLIBC__
#include <dlfcn.h>
#include <netdb.h>
#endif

using namespace std::chrono_literals;

namespace {

// mosquitto_pub sending each of lines as one message, as fast as it can.
void start_flood(QProcess &pub, int port, const QString &topic, const QByteArrayList &lines)
{
    pub.start(QStringLiteral("mosquitto_pub"),
        { "-h", "127.0.0.1", "-p", QString::number(port), "-t", topic, "-l" });
    pub.waitForStarted(5000);
    pub.write(lines.join('\n') + '\n');
    pub.closeWriteChannel();
}

QByteArrayList repeated(const QByteArrayList &cycle, int count)
{
    QByteArrayList lines;
    for (int i = 0; i < count; ++i)
        lines.append(cycle[i % cycle.size()]);
    return lines;
}

} // namespace

// orvalinctl serve as users run it: a real mosquitto, three emulated modules
// on one line at 9600 baud, mosquitto_sub and mosquitto_pub as the clients.
class tst_service_e2e : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void bridges_line_and_broker_through_faults();
    void two_services_with_one_client_id_back_off();
    void host_name_is_looked_up_off_the_loop();
    void floods_starve_neither_the_polls_nor_the_log();
    void a_restart_clears_what_removed_modules_left();

private:
    bool start_service(const QString &config);
    QString write_config(const QString &name, const QString &text);

    QTemporaryDir dir_;
    broker_process broker_;
    sim_process sim_;
    QProcess service_;
};

void tst_service_e2e::initTestCase()
{
    if (!sim_process::available())
        QSKIP("the module emulator needs pseudo-terminals");
    if (broker_process::program().isEmpty())
        QFAIL("mosquitto is not installed (make deps)");
    QVERIFY2(broker_.start(dir_.path()), qPrintable(broker_.error()));
    QVERIFY2(sim_.start(dir_.path(),
                 { "--address", "1,2,7", "--baud", "9600", "--verbose", "--monotonic" }),
        qPrintable(sim_.error()));
}

QString tst_service_e2e::write_config(const QString &name, const QString &text)
{
    const QString path = dir_.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(text.toUtf8());
    return path;
}

bool tst_service_e2e::start_service(const QString &config)
{
    service_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service_.start(QStringLiteral(ORVALINCTL_PATH), { "serve", "--config", config });
    return service_.waitForStarted(5000);
}

void tst_service_e2e::bridges_line_and_broker_through_faults()
{
    // A name that is hostile to topics and JSON alike.
    const QString names = dir_.filePath("name.txt");
    const QString odd_name = QStringLiteral("Pump \"A\" / #1 + 泵\\");
    QVERIFY(orvalin::write_profile_entries(names, { { "地址码2", "第3路输出名称", odd_name } }));
    QCOMPARE(sim_.command("inputs 5a @2"), "ok");
    QCOMPARE(sim_.command("outputs 80 @1"), "ok");
    const QString config = write_config("orvalin.conf",
        QStringLiteral(
            "# test\n[line]\nport = sub/../%1\nmodules = 1, 2, 7\n"
            // Replies held up on a busy test machine are not losses.
            "reply_timeout = 150\n[mqtt]\nhost = 127.0.0.1\nport = %2\n[names]\nfile = name.txt\n"
            "[safety]\nlink_loss_after = 3\non_link_loss = all_off\n")
            .arg(QFileInfo(sim_.link_path()).fileName())
            .arg(broker_.port()));
    // The port is relative: taken from the config's folder, not from where
    // the service was started.
    QVERIFY(QDir(dir_.path()).mkpath("sub"));
    QCOMPARE(QFileInfo(sim_.link_path()).absolutePath(), QFileInfo(config).absolutePath());
    mqtt_watch watch;
    QVERIFY(watch.start(broker_.port()));
    QElapsedTimer since_start;
    since_start.start();
    QVERIFY(start_service(config));

    // Discovery for all 48 entities, states as the emulator holds them.
    QVERIFY(watch.wait_for_count("homeassistant/switch/orvalin_", "/config", 24));
    QVERIFY(watch.wait_for_count("homeassistant/binary_sensor/orvalin_", "/config", 24));
    const auto odd
        = QJsonDocument::fromJson(*watch.last("homeassistant/switch/orvalin_2_out_3/config"))
              .object();
    QCOMPARE(odd["name"].toString(), odd_name);
    QVERIFY(watch.wait_for_count("orvalin/", "", 3 * 16 + 3 + 1, 5s));
    QVERIFY(watch.wait_for("orvalin/7/available", "online") >= 0);
    for (const auto &[topic, payload] : { std::pair { "orvalin/1/output/8", "ON" },
             { "orvalin/1/output/7", "OFF" }, { "orvalin/2/input/2", "ON" },
             { "orvalin/2/input/1", "OFF" }, { "orvalin/2/input/7", "ON" } })
        QCOMPARE(watch.last(topic), payload);

    // set switches exactly that output; the state follows the reply.
    qsizetype mark = watch.messages().size();
    QVERIFY(mqtt_watch::publish(broker_.port(), "orvalin/2/output/3/set", "ON"));
    QVERIFY(watch.wait_for("orvalin/2/output/3", "ON", mark) >= 0);
    QCOMPARE(sim_.command("status @2").section(' ', 1, 1), "04");
    QCOMPARE(sim_.command("status @1").section(' ', 1, 1), "80");

    // Inputs changed on the module are published.
    mark = watch.messages().size();
    QCOMPARE(sim_.command("in 4 on @7"), "ok");
    QVERIFY(watch.wait_for("orvalin/7/input/4", "ON", mark) >= 0);

    // on_time: off again after 0.5 s, within one exchange or so.
    mark = watch.messages().size();
    QVERIFY(mqtt_watch::publish(
        broker_.port(), "orvalin/1/output/5/set", R"({"state":"ON","on_time":0.5})"));
    const auto on = watch.wait_for("orvalin/1/output/5", "ON", mark);
    const auto off = watch.wait_for("orvalin/1/output/5", "OFF", mark, 3s);
    QVERIFY(on >= 0 && off > on);
    const auto held = watch.messages()[off].received - watch.messages()[on].received;
    QVERIFY2(held >= 480ms && held <= 620ms, qPrintable(QString::number(held / 1ms)));

    // Link lost: offline; a command meanwhile is dropped; back with all off.
    mark = watch.messages().size();
    QCOMPARE(sim_.command("silent on"), "ok");
    QVERIFY(watch.wait_for("orvalin/2/available", "offline", mark, 3s) >= 0);
    QVERIFY(mqtt_watch::publish(broker_.port(), "orvalin/2/output/1/set", "ON"));
    QTest::qWait(200);
    QCOMPARE(sim_.command("silent off"), "ok");
    QVERIFY(watch.wait_for("orvalin/2/output/3", "OFF", mark, 3s) >= 0);
    QVERIFY(watch.wait_for("orvalin/2/available", "online", mark) >= 0);
    QTest::qWait(300);
    QCOMPARE(sim_.command("status @2").section(' ', 1, 1), "00");
    QCOMPARE(sim_.command("status @7").section(' ', 1, 1), "00");

    // The broker restarted: everything retained comes back.
    watch.stop();
    broker_.stop();
    QVERIFY2(broker_.start(dir_.path()), qPrintable(broker_.error()));
    mqtt_watch again;
    QVERIFY(again.start(broker_.port()));
    QVERIFY(again.wait_for("orvalin/status", "online", 0, 5s) >= 0);
    QVERIFY(again.wait_for_count("homeassistant/", "/config", 48));
    QVERIFY(again.wait_for_count("orvalin/", "", 3 * 16 + 3 + 1));
    QCOMPARE(again.last("orvalin/2/input/2"), "ON");
    // Home Assistant restarted: configs and states once more.
    const qsizetype mark_ha = again.messages().size();
    QVERIFY(mqtt_watch::publish(broker_.port(), "homeassistant/status", "online"));
    QVERIFY(again.wait_for("homeassistant/binary_sensor/orvalin_7_in_8/config", {}, mark_ha) >= 0);
    QVERIFY(again.wait_for("orvalin/7/input/8", {}, mark_ha) >= 0);

    // The emulator killed and started again on the same link, now to another
    // terminal, as a replugged adapter gets another ttyUSB number: the
    // service opens the path afresh.
    mark = again.messages().size();
    const QString old_device = sim_.device();
    sim_.kill();
    QVERIFY(again.wait_for("orvalin/1/available", "offline", mark, 3s) >= 0);
    // Held until the freed terminal is among them (or another program has it).
    std::vector<int> held_terminals;
    for (int i = 0; i < 64; ++i) {
        const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (terminal < 0)
            break;
        held_terminals.push_back(terminal);
        if (QString::fromLocal8Bit(::ptsname(terminal)) == old_device)
            break;
    }
    QTest::qWait(1500); // a reopen fails meanwhile; the next follows a second later
    QVERIFY2(sim_.start(dir_.path(), { "--address", "1,2,7", "--baud", "9600" }),
        qPrintable(sim_.error()));
    for (const int terminal : held_terminals)
        ::close(terminal);
    QVERIFY(sim_.device() != old_device);
    QCOMPARE(sim_.command("in 8 on @1"), "ok");
    QCOMPARE(sim_.command("outputs 0f @1"), "ok"); // switched on by hand meanwhile
    QVERIFY(again.wait_for("orvalin/1/available", "online", mark, 3s) >= 0);
    QVERIFY(again.wait_for("orvalin/1/input/8", "ON", mark) >= 0);
    QTRY_COMPARE(sim_.command("status @1").section(' ', 1, 1), "00"); // on_link_loss = all_off

#ifdef Q_OS_LINUX
    // Waiting on the line and the broker costs little: no busy loop.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(service_.processId()));
    QVERIFY(stat.open(QIODevice::ReadOnly));
    const QList<QByteArray> fields = stat.readAll().split(')').last().split(' ');
    const double cpu_s = (fields[12].toDouble() + fields[13].toDouble()) / ::sysconf(_SC_CLK_TCK);
    QVERIFY2(cpu_s < 0.5 * since_start.elapsed() / 1000.0, qPrintable(QString::number(cpu_s)));
#endif
    // SIGTERM: offline, exit 0 within a second.
    mark = again.messages().size();
    QElapsedTimer stopping;
    stopping.start();
    service_.terminate();
    QVERIFY(service_.waitForFinished(2000));
    QVERIFY2(stopping.elapsed() < 1000, qPrintable(QString::number(stopping.elapsed())));
    QCOMPARE(service_.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service_.exitCode(), 0);
    QVERIFY(again.wait_for("orvalin/status", "offline", mark, 2s) >= 0);
}

// Two services given one client id take the connection from each other; each
// must wait longer every time rather than take it back a second later.
void tst_service_e2e::two_services_with_one_client_id_back_off()
{
    const QString config = write_config("twin.conf",
        QStringLiteral("[line]\nport = absent\nmodules = 1\n[mqtt]\nhost = localhost\n"
                       "port = %1\nclient_id = orvalin-twin\nprefix = twin\n"
                       "[homeassistant]\ndiscovery = off\n")
            .arg(broker_.port()));
    mqtt_watch watch;
    QVERIFY(watch.start(broker_.port()));
    QProcess first, second;
    for (QProcess *service : { &first, &second }) {
        service->start(QStringLiteral(ORVALINCTL_PATH), { "serve", "--config", config });
        QVERIFY(service->waitForStarted(5000));
    }
    const qsizetype start = watch.wait_for("twin/status", "online");
    QVERIFY(start >= 0);
    QTest::qWait(10000);
    const auto connections = std::count_if(
        watch.messages().begin() + start, watch.messages().end(), [](const mqtt_watch::message &m) {
            return m.topic == "twin/status" && m.payload == "online";
        });
    QByteArray log;
    for (QProcess *service : { &first, &second }) {
        service->terminate();
        QVERIFY(service->waitForFinished(5000));
        log += service->readAllStandardError();
    }
    // Taking turns every second would be about 11; backing off, about 6.
    QVERIFY2(connections <= 8, qPrintable(QString::number(connections) + '\n' + log));
    QVERIFY2(log.count("another client with client id \"orvalin-twin\" may be connected") >= 1
            && log.count("may be connected") <= 2,
        log.constData());
}

#ifdef __GLIBC__
namespace {
std::atomic<bool> slow_resolver = false;
std::atomic<int> names_looked_up_on_main = 0;
Qt::HANDLE main_thread = nullptr;
} // namespace

// Stands in for the C library's resolver in this test program (libmosquitto
// and QHostInfo alike call it): with slow_resolver, a name (not a numeric
// address) takes 2 s, as with a name server that does not answer.
extern "C" int getaddrinfo(
    const char *node, const char *service, const struct addrinfo *hints, struct addrinfo **result)
{
    using real_t = int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
    static const auto real = reinterpret_cast<real_t>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    QHostAddress numeric;
    if (slow_resolver && node && !numeric.setAddress(QString::fromUtf8(node))) {
        if (QThread::currentThreadId() == main_thread)
            ++names_looked_up_on_main;
        std::this_thread::sleep_for(2s);
    }
    return real(node, service, hints, result);
}
#endif

// A slow name server must not stop the event loop (and with it the polling
// of the modules) at each connection attempt.
void tst_service_e2e::host_name_is_looked_up_off_the_loop()
{
#ifndef __GLIBC__
    QSKIP("replaces the C library's resolver");
#else
    main_thread = QThread::currentThreadId();
    slow_resolver = true;
    QStringList log;
    orvalin::service::broker_settings settings;
    settings.host = "localhost";
    settings.port = broker_.port();
    // Logged in by name, which this broker takes from anyone.
    settings.username = "orvalin";
    settings.password = "secret";
    orvalin::service::mosquitto_broker client(settings, [&](const QString &line) { log << line; });
    QElapsedTimer clock;
    clock.start();
    qint64 last_tick = 0, longest_gap = 0;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        longest_gap = std::max(longest_gap, clock.elapsed() - last_tick);
        last_tick = clock.elapsed();
    });
    ticks.start(20);
    QSignalSpy connected(&client, &orvalin::service::broker::connection_changed);
    QVERIFY(client.start());
    QVERIFY2(connected.wait(10000), qPrintable(log.join('\n')));
    slow_resolver = false;
    QCOMPARE(connected.first().first().toBool(), true);
    QCOMPARE(names_looked_up_on_main.load(), 0);
    QVERIFY2(longest_gap < 1000, qPrintable(QString::number(longest_gap)));
#endif
}

void tst_service_e2e::floods_starve_neither_the_polls_nor_the_log()
{
    const QString config = write_config("flood.conf",
        QStringLiteral("[line]\nport = %1\nmodules = 1, 2, 7\nreply_timeout = 150\n"
                       "[mqtt]\nhost = 127.0.0.1\nport = %2\n")
            .arg(sim_.link_path())
            .arg(broker_.port()));
    QCOMPARE(sim_.command("outputs 00 @1"), "ok");
    mqtt_watch watch;
    QVERIFY(watch.start(broker_.port()));
    const qsizetype mark = watch.messages().size();
    QProcess service;
    service.start(QStringLiteral(ORVALINCTL_PATH), { "serve", "--config", config });
    QVERIFY(service.waitForStarted(5000));
    QVERIFY(watch.wait_for("orvalin/status", "online", mark) >= 0);
    QVERIFY(watch.wait_for("orvalin/7/input/1", {}, mark) >= 0);

    // Commands to one output, births of Home Assistant, bad messages: all
    // at once, thousands each; the last command is ON.
    const qsizetype flood_mark = watch.messages().size();
    QProcess sets, births, bad, long_topic;
    start_flood(sets, broker_.port(), "orvalin/1/output/3/set", repeated({ "ON", "OFF" }, 3001));
    start_flood(births, broker_.port(), "homeassistant/status", repeated({ "online" }, 2000));
    start_flood(bad, broker_.port(), "orvalin/1/output/3/set", repeated({ "ONN" }, 2000));
    start_flood(long_topic, broker_.port(), "orvalin/" + QString(60000, u'x'), { "ON" });
    for (QProcess *pub : { &sets, &births, &bad, &long_topic })
        QVERIFY(pub->waitForFinished(10000) && pub->exitCode() == 0);

    // Meanwhile the other modules are polled and their commands go out.
    QElapsedTimer meanwhile;
    meanwhile.start();
    const qsizetype asked = watch.messages().size();
    QCOMPARE(sim_.command("in 6 on @2"), "ok");
    QVERIFY(mqtt_watch::publish(broker_.port(), "orvalin/7/output/5/set", "ON"));
    QVERIFY(watch.wait_for("orvalin/2/input/6", "ON", asked, 10s) >= 0);
    QVERIFY(watch.wait_for("orvalin/7/output/5", "ON", asked, 10s) >= 0);
    QVERIFY2(meanwhile.elapsed() < 3000, qPrintable(QString::number(meanwhile.elapsed())));
    // Only the latest command counts: no backlog keeps switching 1/3. The
    // broker may drop or still deliver some of the flood: the last command
    // goes on its own once the flood has passed the broker.
    for (qsizetype seen = -1, wait = 0; seen != watch.messages().size() && wait < 30; ++wait) {
        seen = watch.messages().size();
        QTest::qWait(300);
    }
    QVERIFY(mqtt_watch::publish(broker_.port(), "orvalin/1/output/3/set", "ON"));
    QTRY_COMPARE_WITH_TIMEOUT(sim_.command("status @1").section(' ', 1, 1), "04", 10000);
    const auto frames = sim_.status()->frames;
    QTest::qWait(500);
    QCOMPARE(sim_.command("status @1").section(' ', 1, 1), "04");
    QVERIFY(sim_.status()->frames - frames < 12); // polls only, one per 150 ms
    // The births made a republish or two, not thousands.
    qsizetype configs = 0;
    for (qsizetype i = flood_mark; i < watch.messages().size(); ++i)
        configs += watch.messages()[i].topic.endsWith(u"/config") ? 1 : 0;
    QVERIFY2(configs <= 3 * 48, qPrintable(QString::number(configs)));

    // SIGTERM amid a flood: exit within a second, one line for the backlog.
    QByteArrayList lines;
    for (int i = 0; i < 3000; ++i)
        lines.append(i % 2 ? "ON" : "OFF");
    QProcess pubs[8];
    for (int k = 0; k < 8; ++k)
        start_flood(
            pubs[k], broker_.port(), QStringLiteral("orvalin/2/output/%1/set").arg(k + 1), lines);
    QTest::qWait(200);
    QElapsedTimer stopping;
    stopping.start();
    service.terminate();
    QVERIFY(service.waitForFinished(3000));
    QVERIFY2(stopping.elapsed() < 1000, qPrintable(QString::number(stopping.elapsed())));
    QCOMPARE(service.exitCode(), 0);
    for (QProcess &pub : pubs)
        pub.waitForFinished(5000);

    // The log: a line per kind, none of them long.
    const QList<QByteArray> log = service.readAllStandardError().split('\n');
    QVERIFY2(log.size() < 60, log.join('\n').left(4000).constData());
    for (const QByteArray &line : log)
        QVERIFY2(line.size() < 500, line.left(500).constData());
}

void tst_service_e2e::a_restart_clears_what_removed_modules_left()
{
    const auto config_for = [&](const char *modules) {
        return write_config("clean.conf",
            QStringLiteral("[line]\nport = %1\nmodules = %2\n[mqtt]\nhost = 127.0.0.1\n"
                           "port = %3\nprefix = clean\n[safety]\nlink_loss_after = 3\n")
                .arg(sim_.link_path(), QLatin1String(modules))
                .arg(broker_.port()));
    };
    mqtt_watch all;
    QVERIFY(all.start(broker_.port()));
    // What a client that watches the modules' availability alone sees at
    // start: each module that answers goes online, never offline first.
    mqtt_watch available;
    QVERIFY(available.start(broker_.port(), "clean/+/available"));
    QVERIFY(start_service(config_for("1, 2, 7")));
    for (const char *topic : { "clean/1/available", "clean/2/available", "clean/7/available" })
        QVERIFY(available.wait_for(topic, "online", 0, 10s) >= 0);
    QVERIFY(all.wait_for("homeassistant/switch/clean_7_out_1/config", {}, 0, 10s) >= 0);
    QVERIFY(all.wait_for("clean/7/output/1", {}, 0, 10s) >= 0);
    QTest::qWait(300);
    for (const auto &m : available.messages())
        QVERIFY2(m.payload != "offline", qPrintable(m.topic));
    service_.terminate();
    QVERIFY(service_.waitForFinished(5000));

    // Module 7 leaves the config: what it left is cleared, the rest stays.
    QVERIFY(start_service(config_for("1, 2")));
    QTRY_VERIFY_WITH_TIMEOUT(all.last("clean/7/output/1") == QByteArray(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(
        all.last("homeassistant/switch/clean_7_out_1/config") == QByteArray(), 10000);
    mqtt_watch retained;
    QVERIFY(retained.start(broker_.port()));
    QStringList left, kept;
    for (const auto &m : retained.messages()) {
        if (m.topic.startsWith(u"clean/7/") || m.topic.contains(u"/clean_7_"))
            left.append(m.topic);
        if (m.topic == u"clean/1/output/1" || m.topic == u"clean/2/available"
            || m.topic == u"homeassistant/switch/clean_1_out_1/config"
            || m.topic == u"homeassistant/binary_sensor/clean_2_connection/config")
            kept.append(m.topic);
    }
    QVERIFY2(left.isEmpty(), qPrintable(left.join(u' ')));
    QCOMPARE(kept.size(), 4);
    service_.terminate();
    QVERIFY(service_.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(tst_service_e2e)
#include "tst_service_e2e.moc"
