// What the service takes from outside before it runs: set payloads and
// topics, and the config file with the files it names.
#include "service/config.h"
#include "service/payload.h"

#include <QDir>
#include <QHostInfo>
#include <QTemporaryDir>
#include <QTest>

#include <future>
#include <thread>
#include <tuple>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace orvalin;
using namespace orvalin::service;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(std::optional<set_request>)

class tst_service_config : public QObject {
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
};

void tst_service_config::set_payloads_data()
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

void tst_service_config::set_payloads()
{
    QFETCH(QByteArray, payload);
    QFETCH(std::optional<set_request>, expected);
    QCOMPARE(parse_set(payload), expected);
}

void tst_service_config::set_topics()
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

void tst_service_config::config_errors_data()
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
    row("pair list ends in a comma", line + "[safety]\ninterlock = 7/1+7/2,\n", 5, "no pair");
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

void tst_service_config::config_errors()
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

void tst_service_config::config_values()
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

void tst_service_config::config_files_data()
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
void tst_service_config::config_files()
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
        password.write(mode == 0600 ? "secret\r\n" : "secret\n"); // CRLF, as some editors leave it
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
        if (!result.config->password_file.isEmpty())
            QCOMPARE(result.config->password, QByteArray("secret"));
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

QTEST_GUILESS_MAIN(tst_service_config)
#include "tst_service_config.moc"
