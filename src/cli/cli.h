#pragma once

// src/cli: orvalinctl, the command line. The command table and option
// parser (options.cpp), one file per command, shared output (output.cpp)
// and the exchange session (session). A thin shell over src/link and
// src/names; the service it starts lives in src/service.

#include "link/channel.h"
#include "link/frame.h"
#include "link/module_link.h"
#include "names/name_file.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

// Shared pieces of orvalinctl: exit codes, the parsed command line, output.
namespace orvalin::cli {

// Exit codes scripts rely on; --help lists them from exit_codes below.
enum exit_code : int {
    exit_ok = 0,
    // The module did not answer or did not confirm; a name file lacks the
    // section asked for, or could not be written.
    exit_not_done = 1,
    exit_usage = 2,
    exit_port = 3,
};
// A pulse cut short by a signal (its output switched off and confirmed) ends
// with 128 + the signal number, as shells report it.
inline constexpr int exit_signal_base = 128;

struct exit_code_entry {
    const char *code_text;
    const char *meaning;
};
// What each exit code means, for --help; one row per code above.
inline constexpr std::array exit_codes {
    exit_code_entry { "0", "done (and confirmed)" },
    exit_code_entry { "1",
        "the module did not answer or did not confirm (what was sent is\n"
        "printed); names: the name file lacks the address's section or\n"
        "cannot be written; a result could not be written to standard output" },
    exit_code_entry { "2", "usage error; names: a refused name or no name file" },
    exit_code_entry { "3",
        "the port cannot be opened (missing, busy, no permission) or was lost;\n"
        "ports assign/unassign: a missing device, an entry that is not a link,\n"
        "a folder that cannot be written" },
    exit_code_entry { "128+N",
        "pulse stopped by signal N (130 SIGINT, 143 SIGTERM, 129 SIGHUP),\n"
        "after the output was switched off and confirmed" },
};

inline constexpr std::chrono::milliseconds default_timeout { 500 };
inline constexpr std::chrono::milliseconds default_scan_timeout { 100 };
// One exchange at 9600 baud (16 bytes, 16.7 ms) and a margin.
inline constexpr std::chrono::milliseconds default_probe_timeout { 30 };

// Everything the command line said, validated.
struct settings {
    QString command;
    QStringList arguments; // after the command
    QString port; // as given: a number or a device path
    std::uint8_t address = 1;
    QString names_path; // empty: no name file
    bool names_given = false; // --names was on the command line
    bool json = false;
    bool csv = false;
    std::chrono::milliseconds timeout = default_timeout;
    bool timeout_given = false;
    bool probe = false; // ports --probe
};

// Results: one line on standard output, flushed at once so pipes see it.
void print_line(const QString &line);
// True once a result could not be written to standard output.
bool output_failed();
// The one JSON writer of every command: objects whose keys stay in the
// order given (QJsonObject sorts them), the same order wherever the same
// keys appear (address, outputs, inputs, names), since scripts may match
// the documented form. Values are JSON texts (json_text).
QByteArray json_object(const QList<std::pair<QLatin1String, QByteArray>> &fields);
// A value as compact JSON text.
QByteArray json_text(const QJsonValue &value);
// One JSON object (json_object) on one line.
void print_json(const QList<std::pair<QLatin1String, QByteArray>> &fields);
// Diagnostics: "orvalinctl: " + text on standard error.
void print_error(const QString &text);
// Prints the message and the --help hint; returns exit_usage.
int usage_failure(const QString &message);

// "55 01 10 00 00 00 00 66"
QString hex_frame(const frame &bytes);
// "output 3" / "input 5"
QString channel_label(channel c);
// "10100000" for bits 0x05: digit k is channel k, 1 for on.
QString states_text(std::uint8_t bits);

// [true, false, ...]: entry k-1 is channel k.
QJsonArray state_array(std::uint8_t bits);

// The names for address from the settings' name file. Empty names when
// there is no name file or it lacks the section (said on standard error
// when the file was given with --names).
channel_names names_or_blank(const settings &options, std::uint8_t address);

// The commands; each returns the exit code.
int run_status(const settings &options);
int run_switch(const settings &options); // on, off, toggle, all
int run_pulse(const settings &options);
int run_watch(const settings &options);
int run_scan(const settings &options);
int run_names(const settings &options);
int run_ports(const settings &options);

// One row of the command table: --help and the argument count check come
// from it. run is empty for serve, which parses its own options.
struct command_entry {
    const char *name;
    const char *arguments;
    const char *summary;
    int min_arguments;
    int max_arguments;
    int (*run)(const settings &);
};
const command_entry *find_command(const QString &name);

// What the command line asks for: a command to run with its settings, the
// service with its own arguments, or an exit at once (help, version, or a
// usage error already reported) with exit_code.
struct command_line {
    enum class action { run, serve, exit };
    action action = action::exit;
    int exit_code = exit_ok;
    const command_entry *entry = nullptr;
    settings options;
    QStringList serve_arguments;

    static command_line done(int code) { return { action::exit, code, nullptr, {}, {} }; }
    static command_line serve(QStringList arguments)
    {
        return { action::serve, exit_ok, nullptr, {}, std::move(arguments) };
    }
    static command_line run(const command_entry *entry, settings options)
    {
        return { action::run, exit_ok, entry, std::move(options), {} };
    }
};
// Parses arguments (the program's name first); reports usage errors, help
// and version itself.
command_line parse_command_line(const QStringList &arguments);

} // namespace orvalin::cli
