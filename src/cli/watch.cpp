// orvalinctl watch: one line per change, until interrupted.

#include "cli/cli.h"
#include "cli/session.h"
#include "system/stop_signals.h"

#include <QDateTime>
#include <QTimer>

namespace orvalin::cli {

namespace {

// The panel's poll interval.
constexpr std::chrono::milliseconds poll_interval { 50 };

QString csv_field(const QString &text)
{
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n')
        && !text.contains(u'\r'))
        return text;
    QString quoted = text;
    quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

// Prints events in the chosen format. A channel event has kind "output" or
// "input", a channel and "on"/"off"; a module event has kind "module",
// channel 0 and "answering"/"not answering".
class event_printer {
public:
    explicit event_printer(const settings &options)
        : options_(options)
    {
        if (options_.csv)
            print_line(QStringLiteral("time,address,channel,state,name"));
    }

    void print(const QString &kind, int channel, const QString &state, const QString &name = {})
    {
        // Local time with its offset written out, so lines from other zones compare.
        const QDateTime now = QDateTime::currentDateTime();
        const QString time = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
        const QString what = channel ? QStringLiteral("%1 %2").arg(kind).arg(channel) : kind;
        if (options_.json) {
            QList<std::pair<QLatin1String, QByteArray>> fields {
                { QLatin1String("time"), json_text(time) },
                { QLatin1String("address"), json_text(options_.address) },
                { QLatin1String("kind"), json_text(kind) },
            };
            if (channel)
                fields.append({ QLatin1String("channel"), json_text(channel) });
            fields.append({ QLatin1String("state"), json_text(state) });
            if (channel)
                fields.append({ QLatin1String("name"), json_text(name) });
            print_json(fields);
        } else if (options_.csv) {
            print_line(QStringList {
                time, QString::number(options_.address), what, state, csv_field(name) }
                           .join(u','));
        } else {
            print_line(QStringList { time, what, state, name }.join(u' ').trimmed());
        }
    }

private:
    const settings &options_;
};

} // namespace

int run_watch(const settings &options)
{
    session line(options);
    if (const int code = line.open())
        return code;
    stop_signals signals_;
    QObject::connect(
        &signals_, &stop_signals::stop_requested, &line, [&] { line.finish(exit_ok); });

    // Said once here; later reads are quiet.
    names_or_blank(options, options.address);
    settings quiet = options;
    quiet.names_given = false;
    event_printer printer(options);
    enum class answering { unknown, yes, no } answers = answering::unknown;
    std::optional<module_status> known;

    const auto take = [&](const exchange_result &result) {
        if (!result.status) {
            if (answers != answering::no)
                printer.print(QStringLiteral("module"), 0, QStringLiteral("not answering"));
            answers = answering::no;
            return;
        }
        if (answers != answering::yes)
            printer.print(QStringLiteral("module"), 0, QStringLiteral("answering"));
        answers = answering::yes;
        // The first reply gives every channel, as the starting point of the log.
        // Names are read when they are printed, so a rename shows at once.
        std::optional<channel_names> names;
        for (const channel c : all_channels()) {
            const bool on = result.status->on(c);
            const bool was = known ? known->on(c) : !on;
            if (on == was)
                continue;
            if (!names)
                names = names_or_blank(quiet, options.address);
            printer.print(c.is_output() ? QStringLiteral("output") : QStringLiteral("input"),
                c.number, on ? QStringLiteral("on") : QStringLiteral("off"), names->name(c));
        }
        known = result.status;
    };
    bool polling = false;
    QTimer ticks;
    ticks.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticks, &QTimer::timeout, &line, [&] {
        // A slow reply holds the next poll back; ticks do not pile up.
        if (polling)
            return;
        polling = true;
        line.poll(options.address, [&](const exchange_result &result) {
            polling = false;
            take(result);
            // A log that cannot be written (full disk, reader gone) is no log.
            if (output_failed())
                line.finish(exit_not_done);
        });
    });
    ticks.start(poll_interval);
    return line.run();
}

} // namespace orvalin::cli
