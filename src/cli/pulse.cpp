// orvalinctl pulse CH DURATION: on, confirmed, held, off, confirmed.

#include "cli/cli.h"
#include "cli/session.h"
#include "system/numbers.h"
#include "system/stop_signals.h"

#include <QTimer>

namespace orvalin::cli {

namespace {

enum class pulse_phase { switching_on, holding, switching_off };

constexpr std::chrono::milliseconds min_pulse { 1 };
constexpr std::chrono::milliseconds max_pulse = std::chrono::hours(24);

} // namespace

int run_pulse(const settings &options)
{
    const auto channel = parse_whole(options.arguments[0], 1, channels_per_kind);
    if (!channel)
        return usage_failure(QStringLiteral("'%1' is not an output 1-%2")
                                 .arg(options.arguments[0])
                                 .arg(channels_per_kind));
    const auto duration = parse_duration(options.arguments[1], min_pulse, max_pulse);
    if (!duration)
        return usage_failure(QStringLiteral("'%1' is not a duration such as 500ms, 2s, 1.5s")
                                 .arg(options.arguments[1]));

    session line(options);
    if (const int code = line.open())
        return code;
    // From here on the output may be on: a stop request switches it off
    // first instead of ending the program.
    stop_signals signals_;
    QTimer hold;
    hold.setSingleShot(true);
    hold.setTimerType(Qt::PreciseTimer);
    pulse_phase phase = pulse_phase::switching_on;
    int stopped_by = 0;
    const auto bit = std::uint8_t(1u << (*channel - 1));
    const auto k = std::uint8_t(*channel);
    const QString label = channel_label({ channel_kind::output, *channel });

    const auto release = [&] {
        phase = pulse_phase::switching_off;
        hold.stop();
        line.send_confirmed({ build_frame(options.address, switch_off, 0, k) }, { bit, 0 },
            [&](bool confirmed, std::optional<module_status> last) {
                if (!confirmed) {
                    line.report_unconfirmed(
                        label + QStringLiteral(" off; it may still be on"), last);
                    line.finish(exit_not_done);
                    return;
                }
                line.finish(stopped_by ? exit_signal_base + stopped_by : exit_ok);
            });
    };
    QObject::connect(&hold, &QTimer::timeout, &line, release);
    QObject::connect(&signals_, &stop_signals::stop_requested, &line, [&](int number) {
        if (stopped_by)
            return;
        stopped_by = number;
        // While switching on, the off goes out at once instead of after a
        // slow module's reply and the polls confirming the on: the module
        // takes frames in order, so the off still comes after the on.
        if (phase == pulse_phase::switching_on)
            line.abandon();
        if (phase != pulse_phase::switching_off)
            release();
    });

    line.send_confirmed({ build_frame(options.address, switch_on, 0, k) }, { bit, bit },
        [&](bool confirmed, std::optional<module_status> last) {
            if (!confirmed) {
                // It may have pulled in all the same: the off goes out first,
                // and the report, with every frame sent, after it.
                phase = pulse_phase::switching_off;
                line.send_confirmed({ build_frame(options.address, switch_off, 0, k) }, { bit, 0 },
                    [&, on_last = last](bool off_confirmed, std::optional<module_status> off_last) {
                        line.report_unconfirmed(off_confirmed
                                ? label + QStringLiteral(" on (it is off now)")
                                : label + QStringLiteral(" on, nor the off after it; it may be on"),
                            off_last ? off_last : on_last);
                        line.finish(exit_not_done);
                    });
                return;
            }
            phase = pulse_phase::holding;
            hold.start(*duration);
        });
    return line.run();
}

} // namespace orvalin::cli
