#include "service/mosquitto_broker.h"

#include <QHostInfo>

#include <mosquitto.h>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace orvalin::service {

namespace {

constexpr auto max_backoff = std::chrono::seconds(32);
constexpr int keepalive_seconds = 30;
constexpr int qos = 1;
constexpr auto connect_timeout = std::chrono::seconds(10);
// A connection closed sooner than this after the broker accepted it does not
// reset the backoff. Longer than max_backoff, so that two clients taking one
// client id from each other both end up at the longest wait.
constexpr auto short_lived = std::chrono::seconds(60);

void init_library()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// True when the socket is at end of stream or failed, without taking data.
bool peer_gone(int socket)
{
    if (socket < 0)
        return true;
    char byte;
    const auto got = ::recv(socket, &byte, 1, MSG_PEEK);
#ifdef Q_OS_WIN
    return got == 0 || (got < 0 && WSAGetLastError() != WSAEWOULDBLOCK);
#else
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
#endif
}

QString reason(int code)
{
    return QString::fromUtf8(mosquitto_strerror(code));
}

} // namespace

mosquitto_broker::mosquitto_broker(
    broker_settings settings, std::function<void(const QString &)> log, QObject *parent)
    : broker(parent)
    , settings_(std::move(settings))
    , log_(std::move(log))
{
    init_library();
    // Keepalive pings and the library's own timeouts.
    misc_timer_.setInterval(std::chrono::seconds(1));
    connect(&misc_timer_, &QTimer::timeout, this, [this] {
        if (client_ && mosquitto_socket(client_) >= 0) {
            mosquitto_loop_misc(client_);
            update_write_interest();
        }
    });
    // A broker that accepts TCP but never completes the handshake or the
    // CONNACK is given up on and tried again.
    connect_deadline_.setSingleShot(true);
    connect(&connect_deadline_, &QTimer::timeout, this, [this] {
        if (!connected_ && client_ && mosquitto_socket(client_) >= 0)
            lost(MOSQ_ERR_CONN_LOST);
    });
    reconnect_timer_.setSingleShot(true);
    connect(&reconnect_timer_, &QTimer::timeout, this, &mosquitto_broker::connect_now);
}

mosquitto_broker::~mosquitto_broker()
{
    if (lookup_id_ >= 0)
        QHostInfo::abortHostLookup(lookup_id_);
    read_notifier_.reset();
    write_notifier_.reset();
    if (client_)
        mosquitto_destroy(client_);
}

bool mosquitto_broker::start()
{
    const QByteArray id = settings_.client_id.toUtf8();
    client_ = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    if (!client_) {
        log_(QStringLiteral("mqtt: cannot create a client"));
        return false;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // Small packets at once: with Nagle a state message could wait for the
    // broker's delayed ACK of the one before (up to 40 ms on Linux).
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(client_, &mosquitto_broker::on_connect);
    mosquitto_disconnect_callback_set(client_, &mosquitto_broker::on_disconnect);
    mosquitto_message_callback_set(client_, &mosquitto_broker::on_message);
    if (!settings_.username.isEmpty()) {
        const int code = mosquitto_username_pw_set(client_, settings_.username.toUtf8().constData(),
            settings_.password.isEmpty() ? nullptr : settings_.password.constData());
        if (code != MOSQ_ERR_SUCCESS) {
            log_(QStringLiteral("mqtt: username refused: %1").arg(reason(code)));
            return false;
        }
    }
    if (!settings_.tls_ca.isEmpty()) {
        const int code = mosquitto_tls_set(client_, settings_.tls_ca.toLocal8Bit().constData(),
            nullptr, nullptr, nullptr, nullptr);
        if (code != MOSQ_ERR_SUCCESS) {
            log_(QStringLiteral("mqtt: TLS setup failed: %1").arg(reason(code)));
            return false;
        }
    }
    if (!settings_.will_topic.isEmpty()) {
        const QByteArray topic = settings_.will_topic.toUtf8();
        mosquitto_will_set(client_, topic.constData(), int(settings_.will_payload.size()),
            settings_.will_payload.constData(), qos, true);
    }
    misc_timer_.start();
    connect_now();
    return true;
}

void mosquitto_broker::connect_now()
{
    if (closing_ || lookup_id_ >= 0)
        return;
    addresses_.clear();
    if (QHostAddress numeric; numeric.setAddress(settings_.host)) {
        addresses_.append(numeric);
        try_next_address();
        return;
    }
    // libmosquitto would call getaddrinfo here and wait for it.
    lookup_id_ = QHostInfo::lookupHost(settings_.host, this, &mosquitto_broker::on_resolved);
}

void mosquitto_broker::on_resolved(const QHostInfo &info)
{
    lookup_id_ = -1;
    if (closing_)
        return;
    addresses_ = info.addresses();
    if (info.error() != QHostInfo::NoError || addresses_.isEmpty()) {
        addresses_.clear();
        attempt_failed(info.errorString());
        return;
    }
    try_next_address();
}

void mosquitto_broker::try_next_address()
{
    if (addresses_.isEmpty())
        return attempt_failed(reason(MOSQ_ERR_NO_CONN));
    const QHostAddress address = addresses_.takeFirst();
    // libmosquitto checks the broker's certificate against the host it is
    // given: with TLS that must stay the name. The name has just been looked
    // up without blocking, so the library's own lookup finds it at once
    // (from the resolver's cache) and tries each address itself.
    if (!settings_.tls_ca.isEmpty())
        addresses_.clear();
    const QByteArray host
        = (settings_.tls_ca.isEmpty() ? address.toString() : settings_.host).toUtf8();
    const int code
        = mosquitto_connect_async(client_, host.constData(), settings_.port, keepalive_seconds);
    if (code != MOSQ_ERR_SUCCESS && !(code == MOSQ_ERR_ERRNO && errno == EINPROGRESS)) {
        // Connection refused at once, no route, ...
        const QString why
            = code == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno)) : reason(code);
        drop_socket();
        if (!addresses_.isEmpty())
            return try_next_address();
        return attempt_failed(why);
    }
    watch_socket();
    connect_deadline_.start(connect_timeout);
}

