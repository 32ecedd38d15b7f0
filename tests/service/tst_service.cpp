#include "link/line_port.h"
#include "names/profile.h"
#include "service/bridge.h"
#include "service/command_queue.h"
#include "service/config.h"
#include "service/log_summary.h"
#include "service/payload.h"
#include "service/scheduler.h"

#include <QDir>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <QTimer>

#include <functional>
#include <future>
#include <map>
#include <thread>
#include <tuple>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

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
    void set_payloads_data();
    void set_payloads();
    void set_topics();
    void config_errors_data();
    void config_errors();
    void config_values();
    void config_files_data();
    void config_files();
    void scheduling_data();
    void scheduling();
    void a_pulse_ends_even_across_a_link_loss();
    void queued_commands_data();
    void queued_commands();
    void the_command_queue_is_bounded();
    void repeated_log_lines_data();
    void repeated_log_lines();
    void a_flood_of_commands_sends_the_latest_and_keeps_polling();
    void floods_of_births_and_bad_messages_stay_small();
    void availability_waits_for_the_first_poll();
    void an_on_time_limit_ends_every_on();
    void a_rename_republishes_discovery_once();
    void a_command_cuts_a_long_hold_short();
    void command_outcomes_data();
    void command_outcomes();
};

void tst_service::set_payloads_data()
{
    using action = set_request::action;
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<std::optional<set_request>>("expected");
    const auto row = [](const char *name, const QByteArray &payload,
                         std::optional<set_request> expected = {}) {
        QTest::newRow(name) << payload << expected;
    };
    // clang-format off
    row("ON", "ON", set_request { action::on, {} });
    row("off, blanks", " off\n", set_request { action::off, {} });
    row("TOGGLE", "TOGGLE", set_request { action::toggle, {} });
    row("json on_time", R"({"state":"ON","on_time":2.5})", set_request { action::on, 2500ms });
    row("json tiny on_time", R"({"state":"on","on_time":1e-9})", set_request { action::on, 1ms });
    row("empty", QByteArray());
    row("ONN", "ONN");
    row("NUL inside", QByteArray("ON\0", 3));
    row("on_time with OFF", R"({"state":"OFF","on_time":1})");
    row("on_time zero", R"({"state":"ON","on_time":0})");
    row("on_time text", R"({"state":"ON","on_time":"1"})");
    row("on_time huge", R"({"state":"ON","on_time":1e300})");
    row("unknown member", R"({"state":"ON","brightness":1})");
    row("state number", R"({"state":1})");
    row("broken json", R"({"state":"ON")");
    // clang-format on
}

void tst_service::set_payloads()
{
    QFETCH(QByteArray, payload);
    QFETCH(std::optional<set_request>, expected);
    QCOMPARE(parse_set(payload), expected);
}

void tst_service::set_topics()
{
    const struct {
        const char *topic;
        std::optional<set_target> expected;
    } rows[] = {
        { "orvalin/7/output/3/set", set_target { 7, 3 } },
        { "orvalin/255/output/all/set", set_target { 255, 0 } },
        { "orvalin/256/output/1/set", std::nullopt },
        { "orvalin/07/output/1/set", std::nullopt },
        { "orvalin/7/output/0/set", std::nullopt },
        { "orvalin/7/output/9/set", std::nullopt },
        { "orvalin/7/input/1/set", std::nullopt },
        { "orvalin/7/output/1/set/x", std::nullopt },
        { "orvalinx/7/output/1/set", std::nullopt },
        { "orvalin/+7/output/1/set", std::nullopt },
        // Fine in a config file, but each module has exactly one topic.
        { "orvalin/ 7/output/1/set", std::nullopt },
        { "orvalin/7/output/01/set", std::nullopt },
    };
    for (const auto &row : rows)
        QVERIFY2(parse_set_topic("orvalin", row.topic) == row.expected, row.topic);
    QCOMPARE(parse_set_all("TOGGLE"), std::nullopt);
}

