// orvalinctl status: one poll, the 16 channels.

#include "cli/cli.h"
#include "cli/session.h"

namespace orvalin::cli {

namespace {

void print_status(const settings &options, const module_status &status)
{
    const channel_names names = names_or_blank(options, status.address);
    if (options.json) {
        const QByteArray names_object = json_object({
            { QLatin1String("outputs"), json_text(QJsonArray::fromStringList(names.outputs)) },
            { QLatin1String("inputs"), json_text(QJsonArray::fromStringList(names.inputs)) },
        });
        print_json({
            { QLatin1String("address"), json_text(status.address) },
            { QLatin1String("outputs"), json_text(state_array(status.outputs)) },
            { QLatin1String("inputs"), json_text(state_array(status.inputs)) },
            { QLatin1String("names"), names_object },
        });
        return;
    }
    for (const channel c : all_channels()) {
        const QString &name = names.name(c);
        QString line
            = channel_label(c) + (status.on(c) ? QStringLiteral(" on") : QStringLiteral(" off"));
        if (!name.isEmpty())
            line += u' ' + name;
        print_line(line);
    }
}

} // namespace

int run_status(const settings &options)
{
    session line(options);
    if (const int code = line.open())
        return code;
    line.poll(options.address, [&](const exchange_result &result) {
        if (!result.status) {
            print_error(QStringLiteral("module %1 on %2 did not answer within %3 ms (sent %4)")
                            .arg(options.address)
                            .arg(line.device())
                            .arg(options.timeout.count())
                            .arg(hex_frame(result.command)));
            line.finish(exit_not_done);
            return;
        }
        print_status(options, *result.status);
        line.finish(exit_ok);
    });
    return line.run();
}

} // namespace orvalin::cli
