#include "system/stop_signals.h"

#include <QList>
#include <QPointer>

#include <csignal>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#endif

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace orvalin {

namespace {

QPointer<stop_signals> &current()
{
    static QPointer<stop_signals> instance;
    return instance;
}

#ifdef Q_OS_UNIX
// The handler may only write to a descriptor; the notifier on the other end
// brings the signal to the event loop.
int signal_socket[2] = { -1, -1 };

// Every signal whose default action ends the program and that a terminal, a
// script or a supervisor sends: left at the default, any of them would end
// a pulse with the relay still on (timeout -s ALRM, kill -USR1, a CPU limit).
// Not here: SIGKILL and SIGSTOP, which cannot be caught; SIGPIPE, ignored
// for the whole program so a closed reader shows as a failed write; and the
// faults of the program itself (SIGSEGV, SIGABRT, ...), after which it
// cannot go on.
QList<int> stopping_signals()
{
    QList<int> numbers { SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
        SIGPROF, SIGXCPU, SIGXFSZ };
#ifdef SIGIO
    numbers << SIGIO;
#endif
#ifdef SIGPWR
    numbers << SIGPWR;
#endif
#ifdef SIGSTKFLT
    numbers << SIGSTKFLT;
#endif
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number)
        numbers << number;
#endif
    return numbers;
}

void on_signal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    [[maybe_unused]] const auto written = ::write(signal_socket[0], &byte, 1);
    errno = saved;
}

// The signals this instance handles: those not ignored when it came.
QList<int> handled_signals;

bool ignored(int number)
{
    struct sigaction current { };
    return ::sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

bool handle(int number, void (*handler)(int))
{
    struct sigaction action { };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(number, &action, nullptr) == 0;
}
#endif

#ifdef Q_OS_WIN
// Runs on a thread of its own; a queued call is safe from there.
BOOL WINAPI on_console_event(DWORD event)
{
    const int number = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    QMetaObject::invokeMethod(
        current().data(),
        [number] {
            if (current())
                emit current()->stop_requested(number);
        },
        Qt::QueuedConnection);
    // Windows ends the process when this returns from a close, logoff or
    // shutdown event; hold it so the event loop can switch off first (the
    // system allows about five seconds).
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(4000);
    return TRUE;
}
#endif

} // namespace

stop_signals::stop_signals(which set, QObject *parent)
    : QObject(parent)
{
    current() = this;
#ifdef Q_OS_UNIX
    const QList<int> numbers
        = set == which::every_stopping ? stopping_signals() : QList<int> { SIGTERM, SIGINT };
    if (signal_socket[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signal_socket) != 0) {
            failed_ = numbers;
            return;
        }
        ::fcntl(signal_socket[0], F_SETFL, O_NONBLOCK);
        ::fcntl(signal_socket[1], F_SETFL, O_NONBLOCK);
    }
    notifier_ = new QSocketNotifier(signal_socket[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        while (::read(signal_socket[1], &byte, 1) == 1)
            emit stop_requested(int(static_cast<unsigned char>(byte)));
    });
    // A closed terminal or SSH session (SIGHUP), a timeout or any other
    // stopping signal ends a command as cleanly as Ctrl-C: a relay is never
    // left on because the window went.
    // One ignored from the start (nohup, a background job of a script) stays
    // ignored, as the caller asked.
    for (const int number : numbers) {
        if (ignored(number))
            continue;
        if (handle(number, on_signal))
            handled_signals << number;
        else
            failed_ << number;
    }
#elif defined(Q_OS_WIN)
    Q_UNUSED(set);
    SetConsoleCtrlHandler(on_console_event, TRUE);
#endif
}

stop_signals::~stop_signals()
{
#ifdef Q_OS_UNIX
    for (const int number : std::exchange(handled_signals, {}))
        handle(number, SIG_DFL);
#elif defined(Q_OS_WIN)
    SetConsoleCtrlHandler(on_console_event, FALSE);
#endif
    current() = nullptr;
}

} // namespace orvalin
