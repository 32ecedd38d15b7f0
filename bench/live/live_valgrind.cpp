#include "panel_run.h"
#include "runs.h"
#include "sim_run.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cstdio>

namespace orvalin::live {

namespace {

struct leak_report {
    bool complete = false; // the leak summary is there
    qint64 definitely_lost = 0;
    qint64 indirectly_lost = 0;
    qint64 possibly_lost = 0;
    qint64 errors = 0;
    // Definitely or indirectly lost blocks allocated from our own code.
    int own_records = 0;
    qint64 frames = 0;
    double seconds = 0;
};

qint64 summary_bytes(const QString &log, const QString &kind)
{
    const QRegularExpression line(kind + QStringLiteral(R"(: ([\d,]+) bytes in)"));
    const auto match = line.match(log);
    return match.hasMatch() ? match.captured(1).remove(QLatin1Char(',')).toLongLong() : 0;
}

leak_report read_report(const QString &path)
{
    leak_report report;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return report;
    const QString log = QString::fromUtf8(file.readAll());
    report.complete = log.contains(QStringLiteral("LEAK SUMMARY"))
        || log.contains(QStringLiteral("All heap blocks were freed"));
    report.definitely_lost = summary_bytes(log, QStringLiteral("definitely lost"));
    report.indirectly_lost = summary_bytes(log, QStringLiteral("indirectly lost"));
    report.possibly_lost = summary_bytes(log, QStringLiteral("possibly lost"));
    const auto errors
        = QRegularExpression(QStringLiteral(R"(ERROR SUMMARY: ([\d,]+) errors)")).match(log);
    if (errors.hasMatch())
        report.errors = errors.captured(1).remove(QLatin1Char(',')).toLongLong();

    // A loss record runs from its heading to the next line that is empty
    // after valgrind's "==PID==" prefix.
    bool in_record = false;
    bool own = false;
    for (const QString &raw : log.split(QLatin1Char('\n'))) {
        const QString text = raw.section(QStringLiteral("== "), 1).trimmed();
        if (text.contains(QStringLiteral("are definitely lost in loss record"))
            || text.contains(QStringLiteral("are indirectly lost in loss record"))) {
            in_record = true;
            own = false;
        } else if (in_record && text.isEmpty()) {
            report.own_records += own;
            in_record = false;
        } else if (in_record && text.contains(QStringLiteral("orvalin::"))) {
            own = true;
        }
    }
    return report;
}

std::optional<leak_report> run_once(
    const programs &with, x_display &x, std::chrono::seconds polling, const QString &log_path)
{
    using namespace std::chrono_literals;
    program_dir dir(with.panel, with.work);
    if (!dir.ok() || !dir.write_name_file())
        return std::nullopt;
    sim_run sim(with.sim);
    if (!sim.start(dir.port_link()))
        return std::nullopt;
    panel_process panel(x);
    const QStringList valgrind { QStringLiteral("valgrind"), QStringLiteral("--tool=memcheck"),
        QStringLiteral("--leak-check=full"), QStringLiteral("--show-leak-kinds=definite,indirect"),
        QStringLiteral("--num-callers=40"),
        // Leaks are counted apart; the error count is for everything else.
        QStringLiteral("--errors-for-leak-kinds=none"),
        // Qt forks a helper to look for a session bus; a report from that
        // copy of the panel would mix with the panel's own.
        QStringLiteral("--child-silent-after-fork=yes"), QStringLiteral("--log-file=") + log_path };
    // Everything is some twenty times slower under memcheck.
    if (!panel.start(dir.executable(), valgrind) || !panel.wait_for_window(300s))
        return std::nullopt;
    pause_for(2s);
    if (!panel.click(open_comm_x, open_comm_y)
        || !wait_until([&] { return sim.frames().size() >= 3; }, 60s))
        return std::nullopt;
    const std::size_t first = sim.frames().size();
    const double from = monotonic_ms();
    pause_for(polling);
    leak_report counted;
    counted.frames = qint64(sim.frames().size() - first);
    counted.seconds = (monotonic_ms() - from) / 1e3;
    // A normal end (the window closed), so the leak check runs as for
    // an operator closing the panel.
    if (!panel.close(300s))
        return std::nullopt;
    leak_report report = read_report(log_path);
    report.frames = counted.frames;
    report.seconds = counted.seconds;
    return report;
}

} // namespace

int run_valgrind(
    const programs &with, x_display &x, std::chrono::seconds shorter, const QString &reports_dir)
{
    QDir().mkpath(reports_dir);
    const std::chrono::seconds runs[] = { shorter, 2 * shorter };
    std::optional<leak_report> reports[2];
    for (int i = 0; i < 2; ++i) {
        const QString log
            = QDir(reports_dir).filePath(QStringLiteral("memcheck-%1s.log").arg(runs[i].count()));
        std::printf("valgrind: the panel under memcheck, polling %lld s (report %s)\n",
            static_cast<long long>(runs[i].count()), qPrintable(log));
        std::fflush(stdout);
        reports[i] = run_once(with, x, runs[i], log);
        if (!reports[i] || !reports[i]->complete) {
            std::fprintf(stderr, "valgrind: the run did not complete; see %s\n", qPrintable(log));
            return 1;
        }
        const leak_report &r = *reports[i];
        std::printf("valgrind: %lld frames in %.1f s; lost definitely %lld B, indirectly %lld B, "
                    "possibly %lld B; other errors %lld; lost blocks from our code %d\n",
            r.frames, r.seconds, r.definitely_lost, r.indirectly_lost, r.possibly_lost, r.errors,
            r.own_records);
        std::fflush(stdout);
    }
    const leak_report &short_run = *reports[0];
    const leak_report &long_run = *reports[1];
    const qint64 growth = (long_run.definitely_lost + long_run.indirectly_lost)
        - (short_run.definitely_lost + short_run.indirectly_lost);
    const bool pass = growth <= 0 && short_run.own_records == 0 && long_run.own_records == 0;
    std::printf("valgrind: lost bytes grow by %lld B from the %lld s to the %lld s run; %s\n",
        growth, static_cast<long long>(runs[0].count()), static_cast<long long>(runs[1].count()),
        pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}

} // namespace orvalin::live
