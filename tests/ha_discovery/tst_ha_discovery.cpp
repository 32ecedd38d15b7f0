#include "service/cleanup.h"
#include "service/config.h"
#include "service/discovery.h"
#include "service/payload.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

using namespace orvalin;
using namespace orvalin::service;
using namespace std::chrono_literals;

namespace {

QStringList split(const char *words)
{
    return QString::fromLatin1(words).split(u' ', Qt::SkipEmptyParts);
}

// A config with every kind of entity: outlets, pulses, a prefix to sanitise.
service_config rich_config(const QString &prefix = QStringLiteral("Site-A/relays.1"))
{
    auto config = parse_config(QStringLiteral("[line]\nport = /dev/ttyUSB0\nmodules = 1, 7\n"
                                              "[mqtt]\nprefix = %1\n"
                                              "[homeassistant]\noutlets = 1/3, 7/5\n"
                                              "[safety]\non_time = 7/4:2.5, 1/1:0.5\n")
                                   .arg(prefix)
                                   .toUtf8(),
        "t.conf")
                      .config;
    return *config;
}

QJsonObject entity_of(const std::vector<mqtt_message> &messages, const QString &topic)
{
    for (const mqtt_message &m : messages)
        if (m.topic == topic)
            return QJsonDocument::fromJson(m.payload).object();
    return {};
}

// A dotted path into an object: "device.serial_number".
QJsonValue at(QJsonObject object, const QString &path)
{
    const QStringList keys = path.split(u'.');
    for (qsizetype i = 0; i + 1 < keys.size(); ++i)
        object = object.value(keys[i]).toObject();
    return object.value(keys.last());
}

} // namespace

class tst_ha_discovery : public QObject {
    Q_OBJECT

private slots:
    void home_assistant_rules_data();
    void home_assistant_rules();
    void device_details_data();
    void device_details();
    void left_over_topics_data();
    void left_over_topics();
    void collecting_is_bounded();
    void config_keys_data();
    void config_keys();
    void on_time_limit_data();
    void on_time_limit();
};

void tst_ha_discovery::home_assistant_rules_data()
{
    // What Home Assistant's MQTT discovery takes per entity type: the keys
    // it needs, the keys it knows (beyond the common ones), the device and
    // entity classes it accepts; and how many the rich config gives.
    QTest::addColumn<QString>("component");
    QTest::addColumn<QStringList>("required");
    QTest::addColumn<QStringList>("allowed");
    QTest::addColumn<QStringList>("device_classes");
    QTest::addColumn<QStringList>("categories");
    QTest::addColumn<int>("count");
    // clang-format off
    QTest::newRow("switch") << "switch" << split("command_topic")
        << split("state_topic payload_on payload_off state_on state_off device_class optimistic retain value_template command_template")
        << split("outlet switch") << split("config diagnostic") << 16;
    QTest::newRow("binary_sensor") << "binary_sensor" << split("state_topic")
        << split("payload_on payload_off device_class expire_after force_update off_delay value_template")
        << split("connectivity door opening window motion occupancy problem power running safety")
        << split("diagnostic") << 16 + 2 + 1;
    QTest::newRow("sensor") << "sensor" << split("state_topic")
        << split("device_class unit_of_measurement state_class value_template expire_after force_update suggested_display_precision")
        << split("duration") << split("diagnostic") << 2 * 3;
    QTest::newRow("button") << "button" << split("command_topic")
        << split("payload_press device_class retain command_template")
        << split("identify restart update") << split("config diagnostic") << 2;
    // clang-format on
}

