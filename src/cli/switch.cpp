// orvalinctl on|off|toggle CH..., all on|off: switch outputs and confirm.

#include "cli/cli.h"
#include "cli/session.h"
#include "system/numbers.h"

namespace orvalin::cli {

namespace {

// What was asked, in words for the messages: "output 3 on, output 5 off".
QString goal_text(session::target goal)
{
    QStringList parts;
    for (int k = 1; k <= channels_per_kind; ++k) {
        const std::uint8_t bit = std::uint8_t(1u << (k - 1));
        if (goal.mask & bit)
            parts << channel_label({ channel_kind::output, k })
                    + (goal.want & bit ? QStringLiteral(" on") : QStringLiteral(" off"));
    }
    return parts.join(QStringLiteral(", "));
}

// The commands that bring the outputs in goal.mask to goal.want.
QList<frame> commands_for(std::uint8_t address, session::target goal)
{
    QList<frame> commands;
    for (int k = 1; k <= channels_per_kind; ++k) {
        const std::uint8_t bit = std::uint8_t(1u << (k - 1));
        if (goal.mask & bit)
            commands << build_frame(
                address, goal.want & bit ? switch_on : switch_off, 0, std::uint8_t(k));
    }
    return commands;
}

void switch_and_report(session &line, session::target goal, QList<frame> commands)
{
    line.send_confirmed(
        commands, goal, [&line, goal](bool confirmed, std::optional<module_status> last) {
            if (!confirmed) {
                line.report_unconfirmed(goal_text(goal), last);
                line.finish(exit_not_done);
                return;
            }
            line.finish(exit_ok);
        });
}

} // namespace

int run_switch(const settings &options)
{
    const QString &command = options.command;
    session::target goal;
    if (command == QLatin1String("all")) {
        const QString &state = options.arguments.first();
        if (state != QLatin1String("on") && state != QLatin1String("off"))
            return usage_failure(QStringLiteral("all: say 'on' or 'off', not '%1'").arg(state));
        goal = { 0xFF, std::uint8_t(state == QLatin1String("on") ? 0xFF : 0x00) };
    } else {
        for (const QString &text : options.arguments) {
            const auto channel = parse_whole(text, 1, channels_per_kind);
            if (!channel)
                return usage_failure(
                    QStringLiteral("'%1' is not an output 1-%2").arg(text).arg(channels_per_kind));
            goal.mask |= std::uint8_t(1u << (*channel - 1));
        }
        goal.want = command == QLatin1String("on") ? goal.mask : 0;
    }

    session line(options);
    if (const int code = line.open())
        return code;
    if (command == QLatin1String("all")) {
        // The module takes 255 or 0 in both data bytes, as the panel sends them.
        switch_and_report(
            line, goal, { build_frame(options.address, set_all_outputs, goal.want, goal.want) });
    } else if (command == QLatin1String("toggle")) {
        line.poll(options.address, [&line, &options, goal](const exchange_result &result) mutable {
            if (!result.status) {
                line.report_unconfirmed(QStringLiteral("its state before toggling"), std::nullopt);
                line.finish(exit_not_done);
                return;
            }
            goal.want = std::uint8_t(~result.status->outputs) & goal.mask;
            switch_and_report(line, goal, commands_for(options.address, goal));
        });
    } else {
        switch_and_report(line, goal, commands_for(options.address, goal));
    }
    return line.run();
}

} // namespace orvalin::cli
