#include "service/discovery.h"

#include "names/name_file.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace orvalin::service {

std::vector<mqtt_message> discovery_messages(
    const service_config &config, const std::map<std::uint8_t, channel_names> &names)
{
    std::vector<mqtt_message> messages;
    if (!config.discovery)
        return messages;
    // Object ids allow letters, digits, _ and - only.
    QString node = config.prefix;
    node.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
    const QString status_topic = config.prefix + QStringLiteral("/status");
    for (const auto module : config.modules) {
        const QString address = QString::number(module);
        const QString module_topic = config.prefix + u'/' + address + u'/';
        const auto named = names.find(module);
        const QJsonObject device {
            { QStringLiteral("identifiers"), QJsonArray { node + u'_' + address } },
            { QStringLiteral("name"), QStringLiteral("Orvalin module ") + address },
            { QStringLiteral("model"), QStringLiteral("Relay module, 8 outputs, 8 inputs") },
            { QStringLiteral("manufacturer"), QStringLiteral("Orvalin") },
        };
        const QJsonArray availability {
            QJsonObject { { QStringLiteral("topic"), status_topic } },
            QJsonObject { { QStringLiteral("topic"), module_topic + QStringLiteral("available") } },
        };
        for (const channel c : all_channels()) {
            const bool input = !c.is_output();
            const QString channel = QString::number(c.number);
            QString name;
            if (named != names.end() && named->second.found == names_found::section)
                name = named->second.name(c);
            if (name.trimmed().isEmpty())
                name = (input ? QStringLiteral("Input ") : QStringLiteral("Output ")) + channel;
            const QString object_id
                = QStringLiteral("%1_%2_%3_%4").arg(node, address, input ? u"in" : u"out", channel);
            const QString state
                = module_topic + QStringLiteral("%1/%2").arg(input ? u"input" : u"output", channel);
            QJsonObject entity {
                { QStringLiteral("unique_id"), object_id },
                { QStringLiteral("name"), name },
                { QStringLiteral("device"), device },
                { QStringLiteral("availability"), availability },
                { QStringLiteral("availability_mode"), QStringLiteral("all") },
                { QStringLiteral("state_topic"), state },
                { QStringLiteral("payload_on"), QStringLiteral("ON") },
                { QStringLiteral("payload_off"), QStringLiteral("OFF") },
                { QStringLiteral("qos"), 1 },
            };
            if (!input) {
                entity[QStringLiteral("command_topic")] = state + QStringLiteral("/set");
                entity[QStringLiteral("state_on")] = QStringLiteral("ON");
                entity[QStringLiteral("state_off")] = QStringLiteral("OFF");
            }
            messages.push_back({ QStringLiteral("%1/%2/%3/config")
                                     .arg(config.discovery_prefix,
                                         input ? u"binary_sensor" : u"switch", object_id),
                QJsonDocument(entity).toJson(QJsonDocument::Compact), true });
        }
    }
    return messages;
}

} // namespace orvalin::service
