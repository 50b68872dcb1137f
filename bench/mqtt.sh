#!/usr/bin/env bash
# MQTT's cost: the time from a click or a selection published to a broker on a Unix socket to the
# port's write (build/mqtt_latency); what a flood of 50 000 clicks does (writes a second, how long
# tenvaliactl status takes meanwhile, memory) and what a 64 MB payload does to the peak memory;
# then the window's wake-ups and CPU while idle with MQTT on, over 65 s (more than one keep-alive
# of 60 s), under Xvfb with the window unmapped, as when it is hidden.
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
"$build/mqtt_latency" "$sock" tenvalia/bench/click "$work/trace" "${1:-200}" cocina
"$build/mqtt_latency" "$sock" tenvalia/bench/select "$work/trace" "${1:-200}" cocina apagadas

kb() { awk -v k="$1:" '$1 == k { print $2 }' /proc/"$app_pid"/status; }
sleep 2 # the pace of clicks from outside, a second long, is empty again
rss0=$(kb VmRSS) writes0=$(wc -l <"$work/trace")
start=$(date +%s%N)
yes cocina | head -n 50000 | mosquitto_pub --unix "$sock" -t tenvalia/bench/click -l &
flood=$!
slowest=0 asked=0
while kill -0 "$flood" 2>/dev/null; do
  t0=$(date +%s%N); "$root/build/tenvaliactl" status >/dev/null; t1=$(date +%s%N)
  slowest=$(( (t1 - t0) > slowest ? (t1 - t0) : slowest )) asked=$((asked + 1))
done
wait "$flood" || true
ms=$(( ($(date +%s%N) - start) / 1000000 ))
sleep 2 # what was taken in, done
echo "50 000 clicks published in $ms ms: $(( $(wc -l <"$work/trace") - writes0 )) writes; tenvaliactl status, $asked times meanwhile, took at most $((slowest / 1000000)) ms; resident memory $rss0 kB before, $(kb VmRSS) kB after"
hwm0=$(kb VmHWM)
head -c $((64 * 1024 * 1024)) /dev/zero | tr '\0' a >"$work/big"
mosquitto_pub --unix "$sock" -t tenvalia/bench/click -f "$work/big"
rm "$work/big"
mosquitto_pub --unix "$sock" -t tenvalia/bench/click -m cocina # after the big one, in order
sleep 1
echo "a 64 MB payload on click: peak memory $hwm0 kB before, $(kb VmHWM) kB after"

xdotool windowunmap "$(wait_for_window)"
pid=$app_pid
wakeups() { cat /proc/"$pid"/task/*/status | awk '/^voluntary_ctxt_switches/ { sum += $2 } END { print sum }'; }
cpu_ns() { cat /proc/"$pid"/task/*/schedstat | awk '{ sum += $1 } END { printf "%.0f\n", sum }'; }
sleep 3
w0=$(wakeups) c0=$(cpu_ns)
sleep 65
w1=$(wakeups) c1=$(cpu_ns)
echo "idle with MQTT on, unmapped, over 65 s: $((w1 - w0)) wake-ups, $(awk -v n=$((c1 - c0)) 'BEGIN { printf "%.2f", n / 1e6 }') ms of CPU"
