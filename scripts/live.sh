#!/bin/sh
# Runs "orvalin-live MODE" against the programs in BUILD on a display of its
# own: a fresh Xvfb (the first free number from 91 on) without a window
# manager, gone when the run ends.
#   sh scripts/live.sh bench|soak|valgrind BUILD [options of orvalin-live]
set -eu
mode=$1
build=$2
shift 2
live="$build/bench/orvalin-live"
if [ ! -x "$live" ]; then
    echo "$live was not built (libx11-dev, libxtst-dev missing? run 'sh scripts/deps.sh live')" >&2
    exit 1
fi
exec xvfb-run --auto-servernum --server-num=91 \
    --server-args="-screen 0 1280x1024x24 -nolisten tcp" \
    "$live" "$mode" --build "$build" "$@"
