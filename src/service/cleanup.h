#pragma once

#include "service/config.h"
#include "service/discovery.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace orvalin::service {

// Which retained topics of this service's own are left over from an older
// config: the states, availability and stats of modules it no longer serves,
// and the discovery configs it no longer publishes (every one when discovery
// is off). Its own: under [mqtt] prefix, or under the discovery prefix with
// an object id of this service's node, in the forms it publishes, and a
// payload whose state or command topic lies under [mqtt] prefix.
class cleanup_filter {
public:
    explicit cleanup_filter(const service_config &config);

    // What to subscribe to for the retained topics; none overlaps the set
    // topics or Home Assistant's status.
    QStringList subscriptions() const;
    // topic matches one of subscriptions().
    bool covers(const QString &topic) const;
    // A retained message seen: true when its topic is to be cleared.
    bool clears(const QString &topic, const QByteArray &payload) const;

private:
    bool module_topic_left_over(const QString &topic) const;
    bool config_left_over(const QString &topic, const QByteArray &payload) const;

    service_config config_;
    QString node_;
    QSet<QString> published_; // the discovery configs of this config
};

// The topics of seen (retained messages) that cleanup_filter clears, in order.
std::vector<QString> topics_to_clear(
    const service_config &config, const std::vector<mqtt_message> &seen);

// Collects, for a while after subscribing, the retained topics to clear;
// at most max_topics of them.
class cleanup_collector {
public:
    static constexpr int max_topics = 10000;

    explicit cleanup_collector(const service_config &config)
        : filter_(config)
    {
    }

    const cleanup_filter &filter() const { return filter_; }
    void begin() { collecting_ = true; }
    // A message on a topic the filter covers; a line to log when the bound
    // is first reached.
    std::optional<QString> take(const QString &topic, const QByteArray &payload, bool retained);
    // Ends collecting: the topics to clear.
    QStringList finish();
    bool collecting() const { return collecting_; }

private:
    cleanup_filter filter_;
    QStringList topics_;
    QSet<QString> seen_;
    bool collecting_ = false;
    bool full_ = false;
};

// Whether an MQTT topic filter matches topic.
bool topic_matches(const QString &filter, const QString &topic);

} // namespace orvalin::service
