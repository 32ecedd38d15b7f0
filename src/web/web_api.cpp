#include "web/web_api.h"

#include "system/numbers.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace orvalin::web {

namespace {

using service::module_state;

std::optional<int> canonical(QStringView text, int max)
{
    const auto number = parse_whole(text, 0, max);
    if (!number || QString::number(*number) != text)
        return std::nullopt;
    return number;
}

QString state_text(const module_state &module, bool input, int k)
{
    if (!module.last)
        return QStringLiteral("unknown");
    const bool on = input ? module.last->input(k) : module.last->output(k);
    return on ? QStringLiteral("ON") : QStringLiteral("OFF");
}

QJsonObject channel_json(const module_state &module, const channel_names &names, bool input, int k)
{
    const QStringList &list = input ? names.inputs : names.outputs;
    return { { input ? QStringLiteral("input") : QStringLiteral("output"), k },
        { QStringLiteral("state"), state_text(module, input, k) },
        { QStringLiteral("name"), list.value(k - 1) } };
}

const char *reason_phrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 413:
        return "Payload Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Error";
    }
}

} // namespace

api_route route(QByteArrayView method, QStringView path)
{
    using kind = api_route::kind;
    static const QStringView page[] = { u"/", u"/app.js", u"/app.css" };
    for (int part = 0; part < int(std::size(page)); ++part)
        if (path == page[part])
            return method == "GET" ? api_route { kind::page, 0, part }
                                   : api_route { kind::method_not_allowed };
    const auto parts = path.split(u'/');
    // "", "api", "modules", A, "outputs", K
    if (parts.size() < 3 || !parts[0].isEmpty() || parts[1] != u"api")
        return {};
    const bool get = method == "GET", post = method == "POST";
    const auto only = [&](bool allowed, api_route found) {
        return allowed ? found : api_route { kind::method_not_allowed };
    };
    if (parts.size() == 3 && parts[2] == u"events")
        return only(get, { kind::events });
    if (parts[2] != u"modules")
        return {};
    if (parts.size() == 3)
        return only(get, { kind::modules });
    const auto address = canonical(parts[3], 255);
    if (!address)
        return {};
    const auto a = std::uint8_t(*address);
    if (parts.size() == 4)
        return only(get, { kind::module, a });
    if (parts.size() == 6 && parts[4] == u"names") {
        const bool input = parts[5].startsWith(u"in");
        const auto k = input || parts[5].startsWith(u"out")
            ? canonical(parts[5].sliced(input ? 2 : 3), channels_per_kind)
            : std::nullopt;
        if (!k || *k < 1)
            return {};
        return only(method == "PUT", { kind::rename, a, *k, input });
    }
    if (parts.size() != 6 || parts[4] != u"outputs")
        return {};
    if (parts[5] == u"all")
        return only(post, { kind::set_output, a, 0 });
    const auto k = canonical(parts[5], channels_per_kind);
    if (!k || *k < 1)
        return {};
    if (post)
        return { kind::set_output, a, *k };
    return only(get, { kind::output, a, *k });
}

QJsonObject module_json(const module_state &module, const channel_names &names, int link_loss_after)
{
    QJsonArray outputs, inputs;
    for (int k = 1; k <= channels_per_kind; ++k) {
        outputs.append(channel_json(module, names, false, k));
        inputs.append(channel_json(module, names, true, k));
    }
    const QString availability
        = module.link == service::link_state::never_answered && module.missed < link_loss_after
        ? QStringLiteral("unknown")
        : module.online() ? QStringLiteral("online")
                          : QStringLiteral("offline");
    return { { QStringLiteral("address"), module.address },
        { QStringLiteral("availability"), availability }, { QStringLiteral("outputs"), outputs },
        { QStringLiteral("inputs"), inputs },
        { QStringLiteral("stats"),
            QJsonObject { { QStringLiteral("exchanges"), module.exchanges },
                { QStringLiteral("replies"), module.replies },
                { QStringLiteral("timeouts"), module.timeouts },
                { QStringLiteral("bad_frames"), module.bad_frames } } } };
}

QJsonObject output_json(const module_state &module, const channel_names &names, int k)
{
    QJsonObject object = channel_json(module, names, false, k);
    object.insert(QStringLiteral("address"), module.address);
    return object;
}

api_answer outcome_answer(const service::command_outcome &outcome, int output)
{
    using kind = service::command_outcome::kind;
    if (outcome.what == kind::confirmed) {
        QJsonObject body { { QStringLiteral("address"), outcome.status->address } };
        if (output > 0)
            body.insert(QStringLiteral("output"), output);
        QJsonArray states;
        for (int k = 1; k <= channels_per_kind; ++k)
            if (output == 0 || output == k)
                states.append(
                    outcome.status->output(k) ? QStringLiteral("ON") : QStringLiteral("OFF"));
        body.insert(QStringLiteral("state"), output > 0 ? states.at(0) : QJsonValue(states));
        return { 200, body };
    }
    const int status = outcome.what == kind::unavailable ? 503
        : outcome.what == kind::unconfirmed              ? 504
                                                         : 409;
    return { status, { { QStringLiteral("error"), outcome.reason } } };
}

QByteArray http_response(int status, const QByteArray &content_type, const QByteArray &body,
    const QByteArray &extra_headers)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason_phrase(status)
        + "\r\nContent-Type: " + content_type
        + "\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n" + extra_headers
        + "\r\n" + body;
}

QByteArray json_response(int status, const QJsonObject &body)
{
    return http_response(
        status, "application/json", QJsonDocument(body).toJson(QJsonDocument::Compact));
}

QByteArray error_response(int status, const QString &reason)
{
    return json_response(status, { { QStringLiteral("error"), reason } });
}

} // namespace orvalin::web