void tst_service::config_errors_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *name, const QByteArray &text, int line, const char *message) {
        QTest::newRow(name) << text << line << QString::fromUtf8(message);
    };
    const QByteArray line = "[line]\nport = 1\nmodules = 1,7\n";
    // clang-format off
    row("unknown key", line + "speed = 9600\n", 4, "unknown key speed");
    row("unknown section", QByteArray("[serial]\n"), 1, "unknown section");
    row("key twice", line + "port = 2\n", 4, "given twice");
    row("before section", QByteArray("port = 1\n"), 1, "before any [section]");
    row("no equals", line + "modules\n", 4, "key = value");
    row("address 256", QByteArray("[line]\nmodules = 1, 256\n"), 2, "256");
    row("address twice", QByteArray("[line]\nmodules = 7,7\n"), 2, "twice");
    row("address with a sign", QByteArray("[line]\nmodules = 1, -0\n"), 2, "\"-0\" is no address");
    row("interval", line + "interval = 5\n", 4, "20..10000");
    row("mqtt port", line + "[mqtt]\nport = 0\n", 5, "1..65535");
    row("prefix wildcard", line + "[mqtt]\nprefix = a/#\n", 5, "prefix");
    row("prefix is discovery's", line + "[mqtt]\nprefix = homeassistant\n", 5, "same as the [homeassistant] prefix");
    row("prefix empty level", line + "[mqtt]\nprefix = a//b\n", 5, "prefix");
    row("discovery", line + "[homeassistant]\ndiscovery = maybe\n", 5, "on or off");
    row("on_link_loss", line + "[safety]\non_link_loss = off\n", 5, "keep or all_off");
    row("pair across modules", line + "[safety]\ninterlock = 1/1+7/2\n", 5, "two modules");
    row("pair with itself", line + "[safety]\ninterlock = 7/1+7/1\n", 5, "itself");
    row("pair unknown module", line + "[safety]\ninterlock = 2/1+2/2\n", 5, "not in [line]");
    row("pair output 9", line + "[safety]\ninterlock = 7/1+7/9\n", 5, "no pair");
    row("password needs user", line + "[mqtt]\npassword_file = p\n", 5, "username");
    row("bad UTF-8", line + "[mqtt]\nhost = \xff\n", 5, "UTF-8");
    row("no port", QByteArray("[line]\nmodules = 1\n"), 0, "port is missing");
    row("no modules", QByteArray("[line]\nport = 1\n"), 0, "modules is missing");
    row("http listen no port", line + "[http]\nlisten = 127.0.0.1\n", 5, "address:port");
    row("http listen port 0", line + "[http]\nlisten = 127.0.0.1:0\n", 5, "address:port");
    row("http listen v6 bare", line + "[http]\nlisten = ::1:8080\n", 5, "address:port");
    row("http listen a name", line + "[http]\nlisten = example.org:80\n", 5, "not looked up");
    row("http open without password", line + "[http]\nlisten = 0.0.0.0:8080\n", 5,
        "beyond this machine needs password_file");
    row("http cert without key", line + "[http]\ntls_cert = c.pem\n", 5, "go together");
    row("neither http nor mqtt", line + "[http]\nlisten = off\n", 5, "neither [mqtt] nor [http]");
    // clang-format on
}

void tst_service::config_errors()
{
    QFETCH(QByteArray, text);
    QFETCH(int, line);
    QFETCH(QString, message);
    const config_result result = parse_config(text, "/etc/orvalin/orvalin.conf");
    QVERIFY(!result.config);
    QCOMPARE(result.error.line, line);
    QVERIFY2(result.error.message.contains(message), qPrintable(result.error.text()));
    QVERIFY(result.error.text().startsWith(QStringLiteral("/etc/orvalin/orvalin.conf:")));
}

