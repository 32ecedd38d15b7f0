// orvalinctl scan [FIRST-LAST]: which addresses answer.

#include "cli/cli.h"
#include "cli/session.h"
#include "system/numbers.h"

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define orvalin_isatty _isatty
#define orvalin_fileno _fileno
#else
#include <unistd.h>
#define orvalin_isatty ::isatty
#define orvalin_fileno ::fileno
#endif

namespace orvalin::cli {

namespace {

// FIRST-LAST, or one address alone.
std::optional<std::pair<int, int>> parse_range(const QString &text)
{
    const QStringList parts = text.split(u'-');
    if (parts.size() > 2)
        return std::nullopt;
    const auto first = parse_address(parts.front());
    const auto last = parse_address(parts.back());
    if (!first || !last || *first > *last)
        return std::nullopt;
    return std::pair<int, int> { *first, *last };
}

} // namespace

int run_scan(const settings &options)
{
    std::pair range { 0, 255 };
    if (!options.arguments.isEmpty()) {
        const auto parsed = parse_range(options.arguments[0]);
        if (!parsed)
            return usage_failure(QStringLiteral("'%1' is not a range FIRST-LAST within 0-255")
                                     .arg(options.arguments[0]));
        range = *parsed;
    }
    session line(options);
    if (const int code = line.open())
        return code;
    const bool progress = orvalin_isatty(orvalin_fileno(stderr));
    int found = 0;
    std::function<void(int)> scan_from = [&](int address) {
        if (address > range.second) {
            if (progress)
                std::fputs("\r\033[K", stderr);
            line.finish(found ? exit_ok : exit_not_done);
            return;
        }
        if (progress) {
            std::fprintf(stderr, "\rscanning %d-%d: %d, %d found ", range.first, range.second,
                address, found);
            std::fflush(stderr);
        }
        line.exchange(build_frame(std::uint8_t(address), status_poll, 0, 0), options.timeout,
            [&, address](const exchange_result &result) {
                if (result.status) {
                    ++found;
                    const module_status &status = *result.status;
                    if (progress)
                        std::fputs("\r\033[K", stderr);
                    if (options.json) {
                        print_json({
                            { QLatin1String("address"), json_text(status.address) },
                            { QLatin1String("outputs"), json_text(state_array(status.outputs)) },
                            { QLatin1String("inputs"), json_text(state_array(status.inputs)) },
                        });
                    } else {
                        print_line(
                            QStringLiteral("%1 outputs %2 inputs %3")
                                .arg(status.address)
                                .arg(states_text(status.outputs), states_text(status.inputs)));
                    }
                }
                scan_from(address + 1);
            });
    };
    scan_from(range.first);
    return line.run();
}

} // namespace orvalin::cli
