#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace orvalin::service {

// An MQTT broker connection as the bridge sees it. Publishing while
// disconnected drops the message: after every (re)connection the bridge
// publishes all it holds again.
class broker : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void publish(const QString &topic, const QByteArray &payload, bool retain) = 0;
    // Subscriptions are kept across reconnections.
    virtual void subscribe(const QString &topic_filter) = 0;
    virtual void unsubscribe(const QString &topic_filter) = 0;
    virtual bool is_connected() const = 0;

signals:
    void connection_changed(bool connected);
    // retained: the broker held it from before this subscription.
    void message(const QString &topic, const QByteArray &payload, bool retained);
};

// No broker: a service with the HTTP API alone publishes nowhere.
class no_broker final : public broker {
public:
    using broker::broker;
    void publish(const QString &, const QByteArray &, bool) override { }
    void subscribe(const QString &) override { }
    void unsubscribe(const QString &) override { }
    bool is_connected() const override { return false; }
};

} // namespace orvalin::service
