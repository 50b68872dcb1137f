#!/usr/bin/env bash
# MQTT's cost: the time from a click published to a broker on a Unix socket to the port's write
# (build/mqtt_latency), and the window's wake-ups and CPU while idle with MQTT on, over 65 s (more
# than one keep-alive of 60 s), under Xvfb with the window unmapped, as when it is hidden.
# Usage: bench/mqtt.sh [CLICKS]   (uses build/, built beforehand by bench/run.sh or scripts/build.sh)
set -euo pipefail
# Another copy's name on the person's bus would keep this one off MQTT: a bus of its own.
[ -n "${MQTT_BENCH_BUS:-}" ] || exec env MQTT_BENCH_BUS=1 dbus-run-session -- "$0" "$@"
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/xvfb.sh"
export PATH="$PATH:/usr/sbin"
build="$root/build"
work=$(mktemp -d)
trap 'kill $app_pid $broker_pid $xvfb_pid 2>/dev/null || true; wait 2>/dev/null; rm -rf "$work"' EXIT
app_pid="" broker_pid="" xvfb_pid=""

start_xvfb "$work"
sock="$work/broker.sock"
printf 'user %s\nlistener 0 %s\nallow_anonymous true\n' "$(id -un)" "$sock" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" >/dev/null 2>&1 &
broker_pid=$!
printf 'host = %s\nnode = bench\n' "$sock" >"$work/mqtt.conf"
mkdir -m 700 "$work/runtime"
for _ in $(seq 100); do [ -S "$sock" ] && break; sleep 0.1; done
online() { timeout 10 mosquitto_sub --unix "$sock" -t tenvalia/bench/availability -C 1 | grep -qx online; }
QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace" TENVALIA_MQTT_CONF="$work/mqtt.conf" XDG_RUNTIME_DIR="$work/runtime" \
  "$build/tenvalia" >/dev/null 2>&1 &
app_pid=$!
online || { echo "Tenvalia did not come online" >&2; exit 1; }
"$build/mqtt_latency" "$sock" tenvalia/bench/click cocina "$work/trace" "${1:-200}"

xdotool windowunmap "$(wait_for_window)"
pid=$app_pid
wakeups() { cat /proc/"$pid"/task/*/status | awk '/^voluntary_ctxt_switches/ { sum += $2 } END { print sum }'; }
cpu_ns() { cat /proc/"$pid"/task/*/schedstat | awk '{ sum += $1 } END { printf "%.0f\n", sum }'; }
sleep 3
w0=$(wakeups) c0=$(cpu_ns)
sleep 65
w1=$(wakeups) c1=$(cpu_ns)
echo "idle with MQTT on, unmapped, over 65 s: $((w1 - w0)) wake-ups, $(awk -v n=$((c1 - c0)) 'BEGIN { printf "%.2f", n / 1e6 }') ms of CPU"
