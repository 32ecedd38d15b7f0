#!/bin/sh
# Runs the panel against the module emulator: the emulator serves port 1
# (BUILD_DIR/COM1, module address 1, inputs changing by themselves) for as
# long as the panel runs.
set -u

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd) || exit 1
sim="$build/orvalin-sim"
panel="$build/orvalin"
link="$build/COM1"

if [ ! -x "$sim" ]; then
    echo "$sim not found; build first (make build)" >&2
    exit 1
fi

sim_out=$(mktemp) || exit 1
# Standard input stays closed: the emulator keeps running without it.
"$sim" --link "$link" --address 1 --demo </dev/null >"$sim_out" &
sim_pid=$!

stop_sim() {
    if kill -0 "$sim_pid" 2>/dev/null; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    rm -f "$sim_out"
}
trap stop_sim EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The emulator says "ready" once the link is in place (allow 10 s).
tries=0
until grep -q '^ready' "$sim_out"; do
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "the emulator did not start" >&2
        exit 1
    fi
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
        echo "the emulator did not create $link" >&2
        exit 1
    fi
    sleep 0.1
done
echo "Module emulator at $link (port 1, address 1)."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display (neither DISPLAY nor WAYLAND_DISPLAY is set): running the panel under xvfb-run -a."
    xvfb-run -a "$panel"
else
    "$panel"
fi
exit $?
