#!/bin/sh
# orvalinctl against the emulator at 9600 baud: the wall time of "status"
# against that of "--version" (hyperfine), and one "scan 0-255 --timeout 30"
# with a single module on the line. Figures also in BUILD/bench-cli.csv.
#   sh scripts/bench_cli.sh BUILD        (CLI_RUNS runs each, default 50)
set -eu
build=${1:-build}
ctl="$build/orvalinctl"
sim="$build/orvalin-sim"
runs=${CLI_RUNS:-50}
for tool in "$ctl" "$sim"; do
    if [ ! -x "$tool" ]; then
        echo "$tool was not built" >&2
        exit 1
    fi
done
if ! command -v hyperfine >/dev/null; then
    echo "hyperfine is missing (run 'sh scripts/deps.sh live')" >&2
    exit 1
fi

dir=$(mktemp -d)
"$sim" --link "$dir/COM1" --address 1 --baud 9600 </dev/null >"$dir/sim.log" 2>&1 &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; rm -rf "$dir"' EXIT INT TERM
tries=0
until grep -q '^ready' "$dir/sim.log"; do
    tries=$((tries + 1))
    if [ $tries -gt 100 ]; then
        echo "the emulator did not get ready" >&2
        exit 1
    fi
    sleep 0.05
done

hyperfine -N --style basic --warmup 5 --runs "$runs" --export-csv "$build/bench-cli.csv" \
    -n version "$ctl --version" -n status "$ctl -p $dir/COM1 status"

start=$(date +%s%N)
found=$("$ctl" -p "$dir/COM1" scan 0-255 --timeout 30)
end=$(date +%s%N)
if [ "$found" != "1 outputs 00000000 inputs 00000000" ]; then
    echo "scan found: $found" >&2
    exit 1
fi

# hyperfine's CSV: command,mean,stddev,median,user,system,min,max (seconds).
awk -F, -v scan_ns=$((end - start)) '
    $1 == "version" { vmean = $2 * 1000; vmed = $4 * 1000; vmin = $7 * 1000 }
    $1 == "status" { smean = $2 * 1000; smed = $4 * 1000; smin = $7 * 1000 }
    END {
        line = 16 * 10 / 9600 * 1000
        printf "\n| orvalinctl at 9600 baud | median | mean | min | goal |\n|---|---|---|---|---|\n"
        printf "| --version | %.1f ms | %.1f ms | %.1f ms | |\n", vmed, vmean, vmin
        printf "| status | %.1f ms | %.1f ms | %.1f ms | <= %.1f ms (1.5 x %.1f + --version median): %s |\n", \
            smed, smean, smin, 1.5 * line + vmed, line, smed <= 1.5 * line + vmed ? "met" : "missed"
        printf "| scan 0-255 --timeout 30 | %.2f s | | | < 9 s: %s |\n", scan_ns / 1e9, \
            scan_ns < 9e9 ? "met" : "missed"
    }' "$build/bench-cli.csv"
