#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// Runs the module emulator (orvalin-sim) for a test. The emulator serves a
// pseudo-terminal through a link in a directory the test owns, "COM1" unless
// told otherwise, so a port built with that directory as its program
// directory opens it as port 1:
//
//     QTemporaryDir dir;
//     sim_process sim;
//     QVERIFY2(sim.start(dir.path(), {"--address", "7"}), qPrintable(sim.error()));
//     orvalin::qt_serial_port port(orvalin::port_folders { dir.path() });
//     QVERIFY(orvalin::open_port(port, 1));
//     QCOMPARE(sim.command("in 3 on"), "ok");
//     QCOMPARE(sim.status()->frames, 0);
//
// Every wait runs the event loop (QTest::qWait), so ports and timers of the
// test keep working meanwhile. The destructor stops the emulator.
class sim_process {
public:
    sim_process();
    ~sim_process();
    sim_process(const sim_process &) = delete;
    sim_process &operator=(const sim_process &) = delete;

    // False where the emulator is not built (it needs pseudo-terminals).
    static bool available();

    // Starts orvalin-sim with "--link DIR/LINK_NAME" and the given options
    // (see tools/orvalin_sim.cpp) and waits for its ready line. False, with
    // the reason in error(), if it does not get ready in time.
    bool start(const QString &dir, const QStringList &options = {},
        const QString &link_name = QStringLiteral("COM1"),
        std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Sends one line to the emulator's standard input ("in 3 on", "split 40",
    // "silent on", ...) and returns its answer: "ok", "error: ...", or the
    // status line. Empty if no answer came in time.
    QString command(
        const QString &line, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // What the "status" command reports; no value when the emulator did not
    // answer.
    struct module_status {
        int outputs = -1; // bit n = output n+1
        int inputs = -1; // bit n = input n+1
        qint64 frames = -1; // commands accepted for its address
        qint64 ignored = -1; // well-formed frames for other addresses
        qint64 replies = -1; // replies sent (not dropped or silenced)
    };
    std::optional<module_status> status();

    // Every line the emulator has printed so far (with --verbose this
    // includes "rx"/"tx" lines with millisecond timestamps).
    QStringList lines() const { return lines_; }
    // Waits for a line matching the pattern among lines from index `from` on,
    // and returns it; empty on time-out.
    QString wait_for_line(const QRegularExpression &pattern,
        std::chrono::milliseconds timeout = std::chrono::seconds(5), qsizetype from = 0);

    QString link_path() const { return link_path_; }
    // The pseudo-terminal behind the link.
    QString device() const { return device_; }
    bool running() const { return process_.state() != QProcess::NotRunning; }
    // Why start() failed, and what the emulator wrote to standard error.
    QString error() const { return error_; }

    // Asks the emulator to quit (it removes its link) and waits; kills it if
    // it does not end in time. True when it ended by itself with status 0.
    bool stop(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Ends it at once with SIGKILL, as a pulled cable would: the link stays.
    void kill();

private:
    void take_output();

    QStringList lines_;
    QByteArray partial_line_;
    QString link_path_;
    QString device_;
    QString error_;
    // Last, so it goes first and its signals never reach the members above.
    QProcess process_;
};
