#include "panel_run.h"
#include "runs.h"

#include <QJsonArray>

#include <algorithm>

namespace orvalin::live {

namespace {

enum class start_kind { bare, panel, first_start };

struct launch_result {
    double ms = 0;
    std::int64_t peak_rss_kb = 0;
    // Launch to each message box mapped, in order.
    std::vector<double> dialogs_ms;
};

std::optional<launch_result> launch(
    const programs &with, program_dir &dir, x_display &x, start_kind kind)
{
    using namespace std::chrono_literals;
    if (kind == start_kind::first_start)
        dir.remove_name_file();
    else if (kind == start_kind::panel && !dir.has_name_file() && !dir.write_name_file())
        return std::nullopt;

    panel_process process(x);
    if (!process.start(kind == start_kind::bare ? with.bare : dir.executable()))
        return std::nullopt;
    const qint64 pid = process.pid();
    const auto shown = process.wait_for_window(30s, kind == start_kind::first_start);
    // Painting and the rest of start-up go on after the map; the peak is
    // taken once they are over.
    pause_for(300ms);
    const auto sample = process.sample();
    process.close(10s);
    if (!shown || !sample)
        return std::nullopt;
    if (kind == start_kind::first_start && !dir.has_name_file())
        return std::nullopt;
    launch_result result { *shown - process.started_at_ms(), sample->peak_rss_kb, {} };
    for (const auto &window : x.mapped()) {
        if (window.pid == pid && window.dialog)
            result.dialogs_ms.push_back(window.at_ms - process.started_at_ms());
    }
    return result;
}

QJsonArray to_array(const std::vector<double> &values)
{
    QJsonArray array;
    for (const double value : values)
        array.append(value);
    return array;
}

} // namespace

QJsonObject run_startup(const programs &with, x_display &x, int repeats)
{
    program_dir dir(with.panel, with.work);
    if (!dir.ok())
        return QJsonObject { { QStringLiteral("error"), dir.error() } };

    const start_kind kinds[] = { start_kind::bare, start_kind::panel, start_kind::first_start };
    std::vector<double> times[3];
    std::int64_t peak_rss_kb[3] = {};
    std::vector<double> first_message_ms;
    std::vector<double> second_message_ms;
    const QString load_before = load_average();
    // One unmeasured launch of each first: the page cache and the font
    // cache are then equally warm for all three.
    for (const start_kind kind : kinds) {
        if (!launch(with, dir, x, kind))
            return QJsonObject { { QStringLiteral("error"),
                QStringLiteral("a launch showed no window") } };
    }
    for (int round = 0; round < repeats; ++round) {
        // The order turns each round, so no kind always follows another.
        for (int i = 0; i < 3; ++i) {
            const int k = (round + i) % 3;
            const auto result = launch(with, dir, x, kinds[k]);
            if (!result)
                return QJsonObject { { QStringLiteral("error"),
                    QStringLiteral("a launch showed no window") } };
            times[k].push_back(result->ms);
            peak_rss_kb[k] = std::max(peak_rss_kb[k], result->peak_rss_kb);
            if (kinds[k] == start_kind::first_start && result->dialogs_ms.size() == 2) {
                first_message_ms.push_back(result->dialogs_ms[0]);
                second_message_ms.push_back(result->dialogs_ms[1]);
            }
        }
    }

    const double bare = spread_of(times[0]).median;
    const double panel = spread_of(times[1]).median;
    const double first = spread_of(times[2]).median;
    const auto kind_json = [&](int k) {
        return QJsonObject {
            { QStringLiteral("median_ms"), spread_of(times[k]).median },
            { QStringLiteral("runs_ms"), to_array(times[k]) },
            { QStringLiteral("peak_rss_kb"), qint64(peak_rss_kb[k]) },
        };
    };
    return QJsonObject {
        { QStringLiteral("measured"),
            QStringLiteral("launch to the main window mapped on the X server") },
        { QStringLiteral("repeats"), repeats },
        { QStringLiteral("load_average_before"), load_before },
        { QStringLiteral("load_average_after"), load_average() },
        { QStringLiteral("bare_window"), kind_json(0) },
        { QStringLiteral("panel"), kind_json(1) },
        { QStringLiteral("panel_first_start"), kind_json(2) },
        // Where the first start's time goes: its two message boxes appear.
        { QStringLiteral("first_start_messages_median_ms"),
            QJsonArray {
                spread_of(first_message_ms).median, spread_of(second_message_ms).median } },
        { QStringLiteral("panel_ratio"), bare > 0 ? panel / bare : 0.0 },
        { QStringLiteral("first_start_ratio"), bare > 0 ? first / bare : 0.0 },
    };
}

} // namespace orvalin::live
