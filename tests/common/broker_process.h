#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QProcess>
#include <QString>

#include <chrono>
#include <optional>

// A real mosquitto broker for a test: on 127.0.0.1 at a free port, with its
// own config in dir, no persistence. The destructor stops it.
class broker_process {
public:
    ~broker_process() { stop(); }
    // Starts (again, on the same port after a stop) and waits until it
    // accepts connections. False with the reason in error().
    // extra_config: more lines for mosquitto.conf.
    bool start(const QString &dir, const QByteArray &extra_config = {});
    // The broker's path: on PATH or in an sbin directory Debian users'
    // PATH lacks; empty when not installed.
    static QString program();
    void stop();
    int port() const { return port_; }
    QString error() const { return error_; }

private:
    QProcess process_;
    int port_ = 0;
    QString error_;
};

// mosquitto_sub on every topic of a broker, collecting what arrives; and
// mosquitto_pub for one message. Waits run the event loop.
class mqtt_watch {
public:
    struct message {
        QString topic;
        QByteArray payload;
        std::chrono::steady_clock::time_point received;
    };

    ~mqtt_watch();
    // Subscribes to filter and waits until a message of its own comes back.
    bool start(int port, const QString &filter = QStringLiteral("#"));
    void stop();

    const QList<message> &messages();
    // Index of the first message from index `from` on with this topic (and
    // payload, unless empty); -1 on time-out.
    qsizetype wait_for(const QString &topic, const QByteArray &payload = {}, qsizetype from = 0,
        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The last payload seen on topic.
    std::optional<QByteArray> last(const QString &topic);
    // Waits until topics matching the prefix number count distinct ones.
    bool wait_for_count(const QString &topic_prefix, const QString &topic_suffix, int count,
        std::chrono::milliseconds timeout = std::chrono::seconds(5));

    static bool publish(int port, const QString &topic, const QByteArray &payload);

private:
    void take_output();

    QProcess process_;
    QByteArray partial_;
    QList<message> messages_;
};