void tst_service::config_values()
{
    const auto result = parse_config("\xEF\xBB\xBF; comment\n[line]\nport=/dev/serial/by-id/x\n"
                                     "modules = 7, 1\ninterval = 40\n[mqtt]\nprefix = site/a\n"
                                     "tls_ca = ca.pem\n[homeassistant]\ndiscovery = off\n"
                                     "[safety]\ninterlock = 7/1+7/2, 7/3 + 7/4\n"
                                     "interlock_delay = 0\non_link_loss = all_off\n",
        "/etc/orvalin/orvalin.conf");
    QVERIFY2(result.config, qPrintable(result.error.text()));
    const service_config &config = *result.config;
    QCOMPARE(config.port, "/dev/serial/by-id/x");
    QCOMPARE(config.prefix, "site/a");
    QCOMPARE(config.tls_ca, "/etc/orvalin/ca.pem");
    QCOMPARE(config.broker_port(), 8883);
    QVERIFY(!config.discovery);
    QCOMPARE(config.on_link_loss, link_loss_action::all_off);
    QCOMPARE(config.interlock.size(), 2); // blanks around + are fine
    QCOMPARE(config.interlock[1].second, 4);
    QVERIFY(config.mqtt);
    QVERIFY(!config.http.on); // no [http]: no listener

    // [http] alone: no broker; its default address; [v6] and names.
    const QByteArray line = "[line]\nport = 1\nmodules = 1\n";
    const struct {
        QByteArray text;
        bool mqtt, http;
        QString host;
        int port;
    } rows[] = { { line + "[http]\n", false, true, "127.0.0.1", 8080 },
        { line + "[http]\nlisten = [::1]:80\n[mqtt]\n", true, true, "::1", 80 },
        { line + "[http]\nlisten = localhost:9000\n", false, true, "localhost", 9000 },
        { line + "[mqtt]\n[http]\nlisten = off\n", true, false, "127.0.0.1", 8080 },
        { line + "[http]\nlisten = 0.0.0.0:80\npassword_file = p\n", false, true, "0.0.0.0", 80 } };
    for (const auto &row : rows) {
        const auto parsed = parse_config(row.text, "/etc/orvalin/orvalin.conf");
        QVERIFY2(parsed.config, qPrintable(parsed.error.text() + "\n" + row.text));
        QCOMPARE(parsed.config->mqtt, row.mqtt);
        QCOMPARE(parsed.config->http.on, row.http);
        QCOMPARE(parsed.config->http.host, row.host);
        QCOMPARE(parsed.config->http.port, row.port);
    }
    // Home Assistant's link to the page.
    http_settings http;
    QCOMPARE(http.page_url(), QString());
    QCOMPARE(parse_listen("[::1]:80", http), QString());
    QCOMPARE(http.page_url(), "http://[::1]:80/");
    QCOMPARE(parse_listen("0.0.0.0:8080", http), QString());
    QCOMPARE(http.page_url(), QStringLiteral("http://%1:8080/").arg(QHostInfo::localHostName()));
}

void tst_service::config_files_data()
{
    QTest::addColumn<QString>("config"); // a file name in the folder, or text for orvalin.conf
    QTest::addColumn<int>("line"); // -1: accepted
    QTest::addColumn<QString>("message"); // of the error, or else of the one warning
    const QString line = "[line]\nport = 1\nmodules = 1\n";
    const QString user = line + "[mqtt]\nusername = u\npassword_file = ";
    const auto row = [](const char *name, const QString &config, int at, const char *message) {
        QTest::newRow(name) << config << at << QString::fromUtf8(message);
    };
    // clang-format off
    row("config is a FIFO", "fifo", 0, "fifo: cannot read: is not a regular file (a FIFO)");
    row("config is a folder", "folder", 0, "is a directory");
    row("password FIFO", user + "fifo", 6, "[mqtt] password_file: cannot read <dir>/fifo: is not a regular file (a FIFO)");
    row("CA FIFO", line + "[mqtt]\ntls_ca = fifo", 5, "[mqtt] tls_ca: cannot read <dir>/fifo: is not a regular file (a FIFO)");
    row("names FIFO", line + "[names]\nfile = fifo", 5, "[names] file: cannot read <dir>/fifo: is not a regular file (a FIFO)");
    row("names folder", line + "[names]\nfile = folder", 5, "[names] file: cannot read <dir>/folder: is a directory");
    row("names missing", line + "[names]\nfile = absent", 5, "[names] file: cannot read <dir>/absent: No such file");
    row("password for all", user + "open", -1, "password_file <dir>/open is readable by every user (mode 0644)");
    row("password for one", user + "closed", -1, "");
    row("client id too long", line + "[mqtt]\nclient_id = " + QString(65536, u'a'), 5, "client_id is longer than 65535 bytes");
    row("client id longest", line + "[mqtt]\nclient_id = " + QString(65535, u'a'), -1, "");
    row("client id control", line + "[mqtt]\nclient_id = a\x01b", 5, "client_id holds a control character");
    const QString https = line + "[http]\ntls_cert = ";
    row("certificate FIFO", https + "fifo\ntls_key = key", 5, "[http] tls_cert: cannot read <dir>/fifo: is not a regular file (a FIFO)");
    row("certificate not PEM", https + "closed\ntls_key = key", 5, "[http] tls_cert: <dir>/closed: no PEM certificate in it");
    row("key not PEM", https + "cert.pem\ntls_key = cert.pem", 6, "[http] tls_key: <dir>/cert.pem: no unencrypted PEM private key in it");
    row("key for all", https + "cert.pem\ntls_key = open-key", -1, "tls_key <dir>/open-key is readable by every user (mode 0644)");
    row("key for one", https + "cert.pem\ntls_key = key", -1, "");
    // clang-format on
}

