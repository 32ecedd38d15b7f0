#include "broker_process.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;

QString broker_process::program()
{
    const QString found = QStandardPaths::findExecutable(u"mosquitto"_s);
    return !found.isEmpty()
        ? found
        : QStandardPaths::findExecutable(u"mosquitto"_s, { u"/usr/sbin"_s, u"/usr/local/sbin"_s });
}

bool broker_process::start(const QString &dir, const QByteArray &extra_config)
{
    if (port_ == 0) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return error_ = probe.errorString(), false;
        port_ = probe.serverPort();
    }
    const QString config = QDir(dir).filePath(u"mosquitto.conf"_s);
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return error_ = file.errorString(), false;
    file.write(
        u"listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n"_s.arg(port_).toUtf8()
        + extra_config);
    file.close();
    if (program().isEmpty())
        return error_ = u"mosquitto is not installed (make deps)"_s, false;
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(program(), { u"-c"_s, config });
    for (int attempt = 0; attempt < 100 && process_.waitForStarted(5000); ++attempt) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(port_));
        if (socket.waitForConnected(100))
            return true;
        if (process_.state() == QProcess::NotRunning)
            break;
        QTest::qWait(50);
    }
    error_ = u"mosquitto did not listen: "_s + QString::fromLocal8Bit(process_.readAll());
    stop();
    return false;
}

void broker_process::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(3000))
        process_.kill();
    process_.waitForFinished(1000);
}

mqtt_watch::~mqtt_watch()
{
    stop();
}

bool mqtt_watch::start(int port, const QString &filter)
{
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { take_output(); });
    process_.start(u"mosquitto_sub"_s,
        { u"-h"_s, u"127.0.0.1"_s, u"-p"_s, QString::number(port), u"-v"_s, u"-t"_s, filter,
            u"-t"_s, u"test/probe"_s });
    // Subscribed once a probe comes back.
    for (int attempt = 0; attempt < 20 && process_.waitForStarted(5000); ++attempt) {
        publish(port, u"test/probe"_s, QByteArray::number(attempt));
        if (wait_for(u"test/probe"_s, {}, 0, std::chrono::milliseconds(250)) >= 0)
            return true;
    }
    return false;
}

void mqtt_watch::stop()
{
    process_.kill();
    process_.waitForFinished(1000);
}

void mqtt_watch::take_output()
{
    partial_ += process_.readAllStandardOutput();
    for (qsizetype end; (end = partial_.indexOf('\n')) >= 0; partial_.remove(0, end + 1)) {
        const QByteArray line = partial_.left(end);
        const auto space = line.indexOf(' ');
        // mosquitto_sub -v shows an empty payload (a cleared retained
        // topic) as "(null)".
        const QByteArray payload = space < 0 ? QByteArray() : line.mid(space + 1);
        messages_.append({ QString::fromUtf8(space < 0 ? line : line.left(space)),
            payload == "(null)" ? QByteArray() : payload, std::chrono::steady_clock::now() });
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
    (void)QTest::qWaitFor(
        [&] {
            for (take_output(); from < messages_.size() && found < 0; ++from)
                if (messages_[from].topic == topic
                    && (payload.isEmpty() || messages_[from].payload == payload))
                    found = from;
            return found >= 0;
        },
        int(timeout.count()));
    return found;
}

std::optional<QByteArray> mqtt_watch::last(const QString &topic)
{
    take_output();
    for (auto m = messages_.crbegin(); m != messages_.crend(); ++m)
        if (m->topic == topic)
            return m->payload;
    return std::nullopt;
}

bool mqtt_watch::wait_for_count(const QString &topic_prefix, const QString &topic_suffix, int count,
    std::chrono::milliseconds timeout)
{
    QSet<QString> topics;
    return QTest::qWaitFor(
        [&] {
            for (const auto &m : messages())
                if (m.topic.startsWith(topic_prefix) && m.topic.endsWith(topic_suffix))
                    topics.insert(m.topic);
            return topics.size() >= count;
        },
        int(timeout.count()));
}

bool mqtt_watch::publish(int port, const QString &topic, const QByteArray &payload)
{
    QProcess pub;
    pub.start(u"mosquitto_pub"_s,
        { u"-h"_s, u"127.0.0.1"_s, u"-p"_s, QString::number(port), u"-t"_s, topic, u"-m"_s,
            QString::fromUtf8(payload) });
    return pub.waitForFinished(5000) && pub.exitCode() == 0;
}
