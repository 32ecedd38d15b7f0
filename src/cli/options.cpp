// orvalinctl's command line: the command table, --help written from it and
// from the exit codes, and the parsing of options into settings.

#include "cli/cli.h"
#include "names/name_file.h"
#include "system/numbers.h"
#include "system/toolkit.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <algorithm>

namespace orvalin::cli {

namespace {

const std::array commands {
    command_entry {
        "status", "", "one poll; the 16 channels, one a line (name last)", 0, 0, run_status },
    command_entry {
        "on", "CH...", "switch outputs on (1-8) and confirm", 1, channels_per_kind, run_switch },
    command_entry {
        "off", "CH...", "switch outputs off and confirm", 1, channels_per_kind, run_switch },
    command_entry { "toggle", "CH...", "read the outputs, switch each over, confirm", 1,
        channels_per_kind, run_switch },
    command_entry { "all", "on|off", "switch all outputs and confirm", 1, 1, run_switch },
    command_entry { "pulse", "CH DURATION",
        "on, confirmed, held (500ms, 2s, 1.5s, 1m), off, confirmed;\n"
        "a signal that ends the program (Ctrl-C, SIGTERM, SIGALRM, ...)\n"
        "switches the output off first",
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
    command_entry { "ports", "[assign N DEVICE | unassign N]",
        "the serial devices, one a line: port numbers that lead there, stable\n"
        "names, USB adapter, in use; assign/unassign port N in the user's\n"
        "data folder; --probe [FIRST-LAST] polls each free device (30 ms)",
        0, 3, run_ports },
    // serve parses its own options (orvalinctl serve --help); it takes none
    // of the ones above, as its config says everything.
    command_entry { "serve", "[OPTIONS]", "run the MQTT service (see orvalinctl serve --help)", 0,
        -1, nullptr },
};

// Lines of "head  summary" with the summaries in one column; a summary's own
// line breaks continue in that column.
QString columns(const QList<std::pair<QString, QString>> &rows)
{
    qsizetype width = 0;
    for (const auto &[head, summary] : rows)
        width = std::max(width, head.size() + 2);
    QString text;
    for (const auto &[head, summary] : rows) {
        QString body = summary;
        body.replace(u'\n', QStringLiteral("\n") + QString(width, u' '));
        text += head.leftJustified(width) + body + u'\n';
    }
    return text;
}

QString description()
{
    QList<std::pair<QString, QString>> command_rows;
    for (const command_entry &entry : commands)
        command_rows.append({ QStringLiteral("  %1 %2").arg(
                                  QLatin1String(entry.name), QLatin1String(entry.arguments)),
            QLatin1String(entry.summary) });
    QList<std::pair<QString, QString>> exit_rows;
    for (const exit_code_entry &entry : exit_codes)
        exit_rows.append({ QStringLiteral("  %1").arg(QLatin1String(entry.code_text)),
            QLatin1String(entry.meaning) });
    return QStringLiteral("Controls relay modules on a serial line.\n\nCommands:\n")
        + columns(command_rows)
        + QStringLiteral(
            "\nSwitching commands poll after sending until a reply shows every output\n"
            "as asked: at most 3 polls after the commands, --timeout each.\n"
            "\nExit codes:\n")
        + columns(exit_rows)
        + QStringLiteral(
            "\nEnvironment: ORVALIN_PORT, ORVALIN_ADDRESS give the defaults of -p and -a.");
}

// The position of the command in arguments (after the program's name): the
// first argument that is neither an option nor an option's value; -1 when
// there is none.
qsizetype command_position(const QStringList &arguments)
{
    static const QStringList with_value { QStringLiteral("-p"), QStringLiteral("--port"),
        QStringLiteral("-a"), QStringLiteral("--address"), QStringLiteral("--names"),
        QStringLiteral("--timeout") };
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (argument == QLatin1String("--"))
            return i + 1 < arguments.size() ? i + 1 : -1;
        if (!argument.startsWith(u'-') || argument.size() == 1)
            return i;
        if (with_value.contains(argument))
            ++i;
    }
    return -1;
}

} // namespace

const command_entry *find_command(const QString &name)
{
    for (const command_entry &entry : commands) {
        if (name == QLatin1String(entry.name))
            return &entry;
    }
    return nullptr;
}

command_line parse_command_line(const QStringList &arguments)
{
    // serve has options of its own, which the parser below would refuse.
    const qsizetype position = command_position(arguments);
    if (position > 0 && arguments[position] == QLatin1String("serve")) {
        if (position > 1)
            return command_line::done(usage_failure(
                QStringLiteral("'%1' does not apply to serve: its config file says everything")
                    .arg(arguments[1])));
        return command_line::serve(arguments.mid(position + 1));
    }

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
        QStringLiteral("Wait for each reply, in ms (default 500, for scan 100, ports --probe 30)."),
        QStringLiteral("MS"));
    const QCommandLineOption probe_option(QStringLiteral("probe"),
        QStringLiteral("ports: poll the addresses on every device not in use."));
    parser.addOptions({ port_option, address_option, names_option, json_option, csv_option,
        timeout_option, probe_option });
    parser.addPositionalArgument(
        QStringLiteral("command"), QStringLiteral("One of the commands above."));
    parser.addPositionalArgument(
        QStringLiteral("args"), QStringLiteral("Its arguments."), QStringLiteral("[ARGS...]"));