// Files the config names are regular files, looked at without blocking.
void tst_service::config_files()
{
    QFETCH(QString, config);
    QFETCH(int, line);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("folder"));
#ifdef Q_OS_UNIX
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600) == 0);
#else
    if (config.contains("fifo"))
        QSKIP("no FIFOs here");
#endif
    for (const auto &[name, mode] : { std::pair { "open", 0644 }, { "closed", 0600 } }) {
        QFile password(dir.filePath(name));
        QVERIFY(password.open(QIODevice::WriteOnly));
        password.write("secret\n");
        password.close();
        QVERIFY(::chmod(QFile::encodeName(password.fileName()).constData(), mode) == 0);
    }
    for (const auto &[from, to, mode] : { std::tuple { "localhost.pem", "cert.pem", 0644 },
             { "localhost.key", "key", 0600 }, { "localhost.key", "open-key", 0644 } }) {
        QVERIFY(QFile::copy(QStringLiteral(ORVALIN_TEST_TLS_DIR "/") + from, dir.filePath(to)));
        QVERIFY(::chmod(QFile::encodeName(dir.filePath(to)).constData(), mode) == 0);
    }
    QString path = dir.filePath(config);
    if (config.contains(u'\n')) {
        path = dir.filePath("orvalin.conf");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(config.toUtf8());
    }
    message.replace("<dir>", dir.path());
    // On a thread of its own: a load that blocks fails here instead of
    // hanging the test (the thread is left behind, stuck).
    auto done = std::make_shared<std::promise<config_result>>();
    auto result_future = done->get_future();
    std::thread([done, path] { done->set_value(load_config(path)); }).detach();
    QVERIFY2(result_future.wait_for(5s) == std::future_status::ready, "load_config blocked");
    const config_result result = result_future.get();
    if (line < 0) {
        QVERIFY2(result.config, qPrintable(result.error.text()));
        QCOMPARE(result.warnings.size(), message.isEmpty() ? 0 : 1);
        if (!message.isEmpty()) {
            QVERIFY2(
                result.warnings[0].text().contains(message), qPrintable(result.warnings[0].text()));
            QCOMPARE(result.warnings[0].line, 6);
        }
        return;
    }
    QVERIFY(!result.config);
    QVERIFY2(result.error.text().contains(message), qPrintable(result.error.text()));
    QCOMPARE(result.error.line, line);
}

