// orvalinctl names [ADDRESS [CHANNEL NAME]]: read or rename channel names.

#include "cli/cli.h"

#include "names/name_file.h"
#include "names/profile.h"
#include "system/numbers.h"
#include "system/toolkit.h"

#include <QRegularExpression>

namespace orvalin::cli {

int run_names(const settings &options)
{
    std::uint8_t address = options.address;
    if (!options.arguments.isEmpty()) {
        const auto given = parse_address(options.arguments[0]);
        if (!given)
            return usage_failure(
                QStringLiteral("'%1' is not an address 0-255").arg(options.arguments[0]));
        address = *given;
    }
    if (options.arguments.size() == 2)
        return usage_failure(QStringLiteral("usage: orvalinctl names ADDRESS CHANNEL NEW_NAME"));

    const QString &path = options.names_path;
    // Never created here: the panel creates it with all its sections.
    if (!toolkit::file_exists(path))
        return usage_failure(
            QStringLiteral("no name file %1 (give one with --names FILE)").arg(path));
    const QString section = channel_section(QString::number(address));
    if (!has_section(path, section)) {
        print_error(QStringLiteral("%1 has no section [%2]").arg(path, section));
        return exit_not_done;
    }

    if (options.arguments.size() == 3) {
        static const QRegularExpression channel_pattern(
            QStringLiteral("^(out|in)([1-%1])$").arg(channels_per_kind));
        const auto match = channel_pattern.match(options.arguments[1]);
        if (!match.hasMatch())
            return usage_failure(QStringLiteral("'%1' is not a channel out1-out%2 or in1-in%2")
                                     .arg(options.arguments[1])
                                     .arg(channels_per_kind));
        const QString &name = options.arguments[2];
        if (!fits_one_line(name))
            return usage_failure(QStringLiteral("a name cannot hold a line break or NUL"));
        const channel renamed { match.captured(1) == QLatin1String("out") ? channel_kind::output
                                                                          : channel_kind::input,
            match.captured(2).toInt() };
        names_failure failure;
        if (!write_profile(path, section, channel_key(renamed), name, &failure)) {
            print_error(failure
                    ? QStringLiteral("could not write %1 (%2); the name was not saved")
                          .arg(path, names_problem_text_en(failure))
                    : QStringLiteral("could not write %1; the name was not saved").arg(path));
            return exit_not_done;
        }
        return exit_ok;
    }

    const channel_names names = names_or_blank(options, address);
    if (options.json) {
        print_json({
            { QLatin1String("address"), json_text(address) },
            { QLatin1String("outputs"), json_text(QJsonArray::fromStringList(names.outputs)) },
            { QLatin1String("inputs"), json_text(QJsonArray::fromStringList(names.inputs)) },
        });
        return exit_ok;
    }
    for (const channel c : all_channels()) {
        const QString &name = names.name(c);
        print_line(name.isEmpty() ? channel_label(c) : channel_label(c) + u' ' + name);
    }
    return exit_ok;
}

} // namespace orvalin::cli
