#!/bin/sh
# Runs orvalinctl serve with its web page and API (no broker) against three
# emulated modules (addresses 1, 2, 7 at 9600 baud, inputs changing by
# themselves), prints the URL, and takes screenshots of the page at 390x844
# and 1280x800 into BUILD_DIR when Chromium is there. Ctrl-C stops both.
set -u

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd) || exit 1
for program in "$build/orvalin-sim" "$build/orvalinctl"; do
    if [ ! -x "$program" ]; then
        echo "$program not found; build first (make build)" >&2
        exit 1
    fi
done

work=$(mktemp -d) || exit 1
pids=""
stop_all() {
    for pid in $pids; do
        kill "$pid" 2>/dev/null
    done
    for pid in $pids; do
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$build/orvalin-sim" --link "$work/COM1" --address 1,2,7 --baud 9600 --demo \
    </dev/null >"$work/sim.out" &
pids="$!"
tries=0
until grep -q '^ready' "$work/sim.out"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
        echo "the emulator did not start" >&2
        exit 1
    fi
    sleep 0.1
done

# The first port from 8080 on where the service stays up.
port=8080
while :; do
    cat >"$work/orvalin.conf" <<CONF
[line]
port = $work/COM1
modules = 1, 2, 7

[safety]
interlock = 7/1+7/2
on_time = 2/1:2

[http]
listen = 127.0.0.1:$port
CONF
    "$build/orvalinctl" serve --config "$work/orvalin.conf" 2>"$work/serve.log" &
    service=$!
    sleep 0.5
    if kill -0 "$service" 2>/dev/null; then
        break
    fi
    port=$((port + 1))
    if [ "$port" -gt 8130 ]; then
        echo "no free port for the page; see $work/serve.log" >&2
        exit 1
    fi
done
pids="$service $pids"

url="http://127.0.0.1:$port/"
cat <<TEXT
The page: $url   (the API: ${url}api/modules, events: ${url}api/events)
Modules 1, 2 and 7 emulated on $work/COM1; outputs 7/1 and 7/2 interlocked,
output 2/1 on for at most 2 s. Switch from a terminal:
    curl -X POST -H 'Content-Type: application/json' -d '{"state":"ON"}' ${url}api/modules/1/outputs/3
The service's log follows. Ctrl-C stops the service and the emulator.

TEXT
if [ -x /usr/bin/chromium ]; then
    for size in 390,844 1280,800; do
        shot="$build/demo-web-$(echo "$size" | tr , x).png"
        /usr/bin/chromium --headless=new --no-sandbox --hide-scrollbars \
            --window-size="$size" --timeout=3000 \
            --screenshot="$shot" "$url" >/dev/null 2>&1 && echo "Screenshot: $shot"
    done
fi
tail -f "$work/serve.log" &
pids="$pids $!"
wait "$service"
