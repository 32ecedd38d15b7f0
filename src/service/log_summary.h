#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <map>
#include <optional>

namespace orvalin::service {

// Longest topic or payload text put into a log line.
inline constexpr qsizetype max_logged_chars = 200;

// text, cut to max_logged_chars with a note of how long it was.
QString clip_for_log(const QString &text);

// Keeps a flood of like events from flooding the log: the first event of a
// kind is logged at once, the others are counted and reported as one line
// per kind and period.
class log_summary {
public:
    using clock = std::chrono::steady_clock;

    explicit log_summary(clock::duration period = std::chrono::seconds(10))
        : period_(period)
    {
    }

    // The line to log for this event now, if any: text itself, or text with
    // the count of like events not logged since the kind's last line.
    std::optional<QString> note(const QString &kind, const QString &text, clock::time_point now);
    // Lines for the events counted and not yet reported: those whose period
    // is over, or all of them with everything.
    QStringList flush(clock::time_point now, bool everything = false);

private:
    struct kind_state {
        clock::time_point logged_at {};
        qint64 unlogged = 0;
    };

    clock::duration period_;
    std::map<QString, kind_state> kinds_;
};

} // namespace orvalin::service