void mosquitto_broker::attempt_failed(const QString &why)
{
    // The first failed attempt in a row says why; the retries keep quiet.
    if (backoff_ == std::chrono::seconds(1) && !closing_)
        log_(QStringLiteral("mqtt: cannot reach %1:%2 (%3), retrying")
                 .arg(settings_.host)
                 .arg(settings_.port)
                 .arg(why));
    schedule_reconnect();
}

void mosquitto_broker::connection_ended()
{
    connected_ = false;
    if (closing_)
        return;
    if (up_since_.isValid()
        && up_since_.elapsed() >= std::chrono::milliseconds(short_lived).count()) {
        backoff_ = std::chrono::seconds(1);
        short_connections_ = 0;
        return;
    }
    // Once may be a broker restarting; again and again is most likely
    // another client that connects with the same client id.
    if (++short_connections_ >= 2 && !told_takeover_ && !settings_.client_id.isEmpty()) {
        told_takeover_ = true;
        log_(QStringLiteral("mqtt: the broker keeps closing the connection soon after accepting "
                            "it; another client with client id \"%1\" may be connected. "
                            "Waiting up to %2 s between attempts")
                 .arg(settings_.client_id)
                 .arg(max_backoff.count()));
    }
}

void mosquitto_broker::watch_socket()
{
    drop_socket();
    const int socket = mosquitto_socket(client_);
    if (socket < 0) {
        schedule_reconnect();
        return;
    }
    read_notifier_ = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
    connect(
        read_notifier_.get(), &QSocketNotifier::activated, this, &mosquitto_broker::on_readable);
    write_notifier_ = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Write);
    connect(
        write_notifier_.get(), &QSocketNotifier::activated, this, &mosquitto_broker::on_writable);
    update_write_interest();
}

void mosquitto_broker::drop_socket()
{
    // Notifiers may be the very sender of the current call.
    if (read_notifier_) {
        read_notifier_->setEnabled(false);
        read_notifier_.release()->deleteLater();
    }
    if (write_notifier_) {
        write_notifier_->setEnabled(false);
        write_notifier_.release()->deleteLater();
    }
}

void mosquitto_broker::on_readable()
{
    // During a TLS handshake the library takes a reset or closed socket for
    // "try again" and would be called back at once, forever: look first.
    if (!connected_ && peer_gone(mosquitto_socket(client_))) {
        lost(MOSQ_ERR_CONN_LOST);
        return;
    }
    const int code = mosquitto_loop_read(client_, 1);
    if (code != MOSQ_ERR_SUCCESS)
        lost(code);
    else
        update_write_interest();
}

