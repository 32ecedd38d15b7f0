#include "service/payload.h"

#include "system/numbers.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace orvalin::service {

namespace {

std::optional<set_request::action> parse_action(QByteArrayView text, bool toggle_allowed)
{
    const QByteArray word = text.trimmed().toByteArray().toUpper();
    if (word == "ON")
        return set_request::action::on;
    if (word == "OFF")
        return set_request::action::off;
    if (word == "TOGGLE" && toggle_allowed)
        return set_request::action::toggle;
    return std::nullopt;
}

// A whole number in a topic level, stricter than the common form: only the
// way the service writes it (no leading zeros, no blanks), so that a module
// and an output have exactly one set topic each.
std::optional<int> canonical_number(QStringView text, int min, int max)
{
    const auto value = parse_whole(text, min, max);
    if (!value || text != QString::number(*value))
        return std::nullopt;
    return value;
}

} // namespace

std::optional<std::chrono::milliseconds> on_time_from_seconds(double seconds)
{
    if (!std::isfinite(seconds) || seconds <= 0 || seconds > double(max_on_time.count()))
        return std::nullopt;
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
}

set_request limit_on_time(set_request request, std::optional<std::chrono::milliseconds> limit)
{
    if (limit && request.what != set_request::action::off
        && (!request.on_time || *request.on_time > *limit))
        request.on_time = limit;
    return request;
}

std::optional<set_request> parse_set(const QByteArray &payload)
{
    if (const auto action = parse_action(payload, true))
        return set_request { *action, std::nullopt };
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key() != u"state" && it.key() != u"on_time")
            return std::nullopt;
    }
    const QJsonValue state = object.value(QLatin1String("state"));
    if (!state.isString())
        return std::nullopt;
    const auto action = parse_action(state.toString().toUtf8(), true);
    if (!action)
        return std::nullopt;
    set_request request { *action, std::nullopt };
    if (object.contains(QLatin1String("on_time"))) {
        const QJsonValue on_time = object.value(QLatin1String("on_time"));
        request.on_time = on_time_from_seconds(on_time.toDouble(-1));
        if (!on_time.isDouble() || *action != set_request::action::on || !request.on_time)
            return std::nullopt;
    }
    return request;
}

std::optional<set_request> parse_set_all(const QByteArray &payload)
{
    if (const auto action = parse_action(payload, false))
        return set_request { *action, std::nullopt };
    return std::nullopt;
}

std::optional<set_target> parse_set_topic(const QString &prefix, const QString &topic)
{
    if (!topic.startsWith(prefix + u'/'))
        return std::nullopt;
    const auto levels = QStringView(topic).sliced(prefix.size() + 1).split(u'/');
    if (levels.size() != 4 || levels[1] != u"output" || levels[3] != u"set")
        return std::nullopt;
    const auto address = canonical_number(levels[0], 0, 255);
    if (!address)
        return std::nullopt;
    if (levels[2] == u"all")
        return set_target { std::uint8_t(*address), 0 };
    const auto output = canonical_number(levels[2], 1, 8);
    if (!output)
        return std::nullopt;
    return set_target { std::uint8_t(*address), *output };
}

} // namespace orvalin::service
