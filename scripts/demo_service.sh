#!/bin/sh
# Runs orvalinctl serve against three emulated modules (addresses 1, 2, 7 at
# 9600 baud, inputs changing by themselves) and a mosquitto broker of its own
# on 127.0.0.1, and prints the mosquitto_sub/mosquitto_pub lines to watch and
# switch. Ctrl-C stops all three.
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
mosquitto=$(command -v mosquitto || echo /usr/sbin/mosquitto)
if [ ! -x "$mosquitto" ]; then
    echo "mosquitto not found; run make deps" >&2
    exit 1
fi

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

# The first port from 18830 on where the broker stays up.
port=18830
while :; do
    cat >"$work/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
persistence false
CONF
    "$mosquitto" -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
    broker=$!
    sleep 0.3
    if kill -0 "$broker" 2>/dev/null; then
        break
    fi
    port=$((port + 1))
    if [ "$port" -gt 18880 ]; then
        echo "no free port for the broker; see $work/mosquitto.log" >&2
        exit 1
    fi
done
pids="$broker"

"$build/orvalin-sim" --link "$work/COM1" --address 1,2,7 --baud 9600 --demo \
    </dev/null >"$work/sim.out" &
pids="$pids $!"
tries=0
until grep -q '^ready' "$work/sim.out"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
        echo "the emulator did not start" >&2
        exit 1
    fi
    sleep 0.1
done

cat >"$work/orvalin.conf" <<CONF
[line]
port = $work/COM1
modules = 1, 2, 7
interval = 50

[mqtt]
host = 127.0.0.1
port = $port

[safety]
on_link_loss = all_off
interlock = 7/1+7/2
CONF

cat <<TEXT
Broker on 127.0.0.1:$port; modules 1, 2 and 7 emulated on $work/COM1.
Watch everything:
    mosquitto_sub -h 127.0.0.1 -p $port -v -t 'orvalin/#'
Switch output 3 of module 1 on, toggle it, pulse output 1 of module 7 for 2 s:
    mosquitto_pub -h 127.0.0.1 -p $port -t orvalin/1/output/3/set -m ON
    mosquitto_pub -h 127.0.0.1 -p $port -t orvalin/1/output/3/set -m TOGGLE
    mosquitto_pub -h 127.0.0.1 -p $port -t orvalin/7/output/1/set -m '{"state":"ON","on_time":2}'
All outputs of module 2 off:
    mosquitto_pub -h 127.0.0.1 -p $port -t orvalin/2/output/all/set -m OFF
Home Assistant discovery configs:
    mosquitto_sub -h 127.0.0.1 -p $port -v -t 'homeassistant/#'
The service's log follows. Ctrl-C stops the service, the emulator and the broker.

TEXT
"$build/orvalinctl" serve --config "$work/orvalin.conf" &
service=$!
pids="$service $pids"
wait "$service"
