#include "broker_process.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

QString broker_process::program()
{
    const QString name = QStringLiteral("mosquitto");
    const QString found = QStandardPaths::findExecutable(name);
    return !found.isEmpty() ? found
                            : QStandardPaths::findExecutable(name,
                                { QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin") });
}

bool broker_process::start(const QString &dir, const QByteArray &extra_config)
{
    if (port_ == 0) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) {
            error_ = probe.errorString();
            return false;
        }
        port_ = probe.serverPort();
    }
    const QString config = QDir(dir).filePath(QStringLiteral("mosquitto.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return error_ = file.errorString(), false;
    file.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n")
                   .arg(port_)
                   .toUtf8()
        + extra_config);
    file.close();
    process_.setProcessChannelMode(QProcess::MergedChannels);
    const QString broker = program();
    if (broker.isEmpty())
        return error_ = QStringLiteral("mosquitto is not installed (make deps)"), false;
    process_.start(broker, { QStringLiteral("-c"), config });
    if (!process_.waitForStarted(5000))
        return error_ = QStringLiteral("mosquitto: ") + process_.errorString(), false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(port_));
        if (socket.waitForConnected(100))
            return true;
        if (process_.state() == QProcess::NotRunning)
            break;
        QTest::qWait(50);
    }
    error_
        = QStringLiteral("mosquitto did not listen: ") + QString::fromLocal8Bit(process_.readAll());
    stop();
    return false;
}

void broker_process::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(3000)) {
        process_.kill();
        process_.waitForFinished(1000);
    }
}

mqtt_watch::~mqtt_watch()
{
    stop();
}

bool mqtt_watch::start(int port)
{
    port_ = port;
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { take_output(); });
    process_.start(QStringLiteral("mosquitto_sub"),
        { QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
            QString::number(port), QStringLiteral("-v"), QStringLiteral("-t"),
            QStringLiteral("#") });
    if (!process_.waitForStarted(5000))
        return false;
    // Subscribed once a probe comes back.
    for (int attempt = 0; attempt < 20; ++attempt) {
        publish(port, QStringLiteral("test/probe"), QByteArray::number(attempt));
        if (wait_for(QStringLiteral("test/probe"), {}, 0, std::chrono::milliseconds(250)) >= 0)
            return true;
    }
    return false;
}

void mqtt_watch::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.kill();
    process_.waitForFinished(1000);
}

void mqtt_watch::take_output()
{
    partial_ += process_.readAllStandardOutput();
    qsizetype end;
    while ((end = partial_.indexOf('\n')) >= 0) {
        const QByteArray line = partial_.left(end);
        partial_.remove(0, end + 1);
        const auto space = line.indexOf(' ');
        messages_.append({ QString::fromUtf8(space < 0 ? line : line.left(space)),
            space < 0 ? QByteArray() : line.mid(space + 1), std::chrono::steady_clock::now() });
    }
}

const QList<mqtt_watch::message> &mqtt_watch::messages()
{
    take_output();
    return messages_;
}

qsizetype mqtt_watch::wait_for(const QString &topic, const QByteArray &payload, qsizetype from,
    std::chrono::milliseconds timeout)
{
    qsizetype found = -1;
    [[maybe_unused]] const bool seen = QTest::qWaitFor(
        [&] {
            take_output();
            for (qsizetype i = from; i < messages_.size() && found < 0; ++i) {
                if (messages_[i].topic == topic
                    && (payload.isEmpty() || messages_[i].payload == payload))
                    found = i;
            }
            return found >= 0;
        },
        int(timeout.count()));
    return found;
}

std::optional<QByteArray> mqtt_watch::last(const QString &topic)
{
    take_output();
    for (qsizetype i = messages_.size() - 1; i >= 0; --i) {
        if (messages_[i].topic == topic)
            return messages_[i].payload;
    }
    return std::nullopt;
}

bool mqtt_watch::wait_for_count(const QString &topic_prefix, const QString &topic_suffix, int count,
    std::chrono::milliseconds timeout)
{
    return QTest::qWaitFor(
        [&] {
            take_output();
            QSet<QString> topics;
            for (const auto &m : std::as_const(messages_)) {
                if (m.topic.startsWith(topic_prefix) && m.topic.endsWith(topic_suffix))
                    topics.insert(m.topic);
            }
            return topics.size() >= count;
        },
        int(timeout.count()));
}

bool mqtt_watch::publish(int port, const QString &topic, const QByteArray &payload)
{
    QProcess pub;
    pub.start(QStringLiteral("mosquitto_pub"),
        { QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
            QString::number(port), QStringLiteral("-t"), topic, QStringLiteral("-m"),
            QString::fromUtf8(payload) });
    return pub.waitForFinished(5000) && pub.exitCode() == 0;
}
