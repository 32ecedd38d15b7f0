#pragma once

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

// The names of one module's channels, [k - 1]; empty: not named.
struct channel_names {
    std::array<QString, 8> outputs;
    std::array<QString, 8> inputs;
};

// The Home Assistant discovery configs of every configured module: a switch
// per output, a binary_sensor per input, retained; none when discovery is
// off. A blank or missing name becomes "Output K" / "Input K".
std::vector<mqtt_message> discovery_messages(
    const service_config &config, const std::map<std::uint8_t, channel_names> &names);

// The names the name file gives the module's channels; all empty without a
// name file.
channel_names read_channel_names(const QString &names_file, std::uint8_t address);

} // namespace orvalin::service