void tst_service::scheduling_data()
{
    // The config's [line] modules and interval and its [safety] lines; then
    // events on a fake clock: "@ms" sets the time, "set A/K PAYLOAD" is a set
    // message, "next" asks what goes out ("poll A", "on A/K", "off A/K",
    // "all A=V", "wait MS" until a poll or an interlock wait, "idle"),
    // "reply HEX" and "timeout" end the exchange on the line, "due" queues
    // the pulse offs fallen due and "pulse" shows when the next one does;
    // "periods A" shows the times between the polls of module A so far.
    // The trace also shows "online A" and "offline A" as they happen.
    QTest::addColumn<QString>("config");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](const char *name, const char *config, const QStringList &events,
                         const QStringList &expected) {
        QTest::newRow(name) << QString::fromLatin1(config) << events << expected;
    };
    // clang-format off
    row("commands jump the polls, a due poll goes between two", "modules = 1, 2\ninterval = 20",
        { "@0", "next", "reply 00", "next", "@5", "timeout", "set 1/3 ON", "set 1/4 ON", "next",
          "reply 04", "next", "reply 0c", "next", "@20", "set 1/3 OFF", "set 1/4 OFF", "next",
          "reply 08", "next", "reply 08", "next", "reply 00", "next", "reply 00", "next" },
        { "poll 1", "online 1", "poll 2", "on 1/3", "on 1/4", "wait 15", "off 1/3", "poll 1",
          "off 1/4", "poll 2", "online 2", "wait 20" });
    row("the line is kept busy while modules are due", "modules = 1, 2, 7\ninterval = 50",
        { "@0", "next", "@19", "reply 00", "next", "@38", "reply 00", "next", "@57", "reply 00",
          "next", "@76", "reply 00", "next", "@95", "reply 00", "next", "@114", "reply 00", "next",
          "@133", "reply 00", "next", "periods 1", "periods 7" },
        { "poll 1", "online 1", "poll 2", "online 2", "poll 7", "online 7", "poll 1", "poll 2",
          "poll 7", "poll 1", "poll 2", "periods 57,57", "periods 57" });
    row("one module keeps its beat through a late timer", "modules = 1\ninterval = 50",
        { "@0", "next", "@19", "reply 00", "next", "@51", "next", "reply 00", "next", "@103",
          "next", "reply 00", "next" },
        { "poll 1", "online 1", "wait 31", "poll 1", "wait 49", "poll 1", "wait 50" });
    row("interlock: the partner's off, then the delay", "modules = 7\ninterval = 200\n"
        "[safety]\ninterlock = 7/1+7/2\ninterlock_delay = 60",
        { "@0", "next", "reply 02", "set 7/1 ON", "next", "@10", "reply 00", "next", "@69", "next",
          "@70", "next", "reply 01", "next" },
        { "poll 7", "online 7", "off 7/2", "wait 60", "wait 1", "on 7/1", "wait 130" });
    row("a pulse ends on_time after the reply showing it on", "modules = 1\ninterval = 200",
        { "@0", "next", "reply 00", R"(set 1/4 {"state":"ON","on_time":0.1})", "@5", "next",
          "reply 08", "pulse", "next", "@104", "due", "next", "@105", "due", "next", "reply 00", "pulse" },
        { "poll 1", "online 1", "on 1/4", "pulse at 105", "wait 195", "wait 96", "off 1/4", "pulse at none" });
    row("a newer command cancels the pulse's off", "modules = 1\ninterval = 200",
        { "@0", "next", "reply 00", R"(set 1/4 {"state":"ON","on_time":0.1})", "next", "reply 08",
          "set 1/4 ON", "next", "pulse", "reply 08", "@300", "due", "next" },
        { "poll 1", "online 1", "on 1/4", "on 1/4", "pulse at none", "poll 1" });
    row("offline after link_loss_after misses in a row", "modules = 1\ninterval = 20\n"
        "[safety]\nlink_loss_after = 3",
        { "@0", "next", "reply 00", "@20", "next", "timeout", "@40", "next", "timeout",
          "set 1/2 ON", "next", "timeout", "next", "@60", "next", "reply 00", "next" },
        { "poll 1", "online 1", "poll 1", "poll 1", "on 1/2", "offline 1", "wait 20", "poll 1",
          "online 1", "wait 20" });
    // A reply showing the output still off, late for an earlier exchange:
    // the ON goes again; given up, the partner may be on and goes off first.
    row("a late reply never confirms a switch", "modules = 7\ninterval = 200\n"
        "[safety]\ninterlock = 7/1+7/2\ninterlock_delay = 0",
        { "@0", "next", "reply 00", "set 7/2 ON", "set 7/1 ON", "next", "reply 00", "next",
          "reply 02", "next", "reply 00", "next", "reply 01", "next" },
        { "poll 7", "online 7", "on 7/2", "on 7/2", "off 7/2", "on 7/1", "wait 200" });
    row("a switch given up after late replies", "modules = 7\ninterval = 200\n"
        "[safety]\ninterlock = 7/1+7/2\ninterlock_delay = 0",
        { "@0", "next", "reply 00", "set 7/2 ON", "set 7/1 ON", "next", "reply 00", "next",
          "reply 00", "next", "reply 00", "next", "reply 00", "next", "reply 01", "next" },
        { "poll 7", "online 7", "on 7/2", "on 7/2", "on 7/2", "off 7/2", "on 7/1", "wait 200" });
    // The partner's off is tried three times, each sent three times; then the ON is dropped.
    QStringList partner_stuck { "@0", "next", "reply 02", "set 7/1 ON" };
    for (int i = 0; i < 9; ++i)
        partner_stuck << "next" << "reply 02";
    row("a partner that never goes off", "modules = 7\ninterval = 200\n"
        "[safety]\ninterlock = 7/1+7/2\ninterlock_delay = 0", partner_stuck + QStringList { "next" },
        QStringList { "poll 7", "online 7" } + QStringList(9, "off 7/2") + QStringList { "wait 200" });
    row("all_off on return", "modules = 1\ninterval = 20\n[safety]\nlink_loss_after = 1\n"
        "on_link_loss = all_off",
        { "@0", "next", "reply 05", "@20", "next", "timeout", "@40", "next", "reply 05", "next",
          "reply 00", "next" },
        { "poll 1", "online 1", "poll 1", "offline 1", "poll 1", "online 1", "all 1=0", "wait 20" });
    row("keep on return", "modules = 1\ninterval = 20\n[safety]\nlink_loss_after = 1",
        { "@0", "next", "reply 05", "@20", "next", "timeout", "@40", "next", "reply 05", "next" },
        { "poll 1", "online 1", "poll 1", "offline 1", "poll 1", "online 1", "wait 20" });
    row("a pulse's off due while offline goes on return", "modules = 1\ninterval = 200\n"
        "[safety]\nlink_loss_after = 1",
        { "@0", "next", "reply 00", R"(set 1/4 {"state":"ON","on_time":0.1})", "@5", "next",
          "reply 08", "@200", "next", "timeout", "@205", "due", "pulse", "@400", "next",
          "reply 08", "next" },
        { "poll 1", "online 1", "on 1/4", "poll 1", "offline 1", "pulse at none", "poll 1",
          "online 1", "off 1/4" });
    // clang-format on
}

