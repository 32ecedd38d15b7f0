// orvalinctl scan [FIRST-LAST]: which addresses answer.

#include "cli/cli.h"
#include "cli/session.h"
#include "system/numbers.h"

#include <cstdio>
#include <memory>

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

std::optional<std::pair<int, int>> parse_address_range(const QString &text)
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

void scan_range(session &line, std::pair<int, int> range, std::chrono::milliseconds timeout,
    std::function<void(const module_status &)> found, std::function<void(int count)> done)
{
    const bool progress = orvalin_isatty(orvalin_fileno(stderr));
    auto count = std::make_shared<int>(0);
    auto scan_from = std::make_shared<std::function<void(int)>>();
    *scan_from = [=, &line](int address) {
        if (address > range.second) {
            if (progress)
                std::fputs("\r\033[K", stderr);
            const int total = *count;
            const auto then = done;
            // Breaks the cycle of the function holding itself; from here on
            // only locals are used, as this lambda is gone.
            *scan_from = nullptr;
            then(total);
            return;
        }
        if (progress) {
            std::fprintf(stderr, "\rscanning %d-%d: %d, %d found ", range.first, range.second,
                address, *count);
            std::fflush(stderr);
        }
        line.exchange(build_frame(std::uint8_t(address), status_poll, 0, 0), timeout,
            [=](const exchange_result &result) {
                if (result.status) {
                    ++*count;
                    if (progress)
                        std::fputs("\r\033[K", stderr);
                    found(*result.status);
                }
                (*scan_from)(address + 1);
            });
    };
    (*scan_from)(range.first);
}

void print_module(const module_status &status, bool json, const QString &device)
{
    if (json) {
        QList<std::pair<QLatin1String, QByteArray>> fields;
        if (!device.isEmpty())
            fields.append({ QLatin1String("device"), json_text(device) });
        fields.append({ QLatin1String("address"), json_text(status.address) });
        fields.append({ QLatin1String("outputs"), json_text(state_array(status.outputs)) });
        fields.append({ QLatin1String("inputs"), json_text(state_array(status.inputs)) });
        print_json(fields);
        return;
    }
    print_line(QStringLiteral("%1%2 outputs %3 inputs %4")
                   .arg(device.isEmpty() ? QString() : QStringLiteral("  "))
                   .arg(status.address)
                   .arg(states_text(status.outputs), states_text(status.inputs)));
}

int run_scan(const settings &options)
{
    std::pair range { 0, 255 };
    if (!options.arguments.isEmpty()) {
        const auto parsed = parse_address_range(options.arguments[0]);
        if (!parsed)
            return usage_failure(QStringLiteral("'%1' is not a range FIRST-LAST within 0-255")
                                     .arg(options.arguments[0]));
        range = *parsed;
    }
    session line(options);
    if (const int code = line.open())
        return code;
    scan_range(
        line, range, options.timeout,
        [&](const module_status &status) { print_module(status, options.json, QString()); },
        [&](int found) { line.finish(found ? exit_ok : exit_not_done); });
    return line.run();
}

} // namespace orvalin::cli
