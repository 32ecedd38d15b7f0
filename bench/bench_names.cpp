#include "names/name_file.h"
#include "names/profile.h"
#include "system/toolkit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

using namespace orvalin;

namespace {

class null_view final : public name_view {
public:
    void set_title(const QString &title) override { benchmark::DoNotOptimize(title.size()); }
    void set_caption(int, const QString &caption) override
    {
        benchmark::DoNotOptimize(caption.size());
    }
};

// A program directory of its own with a complete name file.
struct name_file_dir {
    QTemporaryDir dir;
    null_view view;

    name_file_dir()
    {
        toolkit::set_program_directory(QDir::toNativeSeparators(dir.path()));
        toolkit::set_message_sink([](const toolkit::message &) {});
        ensure_name_file(view);
    }
    ~name_file_dir()
    {
        toolkit::set_message_sink({});
        toolkit::set_program_directory({});
    }
};

void create_name_file(benchmark::State &state)
{
    name_file_dir files;
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(name_file_path());
        state.ResumeTiming();
        ensure_name_file(files.view);
    }
    state.counters["bytes"] = double(QFileInfo(name_file_path()).size());
}
BENCHMARK(create_name_file)->Unit(benchmark::kMillisecond);

void read_last_key(benchmark::State &state)
{
    name_file_dir files;
    const QString path = name_file_path();
    const QString section = channel_section(QStringLiteral("255"));
    const QString key = channel_key(channel { channel_kind::input, 8 });
    for (auto _ : state)
        benchmark::DoNotOptimize(read_profile(path, section, key));
}
BENCHMARK(read_last_key)->Unit(benchmark::kMicrosecond);

void load_names_255(benchmark::State &state)
{
    name_file_dir files;
    const QString address = QStringLiteral("255");
    for (auto _ : state)
        load_names(files.view, address);
}
BENCHMARK(load_names_255)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
