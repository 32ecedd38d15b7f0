#pragma once

// src/web: the HTTP API (and later the page) of `orvalinctl serve`. The
// routes and the JSON are pure functions (this header); web_server joins
// them to the bridge on Qt HTTP Server. Includes src/service and below.

#include "names/name_file.h"
#include "service/command_queue.h"
#include "service/module_state.h"

#include <QByteArray>
#include <QJsonObject>
#include <QStringView>

#include <cstdint>

namespace orvalin::web {

// What a request asks for.
struct api_route {
    enum class kind {
        modules, // GET /api/modules
        module, // GET /api/modules/A
        output, // GET /api/modules/A/outputs/K
        set_output, // POST /api/modules/A/outputs/K, or .../outputs/all (output 0)
        rename, // PUT /api/modules/A/names/outK or .../inK (output K, input set)
        events, // GET /api/events
        page, // GET /, /app.js, /app.css: the page's part `output` (0, 1, 2)
        not_found,
        method_not_allowed,
    };
    kind what = kind::not_found;
    std::uint8_t address = 0;
    int output = 0;
    bool input = false; // rename: the channel is input `output`
};

// Numbers in paths are canonical decimal ("7", never "07" or "+7"), so one
// module has one address in URLs as in topics.
api_route route(QByteArrayView method, QStringView path);

// A module as the API shows it: address, availability ("online",
// "offline", "unknown" until its first poll's outcome: a reply, or
// link_loss_after polls without one), outputs and inputs with state ("ON",
// "OFF", "unknown") and name, and its counters.
QJsonObject module_json(
    const service::module_state &module, const channel_names &names, int link_loss_after);
QJsonObject output_json(const service::module_state &module, const channel_names &names, int k);

// The HTTP status for how a command ended, and its body.
struct api_answer {
    int status = 200;
    QJsonObject body;
};
api_answer outcome_answer(const service::command_outcome &outcome, int output);

// One whole HTTP/1.1 response.
QByteArray http_response(int status, const QByteArray &content_type, const QByteArray &body,
    const QByteArray &extra_headers = {});
QByteArray json_response(int status, const QJsonObject &body);
QByteArray error_response(int status, const QString &reason);

} // namespace orvalin::web