void tst_ha_discovery::home_assistant_rules()
{
    QFETCH(QString, component);
    QFETCH(QStringList, required);
    QFETCH(QStringList, allowed);
    QFETCH(QStringList, device_classes);
    QFETCH(QStringList, categories);
    QFETCH(int, count);
    const QStringList common
        = split("unique_id default_entity_id name origin device availability "
                "availability_mode qos entity_category enabled_by_default icon");
    const QStringList device_keys = split("identifiers name model manufacturer sw_version "
                                          "serial_number configuration_url via_device");
    // Home Assistant's entity id: lower-case words joined by single _.
    const QRegularExpression entity_id(
        QStringLiteral("^%1\\.[a-z0-9]+(_[a-z0-9]+)*$").arg(component));
    const auto messages = discovery_messages(rich_config(), {}, "http://host:8080/");
    int seen = 0;
    QSet<QString> unique_ids;
    for (const mqtt_message &m : messages) {
        const QStringList levels = m.topic.split(u'/');
        QCOMPARE(levels.size(), 4);
        QVERIFY(m.retained);
        const QJsonObject entity = QJsonDocument::fromJson(m.payload).object();
        const QString unique_id = entity["unique_id"].toString();
        QVERIFY2(!unique_ids.contains(unique_id), qPrintable(unique_id));
        unique_ids.insert(unique_id);
        if (levels[1] != component)
            continue;
        ++seen;
        const QString what = m.topic + u' ' + QString::fromUtf8(m.payload);
        QCOMPARE(levels[2], unique_id);
        QVERIFY2(unique_id.startsWith(u"Site-A_relays_1_"), qPrintable(unique_id));
        for (const QString &key : required)
            QVERIFY2(entity.contains(key), qPrintable(key + u' ' + what));
        for (auto it = entity.begin(); it != entity.end(); ++it)
            QVERIFY2(common.contains(it.key()) || required.contains(it.key())
                    || allowed.contains(it.key()),
                qPrintable(it.key() + u' ' + what));
        if (entity.contains("device_class"))
            QVERIFY2(device_classes.contains(entity["device_class"].toString()), qPrintable(what));
        if (entity.contains("entity_category"))
            QVERIFY2(categories.contains(entity["entity_category"].toString()), qPrintable(what));
        if (entity["device_class"] == "duration")
            QVERIFY(split("d h min s ms").contains(entity["unit_of_measurement"].toString()));
        if (entity.contains("state_class"))
            QVERIFY(split("measurement total total_increasing")
                        .contains(entity["state_class"].toString()));
        QVERIFY2(
            entity_id.match(entity["default_entity_id"].toString()).hasMatch(), qPrintable(what));
        QVERIFY(!entity["name"].toString().isEmpty());
        const QJsonObject origin = entity["origin"].toObject();
        QCOMPARE(origin.keys(), split("name support_url sw_version"));
        const QJsonObject device = entity["device"].toObject();
        QVERIFY(!device["identifiers"].toArray().isEmpty());
        for (const QString &key : device.keys())
            QVERIFY2(device_keys.contains(key), qPrintable(key + u' ' + what));
        for (const QJsonValue &a : entity["availability"].toArray())
            QVERIFY(a.toObject().keys() == QStringList { "topic" });
    }
    QCOMPARE(seen, count);
    service_config off = rich_config();
    off.discovery = false;
    QVERIFY(discovery_messages(off, {}).empty());
}