void mosquitto_broker::on_writable()
{
    const int code = mosquitto_loop_write(client_, 1);
    if (code != MOSQ_ERR_SUCCESS)
        lost(code);
    else
        update_write_interest();
}

void mosquitto_broker::lost(int code)
{
    drop_socket();
    if (mosquitto_socket(client_) >= 0)
        mosquitto_disconnect(client_);
    if (connected_) {
        connection_ended();
        log_(QStringLiteral("mqtt: connection lost (%1)").arg(reason(code)));
        emit connection_changed(false);
    } else if (!closing_) {
        const QString why
            = code == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno)) : reason(code);
        if (!addresses_.isEmpty())
            return try_next_address();
        return attempt_failed(why);
    }
    schedule_reconnect();
}

void mosquitto_broker::update_write_interest()
{
    if (!write_notifier_)
        return;
    if (mosquitto_socket(client_) < 0) {
        lost(MOSQ_ERR_NO_CONN);
        return;
    }
    write_notifier_->setEnabled(mosquitto_want_write(client_));
}

void mosquitto_broker::schedule_reconnect()
{
    if (closing_) {
        if (closed_)
            std::exchange(closed_, nullptr)();
        return;
    }
    if (reconnect_timer_.isActive())
        return;
    reconnect_timer_.start(backoff_);
    backoff_ = std::min(backoff_ * 2, max_backoff);
}

void mosquitto_broker::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    if (!connected_)
        return;
    const QByteArray name = topic.toUtf8();
    mosquitto_publish(
        client_, nullptr, name.constData(), int(payload.size()), payload.constData(), qos, retain);
    update_write_interest();
}

void mosquitto_broker::subscribe(const QString &topic_filter)
{
    if (!subscriptions_.contains(topic_filter))
        subscriptions_.append(topic_filter);
    if (connected_) {
        mosquitto_subscribe(client_, nullptr, topic_filter.toUtf8().constData(), qos);
        update_write_interest();
    }
}

void mosquitto_broker::unsubscribe(const QString &topic_filter)
{
    subscriptions_.removeAll(topic_filter);
    if (connected_) {
        mosquitto_unsubscribe(client_, nullptr, topic_filter.toUtf8().constData());
        update_write_interest();
    }
}

void mosquitto_broker::disconnect_cleanly(
    std::chrono::milliseconds timeout, std::function<void()> done)
{
    closing_ = true;
    reconnect_timer_.stop();
    closed_ = std::move(done);
    if (!connected_) {
        std::exchange(closed_, nullptr)();
        return;
    }
    // The queued publishes go out before the DISCONNECT packet.
    mosquitto_disconnect(client_);
    update_write_interest();
    QTimer::singleShot(timeout, this, [this] {
        if (closed_)
            std::exchange(closed_, nullptr)();
    });
}

void mosquitto_broker::on_connect(mosquitto *, void *self, int code)
{
    auto *that = static_cast<mosquitto_broker *>(self);
    if (code != 0) {
        that->log_(QStringLiteral("mqtt: broker refused the connection: %1")
                       .arg(QString::fromUtf8(mosquitto_connack_string(code))));
        return; // the broker closes the socket; on_disconnect follows
    }
    that->addresses_.clear();
    that->up_since_.start();
    that->connected_ = true;
    that->log_(QStringLiteral("mqtt: connected to %1:%2")
                   .arg(that->settings_.host)
                   .arg(that->settings_.port));
    for (const QString &filter : std::as_const(that->subscriptions_))
        mosquitto_subscribe(that->client_, nullptr, filter.toUtf8().constData(), qos);
    emit that->connection_changed(true);
}

void mosquitto_broker::on_disconnect(mosquitto *, void *self, int code)
{
    auto *that = static_cast<mosquitto_broker *>(self);
    that->drop_socket();
    if (that->connected_) {
        that->connection_ended();
        if (!that->closing_)
            that->log_(QStringLiteral("mqtt: connection lost (%1)").arg(reason(code)));
        emit that->connection_changed(false);
    }
    // Called from inside the library: reconnect from the event loop.
    QMetaObject::invokeMethod(that, &mosquitto_broker::schedule_reconnect, Qt::QueuedConnection);
}

void mosquitto_broker::on_message(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *that = static_cast<mosquitto_broker *>(self);
    emit that->message(QString::fromUtf8(message->topic),
        QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
        message->retain);
}

} // namespace orvalin::service
