#pragma once

#include <QObject>

class QSocketNotifier;

namespace orvalin::cli {

// Turns every catchable signal that would end the program by default
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, ...; Ctrl-C,
// Ctrl-Break and closing the console on Windows) into a signal on the event
// loop, so a command can end cleanly.
// One instance at a time; the default handling returns with its end.
class stop_signals : public QObject {
    Q_OBJECT

public:
    explicit stop_signals(QObject *parent = nullptr);
    ~stop_signals() override;

signals:
    // signal_number is the signal's number (SIGINT 2, SIGTERM 15, ...).
    void stop_requested(int signal_number);

private:
    QSocketNotifier *notifier_ = nullptr;
};

} // namespace orvalin::cli