void tst_ha_discovery::device_details_data()
{
    // One value in the config at topic (dotted path into it); an absent
    // value when expected is null.
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QJsonValue>("expected");
    const QString out3 = "homeassistant/switch/orvalin_1_out_3/config";
    const QString link7 = "homeassistant/binary_sensor/orvalin_7_connection/config";
    const QString service = "homeassistant/binary_sensor/orvalin_service/config";
    const QString reply7 = "homeassistant/sensor/orvalin_7_reply_time/config";
    const QString pulse = "homeassistant/button/orvalin_7_out_4_pulse/config";
    // clang-format off
    QTest::newRow("output state") << "" << out3 << "state_topic" << QJsonValue("orvalin/1/output/3");
    QTest::newRow("output command") << "" << out3 << "command_topic" << QJsonValue("orvalin/1/output/3/set");
    QTest::newRow("needs the module and the service") << "" << out3 << "availability_mode" << QJsonValue("all");
    QTest::newRow("input state") << "" << "homeassistant/binary_sensor/orvalin_7_in_8/config" << "state_topic" << QJsonValue("orvalin/7/input/8");
    QTest::newRow("name from the file") << "" << "homeassistant/switch/orvalin_7_out_1/config" << "name" << QJsonValue("a\"b\\c\n");
    QTest::newRow("blank output name") << "" << "homeassistant/switch/orvalin_7_out_2/config" << "name" << QJsonValue("Output 2");
    QTest::newRow("empty input name") << "" << "homeassistant/binary_sensor/orvalin_7_in_5/config" << "name" << QJsonValue("Input 5");
    QTest::newRow("default entity id") << "" << out3 << "default_entity_id" << QJsonValue("switch.orvalin_1_out_3");
    QTest::newRow("no object_id") << "" << out3 << "object_id" << QJsonValue();
    QTest::newRow("serial: address and line") << "" << out3 << "device.serial_number" << QJsonValue("1@/dev/ttyUSB0");
    QTest::newRow("behind the service") << "" << out3 << "device.via_device" << QJsonValue("orvalin_service");
    QTest::newRow("no web page") << "" << out3 << "device.configuration_url" << QJsonValue();
    QTest::newRow("web page") << "http://h:8080/" << out3 << "device.configuration_url" << QJsonValue("http://h:8080/");
    QTest::newRow("outlet") << "" << out3 << "device_class" << QJsonValue("outlet");
    QTest::newRow("plain switch") << "" << "homeassistant/switch/orvalin_1_out_2/config" << "device_class" << QJsonValue("switch");
    QTest::newRow("link from availability") << "" << link7 << "state_topic" << QJsonValue("orvalin/7/available");
    QTest::newRow("link offline payload") << "" << link7 << "payload_off" << QJsonValue("offline");
    QTest::newRow("link shown while the module is gone") << "" << link7 << "availability" << QJsonValue(QJsonArray { QJsonObject { { "topic", "orvalin/status" } } });
    QTest::newRow("reply time") << "" << reply7 << "value_template" << QJsonValue("{{ value_json.reply_ms_median }}");
    QTest::newRow("stats off by default") << "" << "homeassistant/sensor/orvalin_7_bad_frames/config" << "enabled_by_default" << QJsonValue(false);
    QTest::newRow("timeouts") << "" << "homeassistant/sensor/orvalin_1_timeouts/config" << "state_topic" << QJsonValue("orvalin/1/stats");
    QTest::newRow("service state") << "" << service << "state_topic" << QJsonValue("orvalin/status");
    QTest::newRow("service has no availability") << "" << service << "availability" << QJsonValue();
    QTest::newRow("pulse press") << "" << pulse << "payload_press" << QJsonValue(R"({"on_time":2.5,"state":"ON"})");
    QTest::newRow("pulse topic") << "" << pulse << "command_topic" << QJsonValue("orvalin/7/output/4/set");
    QTest::newRow("no pulse without on_time") << "" << "homeassistant/button/orvalin_7_out_3_pulse/config" << "unique_id" << QJsonValue();
    // clang-format on
}

void tst_ha_discovery::device_details()
{
    QFETCH(QString, url);
    QFETCH(QString, topic);
    QFETCH(QString, path);
    QFETCH(QJsonValue, expected);
    // Module 7's names as a hand-edited file may give them.
    channel_names names { names_found::section, QStringList(channels_per_kind),
        QStringList(channels_per_kind) };
    names.outputs[0] = "a\"b\\c\n";
    names.outputs[1] = " ";
    const auto messages = discovery_messages(rich_config("orvalin"), { { 7, names } }, url);
    const QJsonObject entity = entity_of(messages, topic);
    QVERIFY2(!entity.isEmpty() || expected.isUndefined() || expected.isNull(), qPrintable(topic));
    const QJsonValue value = at(entity, path);
    if (expected.isNull())
        QVERIFY2(value.isUndefined(), qPrintable(QJsonDocument(entity).toJson()));
    else
        QCOMPARE(value, expected);
}

