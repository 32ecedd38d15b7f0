#!/bin/sh
# Runs the micro-benchmarks and leaves the figures in BUILD/bench.json.
set -eu
build=${1:-build}
if [ ! -x "$build/bench/orvalin-bench" ]; then
    echo "orvalin-bench was not built (Google Benchmark missing? run 'make deps')" >&2
    exit 1
fi
export QT_QPA_PLATFORM=offscreen
"$build/bench/orvalin-bench" --benchmark_out="$build/bench.json" --benchmark_out_format=json