    if (!parser.parse(arguments))
        return command_line::done(usage_failure(parser.errorText()));
    if (parser.isSet(help_option)) {
        // Named as typed, not by the path the program was started from.
        print_line(
            parser.helpText().trimmed().replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                QStringLiteral("Usage: orvalinctl")));
        return command_line::done(exit_ok);
    }
    if (parser.isSet(version_option)) {
        print_line(QStringLiteral("orvalinctl %1").arg(QStringLiteral(ORVALIN_VERSION)));
        return command_line::done(exit_ok);
    }

    settings options;
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return command_line::done(usage_failure(QStringLiteral("no command given")));
    options.command = positional.takeFirst();
    options.arguments = positional;
    const command_entry *entry = find_command(options.command);
    if (!entry || !entry->run)
        return command_line::done(
            usage_failure(QStringLiteral("unknown command '%1'").arg(options.command)));
    if (options.arguments.size() < entry->min_arguments
        || options.arguments.size() > entry->max_arguments)
        return command_line::done(
            usage_failure(QStringLiteral("usage: orvalinctl [options] %1 %2")
                              .arg(options.command, QLatin1String(entry->arguments))
                              .trimmed()));

    // An empty value given on the command line is a mistake (an unset
    // variable in a script), never a quiet way back to module 1 on port 1.
    if (parser.isSet(port_option) && parser.value(port_option).trimmed().isEmpty())
        return command_line::done(usage_failure(QStringLiteral("--port is empty")));
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
            return command_line::done(
                usage_failure(QStringLiteral("%1 '%2' is not an address 0-255")
                                  .arg(address_given ? QStringLiteral("--address")
                                                     : QStringLiteral("$ORVALIN_ADDRESS"),
                                      address_text)));
        options.address = *address;
    }

    options.names_given = parser.isSet(names_option);
    if (options.names_given) {
        options.names_path = parser.value(names_option);
        if (!toolkit::file_exists(options.names_path))
            return command_line::done(
                usage_failure(QStringLiteral("--names: no name file %1").arg(options.names_path)));
    } else {
        options.names_path = name_file_path();
    }

    options.json = parser.isSet(json_option);
    options.csv = parser.isSet(csv_option);
    if (options.json && options.csv)
        return command_line::done(
            usage_failure(QStringLiteral("--json and --csv exclude each other")));
    if (options.csv && options.command != QLatin1String("watch"))
        return command_line::done(usage_failure(QStringLiteral("--csv is for watch only")));

    options.probe = parser.isSet(probe_option);
    if (options.probe && options.command != QLatin1String("ports"))
        return command_line::done(usage_failure(QStringLiteral("--probe is for ports only")));
    if (options.command == QLatin1String("scan"))
        options.timeout = default_scan_timeout;
    if (options.probe)
        options.timeout = default_probe_timeout;
    if (parser.isSet(timeout_option)) {
        const auto millis = parse_whole(parser.value(timeout_option), 1, 60000);
        if (!millis)
            return command_line::done(
                usage_failure(QStringLiteral("--timeout '%1' is not 1-60000 ms")
                                  .arg(parser.value(timeout_option))));
        options.timeout = std::chrono::milliseconds(*millis);
        options.timeout_given = true;
    }
    return command_line::run(entry, std::move(options));
}

} // namespace orvalin::cli
