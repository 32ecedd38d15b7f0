#pragma once

#include "measure.h"
#include "x_display.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <optional>

namespace orvalin::live {

// Centres of the main window's buttons, in window coordinates.
inline constexpr int open_comm_x = 304, open_comm_y = 20;
inline constexpr int openall_x = 160, openall_y = 508;
inline constexpr int closeall_x = 288, closeall_y = 508;

// A program directory of its own for one panel: the executable hard-linked
// (copied where that fails) into a fresh directory, since the panel looks
// for its name file and its port COM1 beside its executable.
class program_dir {
public:
    program_dir(const QString &executable, const QString &under);

    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }
    QString path() const { return dir_.path(); }
    QString executable() const { return executable_; }
    // What port number 1 opens.
    QString port_link() const { return dir_.filePath(QStringLiteral("COM1")); }

    // The default name file, as a first start leaves it, made by the same
    // code the panel uses, so that start-up shows no message.
    bool write_name_file();
    void remove_name_file();
    bool has_name_file() const;

private:
    QTemporaryDir dir_;
    QString executable_;
    QString error_;
};

// One run of a program with a window, launched the way a person would start
// it (optionally under a wrapper such as valgrind) and watched from outside.
class panel_process {
public:
    explicit panel_process(x_display &x);
    ~panel_process();

    // The wrapper's words go before the executable.
    bool start(const QString &executable, const QStringList &wrapper = {});
    double started_at_ms() const { return started_at_; }
    qint64 pid() const { return process_.processId(); }
    bool running() const { return process_.state() != QProcess::NotRunning; }

    // Waits for the main window to be mapped (message boxes before it are
    // closed as they appear when dismiss_dialogs is set); its time, or no
    // value on time-out.
    std::optional<double> wait_for_window(
        std::chrono::milliseconds timeout, bool dismiss_dialogs = false);

    bool click(int x, int y) const;
    std::optional<process_sample> sample() const { return sample_process(pid()); }

    // Closes the main window and waits for the program to end; kills it if
    // it does not. True when it ended by itself with status 0.
    bool close(std::chrono::milliseconds timeout);

private:
    x_display &x_;
    QProcess process_;
    double started_at_ = 0;
    unsigned long window_ = 0;
};

} // namespace orvalin::live
