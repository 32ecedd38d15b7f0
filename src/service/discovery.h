#pragma once

#include "names/name_file.h"
#include "service/config.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace orvalin::service {

// One message for the broker.
struct mqtt_message {
    QString topic;
    QByteArray payload;
    bool retained = false;

    bool operator==(const mqtt_message &) const = default;
};

// Where Home Assistant sends its users for help with this software.
inline constexpr char16_t support_url[] = u"https://orvalin.example.org/";

// The Home Assistant discovery configs, retained; none when discovery is off.
// One device for the service (a connectivity sensor on <prefix>/status) and
// one per configured module, behind the service's: a switch per output (an
// outlet when [homeassistant] outlets says so), a binary_sensor per input, a
// "pulse" button per output with a [safety] on_time, and diagnostics (the
// module's connectivity; reply time, timeouts and bad frames from its stats,
// off by default). names holds what read_channel_names gave for a module; a
// blank or missing name becomes "Output K" / "Input K". configuration_url:
// the service's web page, if it has one.
std::vector<mqtt_message> discovery_messages(const service_config &config,
    const std::map<std::uint8_t, channel_names> &names, const QString &configuration_url = {});

// The first part of every unique id: the prefix with characters other than
// letters, digits, _ and - as _.
QString discovery_node(const service_config &config);

} // namespace orvalin::service
