#pragma once

#include <QList>
#include <QObject>

class QSocketNotifier;

namespace orvalin {

// The one way signals reach the event loop, for orvalinctl's commands and
// the service alike: the handler only writes the signal's number to a socket
// (saving errno), a notifier on the other end emits stop_requested.
// which says what is caught: every catchable signal that would end the
// program by default (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1,
// ...), or only SIGTERM and SIGINT, as a service under a supervisor
// expects; on Windows Ctrl-C, Ctrl-Break and closing the console. A signal
// ignored when the instance is made (nohup) stays ignored.
// One instance at a time; the default handling returns with its end.
class stop_signals : public QObject {
    Q_OBJECT

public:
    enum class which { every_stopping, terminate_and_interrupt };

    explicit stop_signals(which set = which::every_stopping, QObject *parent = nullptr);
    ~stop_signals() override;

    // Signals that could not be handled (sigaction or the socket failed),
    // for the caller to report; empty when all are.
    QList<int> failed() const { return failed_; }

signals:
    // signal_number is the signal's number (SIGINT 2, SIGTERM 15, ...).
    void stop_requested(int signal_number);

private:
    QSocketNotifier *notifier_ = nullptr;
    QList<int> failed_;
};

} // namespace orvalin
