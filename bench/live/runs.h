#pragma once

#include "measure.h"

#include "control/controller.h"

#include <QJsonObject>
#include <QString>

#include <chrono>

namespace orvalin::live {

class x_display;

// The programs a run uses, and where it makes its program directories.
struct programs {
    QString panel; // orvalin
    QString sim; // orvalin-sim
    QString bare; // orvalin-bare
    QString work; // a directory on the panel's file system
};

// The panel's poll interval, as the emulator should see it.
inline constexpr std::chrono::milliseconds poll_period = orvalin::poll_interval;
inline constexpr double poll_interval_ms = double(poll_period.count());

// The real panel on the X display, one process through three phases of
// `phase` each: idle after start-up (port never opened, Timer1 ticking),
// polling the emulator after a click on "打开串口", and closed again after
// a second click (Timer1 stopped). Frame times come from the emulator.
QJsonObject run_poll(const programs &with, x_display &x, std::chrono::seconds phase);

// Launch to main window mapped, `repeats` times each and interleaved: the
// bare Qt window, the panel with its name file, and the panel's first start
// (the file is created; its two message boxes are closed as they appear).
QJsonObject run_startup(const programs &with, x_display &x, int repeats);

// In this process, with a QApplication: a main_form on the real serial port
// against the emulator, the 8th byte of each reply (the emulator's write) to
// the lamp change it causes. The emulator's inputs flip after each change,
// so every reply changes lamps 9..16.
QJsonObject run_lamp(const programs &with, std::chrono::seconds duration);

// Polling for `duration` with a click on "吸合所有" or "断开所有" every second;
// checks that memory stays flat and no tick is missed. Prints its findings;
// the exit status tells whether they pass.
int run_soak(const programs &with, x_display &x, std::chrono::seconds duration);

// The panel under valgrind's memcheck, polling for `shorter` and then, in a
// second run, for twice as long; the leaks must not grow with the run.
// Leaves the full reports in `reports_dir`. Exit status as for run_soak.
int run_valgrind(
    const programs &with, x_display &x, std::chrono::seconds shorter, const QString &reports_dir);

// Helpers shared by the runs.
QJsonObject to_json(const spread &values);
QString load_average();
// Intervals between consecutive times, in milliseconds.
std::vector<double> intervals_of(const std::vector<double> &times);

} // namespace orvalin::live
