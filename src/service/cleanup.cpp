#include "service/cleanup.h"

#include "system/numbers.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace orvalin::service {

namespace {

// Only numbers as the service writes them, so nothing else is taken for its.
bool canonical(QStringView text, int min, int max)
{
    const auto value = parse_whole(text, min, max);
    return value && text == QString::number(*value);
}

} // namespace

cleanup_filter::cleanup_filter(const service_config &config)
    : config_(config)
    , node_(discovery_node(config))
{
    for (const mqtt_message &message : discovery_messages(config, {}))
        published_.insert(message.topic);
}

QStringList cleanup_filter::subscriptions() const
{
    const QString &p = config_.prefix;
    return { p + QStringLiteral("/+/available"), p + QStringLiteral("/+/stats"),
        p + QStringLiteral("/+/output/+"), p + QStringLiteral("/+/input/+"),
        config_.discovery_prefix + QStringLiteral("/+/+/config") };
}

bool cleanup_filter::covers(const QString &topic) const
{
    const QStringList filters = subscriptions();
    return std::any_of(filters.begin(), filters.end(),
        [&](const QString &filter) { return topic_matches(filter, topic); });
}

bool cleanup_filter::clears(const QString &topic, const QByteArray &payload) const
{
    return module_topic_left_over(topic) || config_left_over(topic, payload);
}

bool cleanup_filter::module_topic_left_over(const QString &topic) const
{
    if (!topic.startsWith(config_.prefix + u'/'))
        return false;
    const auto levels = QStringView(topic).sliced(config_.prefix.size() + 1).split(u'/');
    if (levels.isEmpty() || !canonical(levels[0], 0, 255)
        || config_.modules.contains(std::uint8_t(levels[0].toInt())))
        return false;
    if (levels.size() == 2)
        return levels[1] == u"available" || levels[1] == u"stats";
    return levels.size() == 3 && (levels[1] == u"output" || levels[1] == u"input")
        && canonical(levels[2], 1, 8);
}

bool cleanup_filter::config_left_over(const QString &topic, const QByteArray &payload) const
{
    if (published_.contains(topic) || !topic.startsWith(config_.discovery_prefix + u'/'))
        return false;
    const auto levels = QStringView(topic).sliced(config_.discovery_prefix.size() + 1).split(u'/');
    static const QStringList components { QStringLiteral("switch"), QStringLiteral("binary_sensor"),
        QStringLiteral("sensor"), QStringLiteral("button") };
    if (levels.size() != 3 || levels[2] != u"config" || !components.contains(levels[0]))
        return false;
    // Every form of object id the service publishes, and only those.
    const QRegularExpression forms(QStringLiteral("^%1_(service|(0|[1-9][0-9]{0,2})_(out_[1-8]"
                                                  "(_pulse)?|in_[1-8]|connection|reply_time|"
                                                  "timeouts|bad_frames))$")
                                       .arg(QRegularExpression::escape(node_)));
    if (!forms.match(levels[1]).hasMatch())
        return false;
    // Another service whose prefix gives the same node keeps its own.
    const QJsonObject entity = QJsonDocument::fromJson(payload).object();
    const QString own = config_.prefix + u'/';
    return entity.value(QLatin1String("state_topic")).toString().startsWith(own)
        || entity.value(QLatin1String("command_topic")).toString().startsWith(own);
}

std::vector<QString> topics_to_clear(
    const service_config &config, const std::vector<mqtt_message> &seen)
{
    const cleanup_filter filter(config);
    std::vector<QString> topics;
    for (const mqtt_message &message : seen)
        if (message.retained && filter.covers(message.topic)
            && filter.clears(message.topic, message.payload))
            topics.push_back(message.topic);
    return topics;
}

std::optional<QString> cleanup_collector::take(
    const QString &topic, const QByteArray &payload, bool retained)
{
    if (!collecting_ || !retained || seen_.contains(topic) || !filter_.clears(topic, payload))
        return std::nullopt;
    if (topics_.size() >= max_topics) {
        if (std::exchange(full_, true))
            return std::nullopt;
        return QStringLiteral("mqtt: more than %1 retained topics left over; the rest stay")
            .arg(max_topics);
    }
    seen_.insert(topic);
    topics_.append(topic);
    return std::nullopt;
}

QStringList cleanup_collector::finish()
{
    collecting_ = false;
    seen_.clear();
    return std::exchange(topics_, {});
}

bool topic_matches(const QString &filter, const QString &topic)
{
    const auto wanted = QStringView(filter).split(u'/');
    const auto levels = QStringView(topic).split(u'/');
    for (qsizetype i = 0; i < wanted.size(); ++i) {
        if (wanted[i] == u"#")
            return true;
        if (i >= levels.size() || (wanted[i] != u"+" && wanted[i] != levels[i]))
            return false;
    }
    return wanted.size() == levels.size();
}

} // namespace orvalin::service
