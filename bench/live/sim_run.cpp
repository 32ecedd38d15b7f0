#include "sim_run.h"

#include "measure.h"

namespace orvalin::live {

sim_run::sim_run(QString binary)
    : binary_(std::move(binary))
{
    // Its complaints go straight to our standard error.
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&process_, &QProcess::readyReadStandardOutput, this, &sim_run::read_output);
}

sim_run::~sim_run()
{
    stop();
}

bool sim_run::start(const QString &link, const QStringList &options)
{
    process_.start(binary_,
        QStringList { QStringLiteral("--link"), link, QStringLiteral("--verbose"),
            QStringLiteral("--monotonic") }
            + options);
    if (!process_.waitForStarted(5000)) {
        error_ = QStringLiteral("cannot start %1: %2").arg(binary_, process_.errorString());
        return false;
    }
    const bool ready = wait_until(
        [this] {
            return !answers_.isEmpty() && answers_.front().startsWith(QStringLiteral("ready "));
        },
        std::chrono::seconds(10));
    if (!ready) {
        error_ = QStringLiteral("%1 did not get ready").arg(binary_);
        return false;
    }
    answers_.removeFirst();
    return true;
}

void sim_run::send(const QString &line)
{
    process_.write((line + QLatin1Char('\n')).toUtf8());
}

std::optional<QString> sim_run::ask(const QString &line, std::chrono::milliseconds timeout)
{
    answers_.clear();
    send(line);
    if (!wait_until([this] { return !answers_.isEmpty(); }, timeout))
        return std::nullopt;
    return answers_.takeFirst();
}

void sim_run::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    send(QStringLiteral("quit"));
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

void sim_run::read_output()
{
    partial_ += process_.readAllStandardOutput();
    qsizetype end;
    while ((end = partial_.indexOf('\n')) >= 0) {
        take_line(partial_.left(end));
        partial_.remove(0, end + 1);
    }
}

void sim_run::take_line(const QByteArray &line)
{
    const QList<QByteArray> words = line.split(' ');
    const QByteArray &kind = words.front();
    if (kind == "rx") {
        // "rx T 55 AA CC ..." for its own address; other addresses end in
        // "other-address" and are not its frames.
        if (words.size() == 10) {
            const received frame { words[1].toDouble(),
                std::uint8_t(words[4].toUInt(nullptr, 16)) };
            frames_.push_back(frame);
            emit frame_received(frame);
        }
    } else if (kind == "tx") {
        const double at = words.value(1).toDouble();
        replies_.push_back(at);
        emit reply_written(at);
    } else if (kind != "skip" && kind != "drop" && kind != "demo") {
        answers_ << QString::fromUtf8(line);
    }
}

} // namespace orvalin::live