void tst_ha_discovery::left_over_topics_data()
{
    // Modules 1 and 2 served, prefix orvalin: whether a retained message
    // seen after connecting is cleared.
    QTest::addColumn<bool>("discovery");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("retained");
    QTest::addColumn<bool>("cleared");
    const QByteArray ours = R"({"state_topic":"orvalin/7/output/3"})";
    const QByteArray served = R"({"state_topic":"orvalin/1/output/3"})";
    // clang-format off
    QTest::newRow("removed module's output") << true << "orvalin/7/output/3" << QByteArray("ON") << true << true;
    QTest::newRow("removed module's availability") << true << "orvalin/7/available" << QByteArray("online") << true << true;
    QTest::newRow("removed module's stats") << true << "orvalin/7/stats" << QByteArray("{}") << true << true;
    QTest::newRow("removed module's switch") << true << "homeassistant/switch/orvalin_7_out_3/config" << ours << true << true;
    QTest::newRow("removed module's diagnostic") << true << "homeassistant/sensor/orvalin_7_reply_time/config" << ours << true << true;
    QTest::newRow("live, not retained") << true << "orvalin/7/output/3" << QByteArray("ON") << false << false;
    QTest::newRow("served module's output") << true << "orvalin/1/output/3" << QByteArray("ON") << true << false;
    QTest::newRow("served module's availability") << true << "orvalin/2/available" << QByteArray("online") << true << false;
    QTest::newRow("served module's switch") << true << "homeassistant/switch/orvalin_1_out_3/config" << served << true << false;
    QTest::newRow("the service's own") << true << "homeassistant/binary_sensor/orvalin_service/config" << QByteArray(R"({"state_topic":"orvalin/status"})") << true << false;
    QTest::newRow("a pulse no longer configured") << true << "homeassistant/button/orvalin_1_out_4_pulse/config" << QByteArray(R"({"command_topic":"orvalin/1/output/4/set"})") << true << true;
    QTest::newRow("a longer prefix") << true << "orvalin2/7/output/3" << QByteArray("ON") << true << false;
    QTest::newRow("a set topic") << true << "orvalin/7/output/3/set" << QByteArray("ON") << true << false;
    QTest::newRow("an address not so written") << true << "orvalin/07/output/3" << QByteArray("ON") << true << false;
    QTest::newRow("no such output") << true << "orvalin/7/output/9" << QByteArray("ON") << true << false;
    QTest::newRow("another node's id") << true << "homeassistant/switch/orvalin_2_7_out_3/config" << QByteArray(R"({"state_topic":"orvalin_2/7/output/3"})") << true << false;
    QTest::newRow("same node, another prefix's payload") << true << "homeassistant/switch/orvalin_7_out_3/config" << QByteArray(R"({"state_topic":"orvalin.x/7/output/3"})") << true << false;
    QTest::newRow("a form never published") << true << "homeassistant/light/orvalin_7_out_3/config" << ours << true << false;
    QTest::newRow("an id of another form") << true << "homeassistant/switch/orvalin_7_relay/config" << ours << true << false;
    QTest::newRow("discovery off: served switch") << false << "homeassistant/switch/orvalin_1_out_3/config" << served << true << true;
    QTest::newRow("discovery off: states stay") << false << "orvalin/1/output/3" << QByteArray("ON") << true << false;
    // clang-format on
}

void tst_ha_discovery::left_over_topics()
{
    QFETCH(bool, discovery);
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(bool, retained);
    QFETCH(bool, cleared);
    service_config config;
    config.port = "/dev/ttyUSB0";
    config.modules = { 1, 2 };
    config.discovery = discovery;
    const auto topics = topics_to_clear(config, { { topic, payload, retained } });
    QCOMPARE(topics.size(), cleared ? 1u : 0u);
}

void tst_ha_discovery::collecting_is_bounded()
{
    service_config config;
    config.modules = { 1 };
    cleanup_collector collector(config);
    QVERIFY(!collector.take("orvalin/7/available", "online", true)); // not collecting yet
    collector.begin();
    int lines = 0, offered = 0;
    for (const char *component : { "switch", "binary_sensor", "sensor", "button" }) {
        for (int address = 2; address <= 255; ++address) {
            for (int k = 1; k <= 16; ++k) {
                const QString topic = QStringLiteral("homeassistant/%1/orvalin_%2_%3_%4/config")
                                          .arg(QLatin1String(component))
                                          .arg(address)
                                          .arg(k > 8 ? "in" : "out")
                                          .arg((k - 1) % 8 + 1);
                ++offered;
                lines += collector.take(topic, R"({"state_topic":"orvalin/9/output/1"})", true) ? 1
                                                                                                : 0;
                // The same again is no second one.
                collector.take(topic, R"({"state_topic":"orvalin/9/output/1"})", true);
            }
        }
    }
    QVERIFY(offered > cleanup_collector::max_topics);
    QCOMPARE(lines, 1);
    QCOMPARE(collector.finish().size(), cleanup_collector::max_topics);
    QVERIFY(!collector.collecting());
}