void tst_service::scheduling()
{
    QFETCH(QString, config);
    QFETCH(QStringList, events);
    QFETCH(QStringList, expected);
    const auto parsed
        = parse_config(("[line]\nport = x\n" + config + u'\n').toUtf8(), QStringLiteral("t.conf"));
    QVERIFY2(parsed.config, qPrintable(parsed.error.text()));
    QStringList trace;
    scheduler_events sink { [](const QString &) {}, [](const module_state &, bool, int, bool) {},
        [&](module_state &module, bool changed) {
            if (changed)
                trace.append(QStringLiteral("%1 %2")
                                 .arg(module.online() ? "online" : "offline")
                                 .arg(module.address));
        },
        {} };
    scheduler schedule(*parsed.config, sink);
    const scheduler::time_point start {};
    auto now = start;
    const auto ms = [&](scheduler::time_point t) {
        return QString::number(std::chrono::ceil<std::chrono::milliseconds>(t - start).count());
    };
    schedule.line_open(now);
    std::uint8_t on_line = 0;
    for (const QString &event : events) {
        const QString what = event.section(u' ', 0, 0);
        const QString rest = event.section(u' ', 1);
        if (what.startsWith(u'@')) {
            now = start + std::chrono::milliseconds(what.mid(1).toInt());
        } else if (what == u"set") {
            const QString payload = rest.section(u' ', 1);
            const auto target = parse_set_topic(QStringLiteral("orvalin"),
                QStringLiteral("orvalin/%1/set")
                    .arg(rest.section(u' ', 0, 0)
                             .replace(QStringLiteral("/"), QStringLiteral("/output/"))));
            QVERIFY2(target, qPrintable(event));
            const auto request
                = target->output ? parse_set(payload.toUtf8()) : parse_set_all(payload.toUtf8());
            QVERIFY2(request, qPrintable(event));
            command_step command { target->address, target->output, *request, event };
            command.cancels_pulse = true;
            schedule.enqueue(command);
        } else if (what == u"next") {
            const next_action action = schedule.next(now);
            const frame &f = action.bytes;
            on_line = action.address;
            switch (action.what) {
            case next_action::kind::poll:
                trace.append(QStringLiteral("poll %1").arg(f[1]));
                break;
            case next_action::kind::command:
                trace.append(f[2] == set_all_outputs
                        ? QStringLiteral("all %1=%2").arg(f[1]).arg(f[5])
                        : QStringLiteral("%1 %2/%3")
                              .arg(f[2] == switch_on ? "on" : "off")
                              .arg(f[1])
                              .arg(f[6]));
                break;
            case next_action::kind::none:
                trace.append(
                    action.wake ? QStringLiteral("wait %1").arg(
                        (std::chrono::ceil<std::chrono::milliseconds>(*action.wake - now)).count())
                                : QStringLiteral("idle"));
                break;
            case next_action::kind::drained:
                trace.append(QStringLiteral("drained"));
                break;
            }
        } else if (what == u"reply") {
            module_status status;
            status.address = on_line;
            status.outputs = std::uint8_t(rest.toUInt(nullptr, 16));
            schedule.finished(now, on_line, status);
        } else if (what == u"timeout") {
            schedule.finished(now, on_line, std::nullopt);
        } else if (what == u"due") {
            schedule.offs_due(now);
        } else if (what == u"periods") {
            QStringList periods;
            for (const double period : schedule.find(std::uint8_t(rest.toUInt()))->poll_period_ms)
                periods.append(QString::number(period));
            trace.append(QStringLiteral("periods ") + periods.join(u','));
        } else if (what == u"pulse") {
            const auto off = schedule.next_off();
            trace.append(
                QStringLiteral("pulse at %1").arg(off ? ms(*off) : QStringLiteral("none")));
        } else {
            QFAIL(qPrintable(event));
        }
    }
    QCOMPARE(trace, expected);
}

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

