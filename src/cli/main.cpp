// orvalinctl: the relay module from scripts and terminals.
//
//     orvalinctl [-p PORT] [-a ADDRESS] [--names FILE] [--json] [--timeout MS] COMMAND [ARGS]
//     orvalinctl serve [--config FILE] [-v] [--check]
//
// The commands live in one file each beside this one; options.cpp parses
// the command line, this file dispatches.

#include "cli/cli.h"
#include "cli/serve.h"

#include <QCoreApplication>

#include <csignal>

using namespace orvalin::cli;

int main(int argc, char *argv[])
{
    // Qt's own event loop rather than GLib's: GLib wakes itself through a
    // descriptor each time a port starts or stops watching its line, three
    // system calls a time, several times an exchange. Nothing here needs GLib.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
#ifdef Q_OS_UNIX
    // A reader gone away shows as a failed write, handled where it matters,
    // instead of ending the program with a relay possibly on.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QCoreApplication::setApplicationName(QStringLiteral("orvalinctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVALIN_VERSION));

    const command_line line = parse_command_line(QCoreApplication::arguments());
    switch (line.action) {
    case command_line::action::exit:
        return line.exit_code;
    case command_line::action::serve:
        return orvalin::service::serve_main(line.serve_arguments);
    case command_line::action::run:
        break;
    }
    const int code = line.entry->run(line.options);
    if (output_failed() && code == exit_ok) {
        print_error(QStringLiteral("cannot write to standard output"));
        return exit_not_done;
    }
    return code;
}
