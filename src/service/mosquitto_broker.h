#pragma once

#include "service/broker.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class QHostInfo;
struct mosquitto;
struct mosquitto_message;

namespace orvalin::service {

struct broker_settings {
    QString host;
    int port = 1883;
    QString client_id; // empty: a random one
    QString username;
    QByteArray password;
    QString tls_ca; // TLS when set
    // Published retained by the broker when the connection dies.
    QString will_topic;
    QByteArray will_payload;
};

// broker on libmosquitto, driven from the Qt event loop: its socket under
// QSocketNotifiers, its keepalive on a timer, no thread of its own. The host
// name is looked up asynchronously (QHostInfo), so a slow or dead name server
// never holds up the loop. Reconnects after 1 s, doubling up to 32 s, until
// it is destroyed; a connection the broker closes soon after accepting it
// (another client taking the same client id, say) does not start the
// doubling over.
class mosquitto_broker final : public broker {
    Q_OBJECT

public:
    // log receives one line per connection event.
    mosquitto_broker(broker_settings settings, std::function<void(const QString &)> log,
        QObject *parent = nullptr);
    ~mosquitto_broker() override;

    // Starts connecting; false with the reason logged when the settings are
    // refused by the library (a bad TLS file, say).
    bool start();
    void publish(const QString &topic, const QByteArray &payload, bool retain) override;
    void subscribe(const QString &topic_filter) override;
    void unsubscribe(const QString &topic_filter) override;
    bool is_connected() const override { return connected_; }
    // Sends everything queued and a clean disconnect (no will); done is
    // called once that is through or after timeout.
    void disconnect_cleanly(std::chrono::milliseconds timeout, std::function<void()> done);

private:
    static void on_connect(mosquitto *, void *self, int code);
    static void on_disconnect(mosquitto *, void *self, int code);
    static void on_message(mosquitto *, void *self, const mosquitto_message *message);

    void connect_now();
    void on_resolved(const QHostInfo &info);
    void try_next_address();
    void attempt_failed(const QString &why);
    void connection_ended();
    void watch_socket();
    void drop_socket();
    void on_readable();
    void on_writable();
    void lost(int code);
    void update_write_interest();
    void schedule_reconnect();

    broker_settings settings_;
    std::function<void(const QString &)> log_;
    mosquitto *client_ = nullptr;
    std::unique_ptr<QSocketNotifier> read_notifier_;
    std::unique_ptr<QSocketNotifier> write_notifier_;
    QTimer misc_timer_;
    QTimer reconnect_timer_;
    QTimer connect_deadline_;
    std::chrono::seconds backoff_ { 1 };
    int lookup_id_ = -1; // a pending QHostInfo lookup
    // The addresses of this attempt not yet tried.
    QList<QHostAddress> addresses_;
    QElapsedTimer up_since_;
    int short_connections_ = 0; // closed soon after accepting, in a row
    bool told_takeover_ = false;
    QStringList subscriptions_;
    bool connected_ = false;
    bool closing_ = false;
    std::function<void()> closed_;
};

} // namespace orvalin::service
