// orvalin-live: measurements of the running panel.
//
//   orvalin-live bench    [--build DIR] [--seconds N] [--repeats N] [--micro FILE] [--out FILE]
//   orvalin-live soak     [--build DIR] [--seconds N]
//   orvalin-live valgrind [--build DIR] [--seconds N] [--reports DIR]
//   orvalin-live lamp     [--build DIR] [--seconds N] [--out FILE]
//
// bench, soak and valgrind drive the real panel process (DIR/orvalin) on the
// X display of $DISPLAY (an Xvfb, see scripts/live.sh) against the module
// emulator (DIR/orvalin-sim), clicking through XTEST. bench also times the
// start-up against DIR/bench/orvalin-bare, runs "lamp" in a child process on
// the offscreen platform, merges everything into the Google Benchmark JSON
// given by --micro, writes it to --out and prints a table against the goals.

#include "runs.h"
#include "x_display.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryFile>

#include <cstdio>
#include <memory>

using namespace orvalin::live;

namespace {

struct goal_row {
    QString figure;
    QString measured;
    QString goal;
    std::optional<bool> met; // no value: a figure without a goal of its own
    double value = 0;
};

double number_at(const QJsonObject &root, const QStringList &path)
{
    QJsonValue value = root;
    for (const QString &key : path)
        value = value.toObject().value(key);
    return value.toDouble(-1);
}

// Below zero is a figure that was not measured.
QString fixed(double value, int decimals)
{
    return value < 0 ? QStringLiteral("—") : QString::number(value, 'f', decimals);
}

std::vector<goal_row> goal_rows(const QJsonObject &live)
{
    const auto at = [&](std::initializer_list<const char *> keys) {
        QStringList path;
        for (const char *key : keys)
            path << QLatin1String(key);
        return number_at(live, path);
    };
    // A figure that was not measured (a part left out, or failed) reads
    // below zero and is judged neither way.
    const auto judged
        = [](double value, bool met) { return value < 0 ? std::optional<bool>() : met; };
    const double mib = 1024.0;
    const double fps = at({ "poll_run", "poll", "frames_per_second" });
    const double deviation_p99 = at({ "poll_run", "poll", "deviation_from_50ms", "p99" });
    const double lamp_p99 = at({ "reply_to_lamp", "reply_to_lamp_ms", "p99" });
    const double cpu_poll = at({ "poll_run", "poll", "cpu_percent" });
    const double cpu_idle = at({ "poll_run", "idle", "cpu_percent" });
    const double cpu_closed = at({ "poll_run", "closed", "cpu_percent" });
    const double peak
        = std::max({ at({ "poll_run", "peak_rss_kb" }), at({ "startup", "panel", "peak_rss_kb" }),
              at({ "startup", "panel_first_start", "peak_rss_kb" }) })
        / mib;
    const double ratio = at({ "startup", "panel_ratio" });
    const double first_ratio = at({ "startup", "first_start_ratio" });

    // Median, p99 and max of a spread.
    const auto three = [&](std::initializer_list<const char *> keys) {
        QStringList path;
        for (const char *key : keys)
            path << QLatin1String(key);
        QStringList parts;
        for (const char *figure : { "median", "p99", "max" })
            parts << fixed(number_at(live, path + QStringList { QLatin1String(figure) }), 2);
        return parts.join(QStringLiteral(" / "));
    };

    return {
        { QStringLiteral("frames per second"), fixed(fps, 3), QStringLiteral("20.0 ± 0.1"),
            judged(fps, fps >= 19.9 && fps <= 20.1), fps },
        { QStringLiteral("frame interval median / p99 / max, ms"),
            three({ "poll_run", "poll", "interval_ms" }), QString(), std::nullopt, 0 },
        { QStringLiteral("|interval − 50 ms| median / p99 / max, ms"),
            three({ "poll_run", "poll", "deviation_from_50ms" }), QString(), std::nullopt, 0 },
        { QStringLiteral("p99 of |interval − 50 ms|, ms"), fixed(deviation_p99, 3),
            QStringLiteral("≤ 1"), judged(deviation_p99, deviation_p99 <= 1), deviation_p99 },
        { QStringLiteral("same, as the panel sends (in-process), ms"),
            three({ "reply_to_lamp", "sent_deviation_from_50ms" }), QString(), std::nullopt, 0 },
        { QStringLiteral("panel's write to emulator's read, ms"),
            three({ "reply_to_lamp", "sent_to_emulator_ms" }), QString(), std::nullopt, 0 },
        { QStringLiteral("meanwhile a plain sleeper woke late by, ms"),
            three({ "poll_run", "poll", "machine_wake_lateness_ms" }), QString(), std::nullopt, 0 },
        { QStringLiteral("meanwhile the CPUs were busy, %"),
            fixed(at({ "poll_run", "poll", "machine_busy_percent" }), 0), QString(), std::nullopt,
            0 },
        { QStringLiteral("reply byte 8 to lamp median / p99 / max, ms"),
            three({ "reply_to_lamp", "reply_to_lamp_ms" }), QStringLiteral("p99 < 2"),
            judged(lamp_p99, lamp_p99 < 2), lamp_p99 },
        { QStringLiteral("reply byte 8 to state shown median / p99 / max, ms"),
            three({ "reply_to_lamp", "reply_to_state_ms" }), QString(), std::nullopt, 0 },
        { QStringLiteral("CPU polling, % of one core"), fixed(cpu_poll, 2), QStringLiteral("≤ 1"),
            judged(cpu_poll, cpu_poll <= 1), cpu_poll },
        { QStringLiteral("CPU idle, port not yet opened, %"), fixed(cpu_idle, 2),
            QStringLiteral("≤ 0.5"), judged(cpu_idle, cpu_idle <= 0.5), cpu_idle },
        { QStringLiteral("CPU idle, port closed again, %"), fixed(cpu_closed, 2),
            QStringLiteral("≤ 0.5"), judged(cpu_closed, cpu_closed <= 0.5), cpu_closed },
        { QStringLiteral("peak resident memory, MiB"), fixed(peak, 1), QStringLiteral("≤ 40"),
            judged(peak, peak <= 40), peak },
        { QStringLiteral("start-up bare / panel / first start, ms"),
            QStringLiteral("%1 / %2 / %3")
                .arg(fixed(at({ "startup", "bare_window", "median_ms" }), 1),
                    fixed(at({ "startup", "panel", "median_ms" }), 1),
                    fixed(at({ "startup", "panel_first_start", "median_ms" }), 1)),
            QString(), std::nullopt, 0 },
        { QStringLiteral("start-up, panel ÷ bare window"), fixed(ratio, 3), QStringLiteral("≤ 1.2"),
            judged(ratio, ratio <= 1.2), ratio },
        { QStringLiteral("first start, panel ÷ bare window"), fixed(first_ratio, 3),
            QStringLiteral("≤ 1.3"), judged(first_ratio, first_ratio <= 1.3), first_ratio },
    };
}

// The table holds no wide characters, so a character is a column.
QString padded(const QString &text, int width)
{
    return text.leftJustified(width);
}

int print_table(const std::vector<goal_row> &rows)
{
    int missed = 0;
    std::printf("\n%s%s%s\n", qPrintable(padded(QStringLiteral("live figure"), 52)),
        qPrintable(padded(QStringLiteral("measured"), 26)), "goal");
    for (const goal_row &row : rows) {
        QString verdict;
        if (row.met)
            verdict = *row.met ? QStringLiteral("ok") : QStringLiteral("MISSED");
        missed += row.met && !*row.met;
        std::printf("%s%s%s%s\n", qPrintable(padded(row.figure, 52)),
            qPrintable(padded(row.measured, 26)), qPrintable(padded(row.goal, 12)),
            qPrintable(verdict));
    }
    std::printf("%s\n",
        missed ? qPrintable(QStringLiteral("%1 goal(s) missed").arg(missed)) : "all goals met");
    return missed;
}

std::optional<QJsonObject> read_json(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

bool write_json(const QString &path, const QJsonObject &object)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(QJsonDocument(object).toJson(QJsonDocument::Indented)) > 0;
}

// The in-process lamp measurement, in a child on the offscreen platform.
QJsonObject lamp_in_child(const QString &build, std::chrono::seconds seconds)
{
    QTemporaryFile out;
    if (!out.open())
        return QJsonObject { { QStringLiteral("error"), out.errorString() } };
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(),
        { QStringLiteral("lamp"), QStringLiteral("--build"), build, QStringLiteral("--seconds"),
            QString::number(seconds.count()), QStringLiteral("--out"), out.fileName() });
    if (!child.waitForFinished(int(seconds.count()) * 1000 + 60000))
        child.kill();
    // A failed run leaves its reason in the file.
    return read_json(out.fileName())
        .value_or(QJsonObject {
            { QStringLiteral("error"), QStringLiteral("the lamp measurement left no result") } });
}

} // namespace

