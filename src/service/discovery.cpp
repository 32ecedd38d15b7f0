#include "service/discovery.h"

#include "names/name_file.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace orvalin::service {

namespace {

// Entity ids are lower-case letters, digits and single inner underscores.
QString entity_slug(const QString &object_id)
{
    QString slug = object_id.toLower();
    slug.replace(QRegularExpression(QStringLiteral("[^a-z0-9]+")), QStringLiteral("_"));
    slug.replace(QRegularExpression(QStringLiteral("^_+|_+$")), QString());
    return slug.isEmpty() ? QStringLiteral("orvalin") : slug;
}

// What every config of one service shares, and how one is put together.
struct builder {
    const service_config &config;
    QString node;
    QJsonObject origin;
    std::vector<mqtt_message> messages;

    void add(const QString &component, const QString &object_id, QJsonObject entity)
    {
        entity[QStringLiteral("unique_id")] = object_id;
        entity[QStringLiteral("default_entity_id")] = component + u'.' + entity_slug(object_id);
        entity[QStringLiteral("origin")] = origin;
        messages.push_back(
            { QStringLiteral("%1/%2/%3/config").arg(config.discovery_prefix, component, object_id),
                QJsonDocument(entity).toJson(QJsonDocument::Compact), true });
    }
};

QJsonArray availability_of(const QStringList &topics)
{
    QJsonArray list;
    for (const QString &topic : topics)
        list.append(QJsonObject { { QStringLiteral("topic"), topic } });
    return list;
}

} // namespace

QString discovery_node(const service_config &config)
{
    QString node = config.prefix;
    node.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
    return node;
}

