#include "service/log_summary.h"

namespace orvalin::service {

namespace {

QString counted(const QString &kind, qint64 count)
{
    return QStringLiteral("%1: %2 more not logged").arg(kind).arg(count);
}

} // namespace

QString clip_for_log(const QString &text)
{
    if (text.size() <= max_logged_chars)
        return text;
    return QStringLiteral("%1… (%2 characters)").arg(text.left(max_logged_chars)).arg(text.size());
}

std::optional<QString> log_summary::note(
    const QString &kind, const QString &text, clock::time_point now)
{
    const auto found = kinds_.find(kind);
    if (found == kinds_.end()) {
        kinds_.emplace(kind, kind_state { now, 0 });
        return text;
    }
    kind_state &state = found->second;
    if (now - state.logged_at < period_) {
        ++state.unlogged;
        return std::nullopt;
    }
    state.logged_at = now;
    if (const qint64 before = std::exchange(state.unlogged, 0))
        return QStringLiteral("%1; %2 more like it not logged").arg(text).arg(before);
    return text;
}

QStringList log_summary::flush(clock::time_point now, bool everything)
{
    QStringList lines;
    for (auto &[kind, state] : kinds_) {
        if (state.unlogged == 0 || (!everything && now - state.logged_at < period_))
            continue;
        lines.append(counted(kind, std::exchange(state.unlogged, 0)));
        state.logged_at = now;
    }
    return lines;
}

} // namespace orvalin::service