int main(int argc, char *argv[])
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    // Only the lamp measurement shows a window of its own.
    std::unique_ptr<QCoreApplication> app;
    if (mode == QLatin1String("lamp"))
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measurements of the running panel"));
    parser.addHelpOption();
    parser.addPositionalArgument(
        QStringLiteral("mode"), QStringLiteral("bench, soak, valgrind or lamp"));
    const QCommandLineOption build_option(QStringLiteral("build"),
        QStringLiteral("Build directory"), QStringLiteral("dir"),
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("..")));
    const QCommandLineOption seconds_option(QStringLiteral("seconds"),
        QStringLiteral("Length of a phase or run"), QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption repeats_option(QStringLiteral("repeats"),
        QStringLiteral("Start-up repetitions"), QStringLiteral("n"), QStringLiteral("7"));
    const QCommandLineOption micro_option(QStringLiteral("micro"),
        QStringLiteral("Google Benchmark JSON to merge"), QStringLiteral("file"));
    const QCommandLineOption out_option(
        QStringLiteral("out"), QStringLiteral("Where the JSON goes"), QStringLiteral("file"));
    const QCommandLineOption reports_option(QStringLiteral("reports"),
        QStringLiteral("Where valgrind's reports go"), QStringLiteral("dir"));
    const QCommandLineOption parts_option(QStringLiteral("parts"),
        QStringLiteral("What bench runs, of poll,lamp,startup"), QStringLiteral("list"),
        QStringLiteral("poll,lamp,startup"));
    parser.addOptions({ build_option, seconds_option, repeats_option, micro_option, out_option,
        reports_option, parts_option });
    parser.process(*app);

    const QString build = QDir(parser.value(build_option)).absolutePath();
    const programs with {
        QDir(build).filePath(QStringLiteral("orvalin")),
        QDir(build).filePath(QStringLiteral("orvalin-sim")),
        QDir(build).filePath(QStringLiteral("bench/orvalin-bare")),
        build,
    };
    const std::chrono::seconds seconds(std::max(1, parser.value(seconds_option).toInt()));

    if (mode == QLatin1String("lamp")) {
        const QJsonObject result = run_lamp(with, seconds);
        if (parser.isSet(out_option))
            write_json(parser.value(out_option), result);
        return result.contains(QStringLiteral("error")) ? 1 : 0;
    }

    x_display x;
    if (!x.is_open()) {
        std::fprintf(
            stderr, "orvalin-live: no X display (run it under xvfb-run, see scripts/live.sh)\n");
        return 1;
    }
    if (mode == QLatin1String("soak"))
        return run_soak(with, x, seconds);
    if (mode == QLatin1String("valgrind"))
        return run_valgrind(with, x, seconds,
            parser.isSet(reports_option) ? parser.value(reports_option)
                                         : QDir(build).filePath(QStringLiteral("valgrind")));
    if (mode != QLatin1String("bench")) {
        parser.showHelp(2);
    }

    std::printf("live run: %lld s idle, %lld s polling, %lld s closed; then the reply-to-lamp run "
                "and start-up\n",
        static_cast<long long>(seconds.count()), static_cast<long long>(seconds.count()),
        static_cast<long long>(seconds.count()));
    std::fflush(stdout);
    const QStringList parts = parser.value(parts_option).split(QLatin1Char(','));
    QJsonObject live;
    if (parts.contains(QStringLiteral("poll")))
        live.insert(QStringLiteral("poll_run"), run_poll(with, x, seconds));
    if (parts.contains(QStringLiteral("lamp")))
        live.insert(QStringLiteral("reply_to_lamp"), lamp_in_child(build, seconds));
    if (parts.contains(QStringLiteral("startup")))
        live.insert(QStringLiteral("startup"),
            run_startup(with, x, std::max(1, parser.value(repeats_option).toInt())));

    QJsonObject root;
    if (parser.isSet(micro_option)) {
        const auto micro = read_json(parser.value(micro_option));
        if (!micro)
            std::fprintf(
                stderr, "orvalin-live: cannot read %s\n", qPrintable(parser.value(micro_option)));
        else
            root = *micro;
    }
    const std::vector<goal_row> rows = goal_rows(live);
    QJsonArray goals;
    for (const goal_row &row : rows) {
        if (row.met)
            goals.append(QJsonObject { { QStringLiteral("figure"), row.figure },
                { QStringLiteral("value"), row.value }, { QStringLiteral("goal"), row.goal },
                { QStringLiteral("met"), *row.met } });
    }
    live.insert(QStringLiteral("goals"), goals);
    root.insert(QStringLiteral("live"), live);
    if (parser.isSet(out_option) && !write_json(parser.value(out_option), root)) {
        std::fprintf(
            stderr, "orvalin-live: cannot write %s\n", qPrintable(parser.value(out_option)));
        return 1;
    }

    print_table(rows);
    bool failed_run = false;
    for (const QString &part : { QStringLiteral("poll_run"), QStringLiteral("reply_to_lamp"),
             QStringLiteral("startup") }) {
        const QString error = live.value(part).toObject().value(QStringLiteral("error")).toString();
        if (!error.isEmpty()) {
            std::fprintf(stderr, "orvalin-live: %s: %s\n", qPrintable(part), qPrintable(error));
            failed_run = true;
        }
    }
    return failed_run ? 1 : 0;
}