namespace {

// "1/3 ON", "1/all OFF", "1/3 TOGGLE"; "written" and "pulse-off" mark steps
// already on the line and the offs of pulses.
command_step step_from(const QString &text)
{
    const QStringList words = text.split(u' ');
    const QStringList where = words[0].split(u'/');
    command_step step;
    step.address = std::uint8_t(where[0].toInt());
    step.output = where[1] == u"all" ? 0 : where[1].toInt();
    step.origin = text;
    if (words[1] == u"pulse-off") {
        step.pulse_end = true;
        return step;
    }
    step.request.what = words[1] == u"ON" ? set_request::action::on
        : words[1] == u"OFF"              ? set_request::action::off
                                          : set_request::action::toggle;
    step.cancels_pulse = true;
    step.written = words.contains(u"written");
    return step;
}

QString text_of(const command_step &step)
{
    if (step.pulse_end)
        return QStringLiteral("%1/%2 pulse-off").arg(step.address).arg(step.output);
    const char *what = step.request.what == set_request::action::on ? "ON"
        : step.request.what == set_request::action::off             ? "OFF"
                                                                    : "TOGGLE";
    return QStringLiteral("%1/%2 %3")
        .arg(step.address)
        .arg(step.output == 0 ? QStringLiteral("all") : QString::number(step.output), what);
}

} // namespace

