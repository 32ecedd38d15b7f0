#!/bin/sh
# Runs the micro-benchmarks, then the live measurements of the running panel
# (scripts/live.sh), then orvalinctl's (scripts/bench_cli.sh); prints tables
# and leaves the figures in BUILD/bench.json and BUILD/bench-cli.csv.
# BENCH_SECONDS sets the length of each live phase.
set -eu
build=${1:-build}
if [ ! -x "$build/bench/orvalin-bench" ]; then
    echo "orvalin-bench was not built (Google Benchmark missing? run 'make deps')" >&2
    exit 1
fi
QT_QPA_PLATFORM=offscreen "$build/bench/orvalin-bench" \
    --benchmark_out="$build/bench-micro.json" --benchmark_out_format=json
sh "$(dirname "$0")/live.sh" bench "$build" --seconds "${BENCH_SECONDS:-10}" \
    --micro "$build/bench-micro.json" --out "$build/bench.json"
sh "$(dirname "$0")/bench_cli.sh" "$build"