void tst_ha_discovery::config_keys_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("line"); // of the error; 0: accepted
    QTest::addColumn<QString>("message");
    const QByteArray head = "[line]\nport = x\nmodules = 1, 2\n";
    // clang-format off
    QTest::newRow("outlets") << head + "[homeassistant]\noutlets = 1/3, 2/5\n" << 0 << "";
    QTest::newRow("outlet of no module") << head + "[homeassistant]\noutlets = 1/3, 9/5\n" << 5 << "module 9 is not in [line] modules";
    QTest::newRow("outlet out of range") << head + "[homeassistant]\n\noutlets = 1/9\n" << 6 << "\"1/9\" is no output like 1/3";
    QTest::newRow("outlet twice") << head + "[homeassistant]\noutlets = 1/3, 1/3\n" << 5 << "given twice";
    QTest::newRow("outlets before modules") << QByteArray("[homeassistant]\noutlets = 2/1\n[line]\nport = x\nmodules = 2\n") << 0 << "";
    QTest::newRow("on_time") << head + "[safety]\non_time = 1/4:2.5, 2/1:0.5\n" << 0 << "";
    QTest::newRow("on_time of no module") << head + "[safety]\non_time = 3/4:2\n" << 5 << "module 3 is not in [line] modules";
    QTest::newRow("on_time output 0") << head + "[safety]\non_time = 1/0:2\n" << 5 << "is no output like 1/4:2.5";
    QTest::newRow("on_time without seconds") << head + "[safety]\non_time = 1/4\n" << 5 << "no output:seconds";
    QTest::newRow("on_time zero") << head + "[safety]\non_time = 1/4:0\n" << 5 << "more than 0";
    QTest::newRow("on_time too long") << head + "[safety]\non_time = 1/4:1000001\n" << 5 << "at most 1000000";
    QTest::newRow("on_time not a number") << head + "[safety]\non_time = 1/4:nan\n" << 5 << "more than 0";
    QTest::newRow("on_time twice") << head + "[safety]\non_time = 1/4:1, 1/4:2\n" << 5 << "given twice";
    // clang-format on
}

void tst_ha_discovery::config_keys()
{
    QFETCH(QByteArray, text);
    QFETCH(int, line);
    QFETCH(QString, message);
    const auto result = parse_config(text, "t.conf");
    if (line == 0) {
        QVERIFY2(result.config, qPrintable(result.error.text()));
        const service_config &config = *result.config;
        if (text.contains("outlets = 1/3")) {
            QVERIFY(config.is_outlet(1, 3) && config.is_outlet(2, 5) && !config.is_outlet(1, 5));
        }
        if (text.contains("on_time")) {
            QCOMPARE(config.on_time_of(1, 4), std::optional(2500ms));
            QCOMPARE(config.on_time_of(2, 1), std::optional(500ms));
            QCOMPARE(config.on_time_of(2, 4), std::nullopt);
        }
        return;
    }
    QVERIFY(!result.config);
    QVERIFY2(result.error.message.contains(message), qPrintable(result.error.text()));
    QCOMPARE(result.error.line, line);
}

void tst_ha_discovery::on_time_limit_data()
{
    using action = set_request::action;
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("limit_ms"); // 0: none
    QTest::addColumn<int>("on_time_ms"); // 0: none
    QTest::addColumn<int>("what");
    // clang-format off
    QTest::newRow("ON gets the limit") << QByteArray("ON") << 2500 << 2500 << int(action::on);
    QTest::newRow("a longer on_time is cut") << QByteArray(R"({"state":"ON","on_time":10})") << 2500 << 2500 << int(action::on);
    QTest::newRow("a shorter on_time stays") << QByteArray(R"({"state":"ON","on_time":1})") << 2500 << 1000 << int(action::on);
    QTest::newRow("TOGGLE may switch on") << QByteArray("TOGGLE") << 500 << 500 << int(action::toggle);
    QTest::newRow("OFF stays plain") << QByteArray("OFF") << 500 << 0 << int(action::off);
    QTest::newRow("no limit") << QByteArray("ON") << 0 << 0 << int(action::on);
    // clang-format on
}

void tst_ha_discovery::on_time_limit()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, limit_ms);
    QFETCH(int, on_time_ms);
    QFETCH(int, what);
    const auto request = parse_set(payload);
    QVERIFY(request);
    const set_request limited = limit_on_time(
        *request, limit_ms ? std::optional(std::chrono::milliseconds(limit_ms)) : std::nullopt);
    QCOMPARE(int(limited.what), what);
    QCOMPARE(limited.on_time,
        on_time_ms ? std::optional(std::chrono::milliseconds(on_time_ms)) : std::nullopt);
}

QTEST_GUILESS_MAIN(tst_ha_discovery)
#include "tst_ha_discovery.moc"