void tst_service::queued_commands_data()
{
    QTest::addColumn<QStringList>("already");
    QTest::addColumn<QString>("added");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](const char *name, const QStringList &already, const char *added,
                         const QStringList &expected) {
        QTest::newRow(name) << already << QString::fromLatin1(added) << expected;
    };
    // clang-format off
    row("other outputs keep their order", { "1/3 ON", "2/3 OFF" }, "1/4 ON", { "1/3 ON", "2/3 OFF", "1/4 ON" });
    row("newer replaces older", { "1/3 ON", "1/4 ON" }, "1/3 OFF", { "1/4 ON", "1/3 OFF" });
    row("all replaces the module's", { "1/3 ON", "2/3 ON", "1/all ON", "1/4 OFF" }, "1/all OFF", { "2/3 ON", "1/all OFF" });
    row("an output after all stays", { "1/all OFF" }, "1/3 ON", { "1/all OFF", "1/3 ON" });
    row("TOGGLE after ON is OFF", { "1/3 ON", "1/4 ON" }, "1/3 TOGGLE", { "1/4 ON", "1/3 OFF" });
    row("TOGGLE after OFF is ON", { "1/3 OFF" }, "1/3 TOGGLE", { "1/3 ON" });
    row("two TOGGLEs cancel", { "1/3 TOGGLE", "1/4 ON" }, "1/3 TOGGLE", { "1/4 ON" });
    row("TOGGLE alone waits", { "1/all ON" }, "1/3 TOGGLE", { "1/all ON", "1/3 TOGGLE" });
    row("sent ones stay", { "1/3 ON written" }, "1/3 OFF", { "1/3 ON", "1/3 OFF" });
    row("pulse offs stay", { "1/3 pulse-off", "1/3 ON" }, "1/all OFF", { "1/3 pulse-off", "1/all OFF" });
    // clang-format on
}

void tst_service::queued_commands()
{
    QFETCH(QStringList, already);
    QFETCH(QString, added);
    QFETCH(QStringList, expected);
    std::deque<command_step> queue;
    for (const QString &text : already)
        queue.push_back(step_from(text));
    enqueue_command(queue, step_from(added), false);
    QStringList result;
    for (const auto &step : queue)
        result.append(text_of(step));
    QCOMPARE(result, expected);
}

void tst_service::the_command_queue_is_bounded()
{
    std::deque<command_step> queue;
    int full = 0;
    for (int address = 0; address < 256; ++address) {
        for (int k = 1; k <= 8; ++k) {
            if (enqueue_command(
                    queue, step_from(QStringLiteral("%1/%2 ON").arg(address).arg(k)), false)
                == enqueue_result::full)
                ++full;
        }
    }
    QCOMPARE(queue.size(), max_queued_commands);
    QCOMPARE(full, 256 * 8 - int(max_queued_commands));
    // The off of a pulse is never refused.
    command_step off = step_from(QStringLiteral("1/1 pulse-off"));
    queue.push_back(off);
    QCOMPARE(enqueue_command(queue, step_from(QStringLiteral("0/1 OFF")), false),
        enqueue_result::replaced);
}

void tst_service::repeated_log_lines_data()
{
    // Events: "kind@ms" notes one (text "kind at ms"), "flush@ms" and
    // "all@ms" flush.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](const char *name, const QStringList &events, const QStringList &expected) {
        QTest::newRow(name) << events << expected;
    };
    // clang-format off
    row("first at once", { "a@0", "b@1" }, { "a at 0", "b at 1" });
    row("the rest counted", { "a@0", "a@1", "a@9999", "a@10000", "a@10001" },
        { "a at 0", "a at 10000; 2 more like it not logged" });
    row("flushed after the period", { "a@0", "a@5", "flush@9999", "flush@10000", "flush@30000" },
        { "a at 0", "a: 1 more not logged" });
    row("a flush starts a period", { "a@0", "a@5", "flush@10000", "a@10001", "a@20000" },
        { "a at 0", "a: 1 more not logged", "a at 20000; 1 more like it not logged" });
    row("all at once when stopping", { "a@0", "a@1", "b@2", "all@3" },
        { "a at 0", "b at 2", "a: 1 more not logged" });
    // clang-format on
}

void tst_service::repeated_log_lines()
{
    QFETCH(QStringList, events);
    QFETCH(QStringList, expected);
    log_summary summary;
    const log_summary::clock::time_point start {};
    QStringList lines;
    for (const QString &event : events) {
        const QString what = event.section(u'@', 0, 0);
        const auto now = start + std::chrono::milliseconds(event.section(u'@', 1).toInt());
        if (what == u"flush" || what == u"all")
            lines += summary.flush(now, what == u"all");
        else if (const auto line
            = summary.note(what, what + QStringLiteral(" at ") + event.section(u'@', 1), now))
            lines.append(*line);
    }
    QCOMPARE(lines, expected);
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
