// orvalinctl: the relay module from scripts and terminals.
//
//     orvalinctl [-p PORT] [-a ADDRESS] [--names FILE] [--json] [--timeout MS] COMMAND [ARGS]
//
// The commands live in one file each beside this one; this file parses the
// command line (the same table gives --help) and dispatches.

#include "cli/cli.h"
#include "names/name_file.h"
#include "service/serve.h"
#include "system/toolkit.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <csignal>

using namespace orvalin::cli;

namespace {

struct command_entry {
    const char *name;
    const char *arguments;
    const char *summary;
    int min_arguments;
    int max_arguments;
    int (*run)(const settings &);
};

const std::array commands {
    command_entry {
        "status", "", "one poll; the 16 channels, one a line (name last)", 0, 0, run_status },
    command_entry { "on", "CH...", "switch outputs on (1-8) and confirm", 1, 8, run_switch },
    command_entry { "off", "CH...", "switch outputs off and confirm", 1, 8, run_switch },
    command_entry {
        "toggle", "CH...", "read the outputs, switch each over, confirm", 1, 8, run_switch },
    command_entry { "all", "on|off", "switch all outputs and confirm", 1, 1, run_switch },
    command_entry { "pulse", "CH DURATION",
        "on, confirmed, held (500ms, 2s, 1.5s, 1m), off, confirmed;\n"
        "SIGINT/SIGTERM during it switches off before exiting",
        2, 2, run_pulse },
    command_entry { "watch", "",
        "poll every 50 ms, one line per channel change and when the module\n"
        "stops or starts answering (--csv for CSV); Ctrl-C ends it with 0",
        0, 0, run_watch },
    command_entry { "scan", "[FIRST-LAST]",
        "poll each address (default 0-255, --timeout default 100 ms)\n"
        "and print those that answer; outputs/inputs digit k is channel k",
        0, 1, run_scan },
    command_entry { "names", "[ADDRESS [CHANNEL NAME]]",
        "print the 16 names of an address, or rename one channel (out3, in5)", 0, 3, run_names },
    command_entry {
        "serve", "[OPTIONS]", "run the MQTT service (see orvalinctl serve --help)", 0, 0, nullptr },
};

QString description()
{
    QStringList heads;
    qsizetype width = 0;
    for (const command_entry &entry : commands) {
        heads << QStringLiteral("  %1 %2").arg(
            QLatin1String(entry.name), QLatin1String(entry.arguments));
        width = std::max(width, heads.last().size() + 2);
    }
    QString text = QStringLiteral("Controls relay modules on a serial line.\n\nCommands:\n");
    for (std::size_t i = 0; i < commands.size(); ++i) {
        QString summary = QLatin1String(commands[i].summary);
        summary.replace(u'\n', QStringLiteral("\n") + QString(width, u' '));
        text += heads[qsizetype(i)].leftJustified(width) + summary + u'\n';
    }
    text += QStringLiteral(
        "\nSwitching commands poll after sending until a reply shows every output\n"
        "as asked: at most 3 polls after the commands, --timeout each.\n"
        "\nExit codes:\n"
        "  0    done (and confirmed)\n"
        "  1    the module did not answer or did not confirm (what was sent is\n"
        "       printed); names: the name file lacks the address's section or\n"
        "       cannot be written; a result could not be written to standard output\n"
        "  2    usage error; names: a refused name or no name file\n"
        "  3    the port cannot be opened (missing, busy, no permission) or was lost\n"
        "  128+N  pulse stopped by signal N (130 SIGINT, 143 SIGTERM, 129 SIGHUP),\n"
        "         after the output was switched off and confirmed\n"
        "\nEnvironment: ORVALIN_PORT, ORVALIN_ADDRESS give the defaults of -p and -a.");
    return text;
}

const command_entry *find_command(const QString &name)
{
    for (const command_entry &entry : commands) {
        if (name == QLatin1String(entry.name))
            return &entry;
    }
    return nullptr;
}

std::optional<std::uint8_t> parse_address(const QString &text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < 0 || value > 255)
        return std::nullopt;
    return std::uint8_t(value);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
#ifdef Q_OS_UNIX
    // A reader gone away shows as a failed write, handled where it matters,
    // instead of ending the program with a relay possibly on.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QCoreApplication::setApplicationName(QStringLiteral("orvalinctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVALIN_VERSION));
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1 && arguments[1] == QLatin1String("serve"))
        return orvalin::service::serve_main(arguments.mid(2));

    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    const QCommandLineOption help_option = parser.addHelpOption();
    const QCommandLineOption version_option = parser.addVersionOption();
    const QCommandLineOption port_option({ QStringLiteral("p"), QStringLiteral("port") },
        QStringLiteral("Port number or device path (default $ORVALIN_PORT, else 1)."),
        QStringLiteral("PORT"));
    const QCommandLineOption address_option({ QStringLiteral("a"), QStringLiteral("address") },
        QStringLiteral("Module address 0-255 (default $ORVALIN_ADDRESS, else 1)."),
        QStringLiteral("ADDRESS"));
    const QCommandLineOption names_option(QStringLiteral("names"),
        QStringLiteral("Name file (default: name.txt beside the program, or "
                       "~/.local/share/orvalin/name.txt where the program's folder is not "
                       "writable; never created)."),
        QStringLiteral("FILE"));
    const QCommandLineOption json_option(
        QStringLiteral("json"), QStringLiteral("JSON output (JSON lines for watch and scan)."));
    const QCommandLineOption csv_option(
        QStringLiteral("csv"), QStringLiteral("CSV output with a header (watch)."));
    const QCommandLineOption timeout_option(QStringLiteral("timeout"),
        QStringLiteral("Wait for each reply, in ms (default 500, for scan 100)."),
        QStringLiteral("MS"));
    parser.addOptions(
        { port_option, address_option, names_option, json_option, csv_option, timeout_option });
    parser.addPositionalArgument(
        QStringLiteral("command"), QStringLiteral("One of the commands above."));
    parser.addPositionalArgument(
        QStringLiteral("args"), QStringLiteral("Its arguments."), QStringLiteral("[ARGS...]"));

    if (!parser.parse(arguments))
        return usage_failure(parser.errorText());
    if (parser.isSet(help_option)) {
        // Named as typed, not by the path the program was started from.
        print_line(
            parser.helpText().trimmed().replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                QStringLiteral("Usage: orvalinctl")));
        return exit_ok;
    }
    if (parser.isSet(version_option)) {
        print_line(QStringLiteral("orvalinctl %1").arg(QStringLiteral(ORVALIN_VERSION)));
        return exit_ok;
    }

    settings options;
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usage_failure(QStringLiteral("no command given"));
    options.command = positional.takeFirst();
    options.arguments = positional;
    const command_entry *entry = find_command(options.command);
    if (!entry || !entry->run)
        return usage_failure(QStringLiteral("unknown command '%1'").arg(options.command));
    if (options.arguments.size() < entry->min_arguments
        || options.arguments.size() > entry->max_arguments)
        return usage_failure(QStringLiteral("usage: orvalinctl [options] %1 %2")
                                 .arg(options.command, QLatin1String(entry->arguments))
                                 .trimmed());

    // An empty value given on the command line is a mistake (an unset
    // variable in a script), never a quiet way back to module 1 on port 1.
    if (parser.isSet(port_option) && parser.value(port_option).trimmed().isEmpty())
        return usage_failure(QStringLiteral("--port is empty"));
    options.port = parser.isSet(port_option) ? parser.value(port_option)
                                             : qEnvironmentVariable("ORVALIN_PORT");
    if (options.port.trimmed().isEmpty())
        options.port = QStringLiteral("1");

    const bool address_given = parser.isSet(address_option);
    const QString address_text
        = address_given ? parser.value(address_option) : qEnvironmentVariable("ORVALIN_ADDRESS");
    if (address_given || !address_text.isEmpty()) {
        const auto address = parse_address(address_text);
        if (!address)
            return usage_failure(QStringLiteral("%1 '%2' is not an address 0-255")
                                     .arg(address_given ? QStringLiteral("--address")
                                                        : QStringLiteral("$ORVALIN_ADDRESS"),
                                         address_text));
        options.address = *address;
    }

    options.names_given = parser.isSet(names_option);
    if (options.names_given) {
        options.names_path = parser.value(names_option);
        if (!orvalin::toolkit::file_exists(options.names_path))
            return usage_failure(
                QStringLiteral("--names: no name file %1").arg(options.names_path));
    } else {
        options.names_path = orvalin::name_file_path();
    }

    options.json = parser.isSet(json_option);
    options.csv = parser.isSet(csv_option);
    if (options.json && options.csv)
        return usage_failure(QStringLiteral("--json and --csv exclude each other"));
    if (options.csv && options.command != QLatin1String("watch"))
        return usage_failure(QStringLiteral("--csv is for watch only"));

    if (options.command == QLatin1String("scan"))
        options.timeout = default_scan_timeout;
    if (parser.isSet(timeout_option)) {
        bool ok = false;
        const int millis = parser.value(timeout_option).toInt(&ok);
        if (!ok || millis < 1 || millis > 60000)
            return usage_failure(QStringLiteral("--timeout '%1' is not 1-60000 ms")
                                     .arg(parser.value(timeout_option)));
        options.timeout = std::chrono::milliseconds(millis);
        options.timeout_given = true;
    }
    const int code = entry->run(options);
    if (output_failed() && code == exit_ok) {
        print_error(QStringLiteral("cannot write to standard output"));
        return exit_not_done;
    }
    return code;
}