std::vector<mqtt_message> discovery_messages(const service_config &config,
    const std::map<std::uint8_t, channel_names> &names, const QString &configuration_url)
{
    if (!config.discovery)
        return {};
    const QString version = QStringLiteral(ORVALIN_VERSION);
    builder out { config, discovery_node(config),
        QJsonObject {
            { QStringLiteral("name"), QStringLiteral("Orvalin") },
            { QStringLiteral("sw_version"), version },
            { QStringLiteral("support_url"), QString::fromUtf16(support_url) },
        },
        {} };
    const QString status_topic = config.prefix + QStringLiteral("/status");
    const QString service_id = out.node + QStringLiteral("_service");
    const auto device_of
        = [&](const QString &id, const QString &name, const QString &model, const QString &serial) {
              QJsonObject device {
                  { QStringLiteral("identifiers"), QJsonArray { id } },
                  { QStringLiteral("name"), name },
                  { QStringLiteral("model"), model },
                  { QStringLiteral("manufacturer"), QStringLiteral("Orvalin") },
                  { QStringLiteral("sw_version"), version },
                  { QStringLiteral("serial_number"), serial },
              };
              if (!configuration_url.isEmpty())
                  device[QStringLiteral("configuration_url")] = configuration_url;
              return device;
          };
    const QJsonObject diagnostic {
        { QStringLiteral("entity_category"), QStringLiteral("diagnostic") },
        { QStringLiteral("qos"), 1 },
    };

    // The service: its own connectivity says when it is gone, so it has no
    // availability of its own.
    QJsonObject service = diagnostic;
    service[QStringLiteral("name")] = QStringLiteral("Connection");
    service[QStringLiteral("device")]
        = device_of(service_id, QStringLiteral("Orvalin service ") + config.prefix,
            QStringLiteral("orvalinctl serve"), config.port);
    service[QStringLiteral("device_class")] = QStringLiteral("connectivity");
    service[QStringLiteral("state_topic")] = status_topic;
    service[QStringLiteral("payload_on")] = QStringLiteral("online");
    service[QStringLiteral("payload_off")] = QStringLiteral("offline");
    out.add(QStringLiteral("binary_sensor"), service_id, service);

    for (const auto module : config.modules) {
        const QString address = QString::number(module);
        const QString module_topic = config.prefix + u'/' + address + u'/';
        const QString id = out.node + u'_' + address;
        QJsonObject device = device_of(id, QStringLiteral("Orvalin module ") + address,
            QStringLiteral("Relay module, 8 outputs, 8 inputs"), address + u'@' + config.port);
        device[QStringLiteral("via_device")] = service_id;
        // Controls follow the module's link; diagnostics only the service's,
        // so that a lost module still shows as disconnected.
        const QJsonObject controls {
            { QStringLiteral("device"), device },
            { QStringLiteral("availability"),
                availability_of({ status_topic, module_topic + QStringLiteral("available") }) },
            { QStringLiteral("availability_mode"), QStringLiteral("all") },
            { QStringLiteral("qos"), 1 },
        };
        QJsonObject diagnostics = diagnostic;
        diagnostics[QStringLiteral("device")] = device;
        diagnostics[QStringLiteral("availability")] = availability_of({ status_topic });

        const auto named = names.find(module);
        for (const channel c : all_channels()) {
            const bool input = !c.is_output();
            const QString channel = QString::number(c.number);
            QString name;
            if (named != names.end() && named->second.found == names_found::section)
                name = named->second.name(c);
            if (name.trimmed().isEmpty())
                name = (input ? QStringLiteral("Input ") : QStringLiteral("Output ")) + channel;
            const QString object_id
                = id + (input ? QStringLiteral("_in_") : QStringLiteral("_out_")) + channel;
            const QString state = module_topic
                + (input ? QStringLiteral("input/") : QStringLiteral("output/")) + channel;
            QJsonObject entity = controls;
            entity[QStringLiteral("name")] = name;
            entity[QStringLiteral("state_topic")] = state;
            entity[QStringLiteral("payload_on")] = QStringLiteral("ON");
            entity[QStringLiteral("payload_off")] = QStringLiteral("OFF");
            if (input) {
                out.add(QStringLiteral("binary_sensor"), object_id, entity);
                continue;
            }
            entity[QStringLiteral("command_topic")] = state + QStringLiteral("/set");
            entity[QStringLiteral("state_on")] = QStringLiteral("ON");
            entity[QStringLiteral("state_off")] = QStringLiteral("OFF");
            entity[QStringLiteral("device_class")] = config.is_outlet(module, c.number)
                ? QStringLiteral("outlet")
                : QStringLiteral("switch");
            out.add(QStringLiteral("switch"), object_id, entity);
            if (const auto on_time = config.on_time_of(module, c.number)) {
                QJsonObject button = controls;
                button[QStringLiteral("name")] = name + QStringLiteral(" pulse");
                button[QStringLiteral("command_topic")] = state + QStringLiteral("/set");
                button[QStringLiteral("payload_press")] = QString::fromUtf8(QJsonDocument(
                    QJsonObject { { QStringLiteral("state"), QStringLiteral("ON") },
                        { QStringLiteral("on_time"),
                            double(on_time->count()) / 1000 } }).toJson(QJsonDocument::Compact));
                out.add(QStringLiteral("button"), object_id + QStringLiteral("_pulse"), button);
            }
        }

        QJsonObject link = diagnostics;
        link[QStringLiteral("name")] = QStringLiteral("Connection");
        link[QStringLiteral("device_class")] = QStringLiteral("connectivity");
        link[QStringLiteral("state_topic")] = module_topic + QStringLiteral("available");
        link[QStringLiteral("payload_on")] = QStringLiteral("online");
        link[QStringLiteral("payload_off")] = QStringLiteral("offline");
        out.add(QStringLiteral("binary_sensor"), id + QStringLiteral("_connection"), link);

        // From <prefix>/A/stats, every 10 s.
        const struct {
            const char *suffix, *name, *field;
            bool time;
        } stats[] = {
            { "_reply_time", "Reply time", "reply_ms_median", true },
            { "_timeouts", "Timeouts", "timeouts", false },
            { "_bad_frames", "Bad frames", "bad_frames", false },
        };
        for (const auto &s : stats) {
            QJsonObject sensor = diagnostics;
            sensor[QStringLiteral("name")] = QLatin1String(s.name);
            sensor[QStringLiteral("state_topic")] = module_topic + QStringLiteral("stats");
            sensor[QStringLiteral("value_template")]
                = QStringLiteral("{{ value_json.%1 }}").arg(QLatin1String(s.field));
            sensor[QStringLiteral("enabled_by_default")] = false;
            if (s.time) {
                sensor[QStringLiteral("device_class")] = QStringLiteral("duration");
                sensor[QStringLiteral("unit_of_measurement")] = QStringLiteral("ms");
                sensor[QStringLiteral("state_class")] = QStringLiteral("measurement");
            } else {
                // Counts since the service started.
                sensor[QStringLiteral("state_class")] = QStringLiteral("total_increasing");
            }
            out.add(QStringLiteral("sensor"), id + QLatin1String(s.suffix), sensor);
        }
    }
    return std::move(out.messages);
}

} // namespace orvalin::service
