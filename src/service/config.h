#pragma once

#include "service/http_settings.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

namespace orvalin::service {

// Two outputs of one module that must never be on together.
struct interlock_pair {
    std::uint8_t address = 0;
    int first = 0; // output 1..8
    int second = 0;
};

// An output that Home Assistant shows as a socket.
struct outlet {
    std::uint8_t address = 0;
    int output = 0; // 1..8
};

// The longest an output may stay on after one ON.
struct on_time_limit {
    std::uint8_t address = 0;
    int output = 0; // 1..8
    std::chrono::milliseconds on_time {};
};

enum class link_loss_action { keep, all_off };

// Everything `orvalinctl serve` is told by its config file, checked once.
struct service_config {
    // [line]
    QString port;
    QList<std::uint8_t> modules;
    // The shortest time between two polls of one module.
    std::chrono::milliseconds interval { 50 };
    // Waited for a reply beyond the time the exchange takes on the line.
    std::chrono::milliseconds reply_timeout { 20 };
    // One poll per interval for the whole line, as the service once did;
    // set only by the benchmark that compares the two schedules.
    bool one_poll_per_interval = false;
    // [mqtt]: on when the section is given, or when [http] is not (a
    // config of the line alone bridges to the broker on this machine).
    bool mqtt = true;
    QString host = QStringLiteral("localhost");
    int mqtt_port = 0; // 0: 1883, or 8883 with TLS
    QString client_id; // empty: the broker's library picks one
    QString username;
    QString password_file;
    QByteArray password; // read from password_file at start
    QString tls_ca;
    QString prefix = QStringLiteral("orvalin");
    // [homeassistant]
    bool discovery = true;
    QString discovery_prefix = QStringLiteral("homeassistant");
    QList<outlet> outlets;
    // [http]
    http_settings http;
    // [names]
    QString names_file;
    // [safety]
    int link_loss_after = 6;
    link_loss_action on_link_loss = link_loss_action::keep;
    QList<interlock_pair> interlock;
    std::chrono::milliseconds interlock_delay { 100 };
    QList<on_time_limit> on_time_limits;

    // The line each "section/key" was given on, for messages about the files
    // the config names.
    QHash<QString, int> key_lines;

    bool is_outlet(std::uint8_t address, int output) const;
    // The [safety] on_time of an output, if it has one.
    std::optional<std::chrono::milliseconds> on_time_of(std::uint8_t address, int output) const;

    int broker_port() const { return mqtt_port ? mqtt_port : (tls_ca.isEmpty() ? 1883 : 8883); }
};

// Where and why a config was refused.
struct config_error {
    QString file;
    int line = 0; // 0: the file as a whole
    QString message;

    // "FILE:LINE: message", as compilers put it.
    QString text() const;
};

struct config_result {
    std::optional<service_config> config;
    config_error error; // set when config is empty
    // Things that work but should not be so, each said once at start.
    QList<config_error> warnings = {};
};

// Parses and validates config text (UTF-8; "[section]", "key = value",
// comments starting with "#" or ";"). file names the text in errors and is
// where relative paths inside it are taken from. Unknown sections or keys, a
// key given twice, a bad value or a missing required key ([line] port and
// modules) refuse the whole config. Files it names are not read.
config_result parse_config(const QByteArray &text, const QString &file);

// Reads file and parses it, reads the password file and checks that the
// name file and TLS CA file it names can be read. Each of them must be a
// regular file: anything else (a FIFO, a device, a folder) is refused
// without waiting on it. A password file that every user may read is a
// warning.
config_result load_config(const QString &file);

} // namespace orvalin::service
