#pragma once

#include <QObject>
#include <QProcess>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace orvalin::live {

// The module emulator for a measurement: orvalin-sim with --verbose
// --monotonic, whose frame lines are turned into times on the clock of
// monotonic_ms() as they arrive. Nothing is kept but the times, so a
// half-hour run stays small.
class sim_run : public QObject {
    Q_OBJECT

public:
    struct received {
        double at_ms = 0;
        std::uint8_t code = 0;
    };

    explicit sim_run(QString binary);
    ~sim_run() override;

    // Serves the module on a pseudo-terminal behind `link` and waits until
    // it is ready. False, with the reason in error(), otherwise.
    bool start(const QString &link, const QStringList &options = {});
    QString error() const { return error_; }

    // Writes one command line to its standard input and does not wait.
    void send(const QString &line);
    // Sends a command and waits for its answer line.
    std::optional<QString> ask(
        const QString &line, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Commands for its address as they arrived, and the times its replies
    // were written (after the last byte).
    const std::vector<received> &frames() const { return frames_; }
    const std::vector<double> &replies() const { return replies_; }

    void stop();

signals:
    void frame_received(const orvalin::live::sim_run::received &frame);
    void reply_written(double at_ms);

private:
    void read_output();
    void take_line(const QByteArray &line);

    QString binary_;
    QString error_;
    QByteArray partial_;
    std::vector<received> frames_;
    std::vector<double> replies_;
    QStringList answers_;
    QProcess process_;
};

} // namespace orvalin::live
