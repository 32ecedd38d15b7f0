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
        static const QRegularExpression channel_pattern(QStringLiteral("^(out|in)([1-8])$"));
        const auto match = channel_pattern.match(options.arguments[1]);
        if (!match.hasMatch())
            return usage_failure(QStringLiteral("'%1' is not a channel out1-out8 or in1-in8")
                                     .arg(options.arguments[1]));
        const QString &name = options.arguments[2];
        if (!fits_one_line(name))
            return usage_failure(QStringLiteral("a name cannot hold a line break or NUL"));
        const bool output = match.captured(1) == QLatin1String("out");
        names_failure failure;
        if (!write_profile(path, section, channel_key(match.captured(2), output), name, &failure)) {
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
    for (const bool output : { true, false }) {
        for (int k = 1; k <= channel_count; ++k) {
            const QString &name = (output ? names.outputs : names.inputs)[k - 1];
            print_line(
                name.isEmpty() ? channel_label(output, k) : channel_label(output, k) + u' ' + name);
        }
    }
    return exit_ok;
}

} // namespace orvalin::cli
