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

// The Home Assistant discovery configs of every configured module: a switch
// per output, a binary_sensor per input, retained; none when discovery is
// off. names holds what read_channel_names gave for a module; a blank or
// missing name becomes "Output K" / "Input K".
std::vector<mqtt_message> discovery_messages(
    const service_config &config, const std::map<std::uint8_t, channel_names> &names);

} // namespace orvalin::service
