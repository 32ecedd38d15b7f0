#include "sim_process.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTest>

// Waits run the event loop in steps this long.
constexpr int wait_step_ms = 5;

sim_process::sim_process()
{
#ifdef ORVALIN_SIM_PATH
    process_.setProgram(QStringLiteral(ORVALIN_SIM_PATH));
#endif
    QObject::connect(
        &process_, &QProcess::readyReadStandardOutput, &process_, [this] { take_output(); });
    QObject::connect(
        &process_, &QProcess::readyReadStandardError, &process_, [this] { take_output(); });
}

sim_process::~sim_process()
{
    stop();
}

bool sim_process::start(const QString &dir, const QStringList &options, const QString &link_name,
    std::chrono::milliseconds timeout)
{
    if (!available()) {
        error_ = QStringLiteral("orvalin-sim is not built on this platform");
        return false;
    }
    stop();
    lines_.clear();
    partial_line_.clear();
    error_.clear();
    device_.clear();
    link_path_ = QDir(dir).filePath(link_name);
    process_.setArguments(QStringList { QStringLiteral("--link"), link_path_ } + options);
    process_.start();
    if (!process_.waitForStarted(int(timeout.count()))) {
        error_ = process_.errorString();
        return false;
    }
    static const QRegularExpression ready(QStringLiteral("^ready .* -> (.+)$"));
    const QString line = wait_for_line(ready, timeout);
    if (line.isEmpty()) {
        if (error_.isEmpty())
            error_ = QStringLiteral("orvalin-sim did not get ready");
        kill();
        return false;
    }
    device_ = ready.match(line).captured(1);
    return true;
}

bool sim_process::available()
{
#ifdef ORVALIN_SIM_PATH
    return true;
#else
    return false;
#endif
}

QString sim_process::command(const QString &line, std::chrono::milliseconds timeout)
{
    if (!running())
        return {};
    // Verbose lines never start like an answer.
    static const QRegularExpression answer(QStringLiteral("^(ok|error|outputs )"));
    const qsizetype from = lines_.size();
    process_.write((line + QLatin1Char('\n')).toUtf8());
    return wait_for_line(answer, timeout, from);
}

std::optional<sim_process::module_status> sim_process::status()
{
    static const QRegularExpression format(
        QStringLiteral("^outputs ([0-9a-f]{2}) inputs ([0-9a-f]{2}) frames (\\d+) ignored (\\d+) "
                       "replies (\\d+)$"));
    const auto match = format.match(command(QStringLiteral("status")));
    if (!match.hasMatch())
        return std::nullopt;
    return module_status { match.captured(1).toInt(nullptr, 16),
        match.captured(2).toInt(nullptr, 16), match.captured(3).toLongLong(),
        match.captured(4).toLongLong(), match.captured(5).toLongLong() };
}

QString sim_process::wait_for_line(
    const QRegularExpression &pattern, std::chrono::milliseconds timeout, qsizetype from)
{
    const QDeadlineTimer deadline(timeout);
    for (;;) {
        for (qsizetype i = from; i < lines_.size(); ++i) {
            if (pattern.match(lines_.at(i)).hasMatch())
                return lines_.at(i);
        }
        from = std::max(from, lines_.size());
        if (deadline.hasExpired() || !running())
            return {};
        QTest::qWait(wait_step_ms);
    }
}

bool sim_process::stop(std::chrono::milliseconds timeout)
{
    if (!running())
        return false;
    process_.write("quit\n");
    const QDeadlineTimer deadline(timeout);
    while (running() && !deadline.hasExpired())
        QTest::qWait(wait_step_ms);
    if (running()) {
        kill();
        return false;
    }
    take_output();
    return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
}

void sim_process::kill()
{
    if (!running())
        return;
    process_.kill();
    process_.waitForFinished(5000);
    take_output();
}

void sim_process::take_output()
{
    error_ += QString::fromLocal8Bit(process_.readAllStandardError());
    partial_line_ += process_.readAllStandardOutput();
    for (qsizetype end; (end = partial_line_.indexOf('\n')) >= 0; partial_line_.remove(0, end + 1))
        lines_ << QString::fromUtf8(partial_line_.left(end));
}
