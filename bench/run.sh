#!/usr/bin/env bash
# Start-up, memory, CPU and wake-ups of the real build/tenvalia under Xvfb, beside: the animation
# paced as before (a wake-up for every 30 ms tick), the same window unmapped (as minimised or on
# another workspace), the same window with its animation stopped, and two anchors with the same
# widgets, a bare Qt window and a naive animation (a timer every 10 ms repainting one pixel).
# Each the median of RUNS runs, taken in turns; the X server's own CPU over the same 10 s beside
# the program's, with how often the server woke up. Then what the window's return costs after a
# week out of sight.
# Last, the time from a D-Bus click's or selection's sending to the port's write, and what MQTT
# costs (bench/mqtt.sh).
# Usage: bench/run.sh [RUNS]   (builds first; about 85 s a run)
set -euo pipefail
# A session bus of its own: the window takes its name there at start, as on a desktop.
[ -n "${TENVALIA_BENCH_BUS:-}" ] || TENVALIA_BENCH_BUS=1 exec dbus-run-session -- bash "$0" "$@" 2> >(grep -v 'fd limit' >&2)
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/xvfb.sh"
runs=${1:-5}
bash "$root/scripts/deps.sh" picture
bash "$root/scripts/build.sh" build >/dev/null
work=$(mktemp -d)
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; rm -rf "$work"' EXIT
app_pid="" xvfb_pid=""

start_xvfb "$work"
mkdir -m 700 "$work/runtime"
export QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace" XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config"
. "$root/bench/horario.sh" # Tenvalia's start-up counted with a schedule to read
build="$root/build"

# CPU time of every thread of the process, in nanoseconds.
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ sum += $1 } END { printf "%.0f\n", sum }'; }
# Times any thread of the process went to sleep of its own accord, hence woke up again.
wakeups() { cat /proc/"$1"/task/*/status | awk '/^voluntary_ctxt_switches/ { sum += $2 } END { print sum }'; }
rss_kb() { awk '/^VmRSS/ { print $2 }' /proc/"$1"/status; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
percent() { awk -v d="$1" 'BEGIN { printf "%.3f", d / 1e8 }'; } # of one core, from ns over 10 s

measure() { # unmapped program [arg] -> startup_ms rss_kb cpu_percent xvfb_cpu_percent wakeups_per_s xvfb_wakeups_per_s
  local startup unmapped=$1
  shift
  # Start-up alone is short and noisy: five of them, and their median.
  startup=$(for _ in 1 2 3 4 5; do "$build/time_to_map" "$@" 2>/dev/null | tail -n 1; done | median)
  "$@" >/dev/null 2>&1 &
  app_pid=$!
  [ -z "$unmapped" ] || xdotool windowunmap "$(wait_for_window)"
  sleep 3
  local rss cpu0 x0 wake0 xwake0 cpu1 x1 wake1 xwake1
  rss=$(rss_kb "$app_pid"); cpu0=$(cpu_ns "$app_pid"); x0=$(cpu_ns "$xvfb_pid")
  wake0=$(wakeups "$app_pid"); xwake0=$(wakeups "$xvfb_pid")
  sleep 10
  cpu1=$(cpu_ns "$app_pid"); x1=$(cpu_ns "$xvfb_pid"); wake1=$(wakeups "$app_pid"); xwake1=$(wakeups "$xvfb_pid")
  kill -TERM "$app_pid"; wait "$app_pid" || true; app_pid=""
  echo "$(awk -v u="$startup" 'BEGIN { printf "%.1f", u / 1000 }') $rss $(percent $((cpu1 - cpu0))) $(percent $((x1 - x0))) $(( (wake1 - wake0) / 10 )) $(awk -v n=$((xwake1 - xwake0)) 'BEGIN { printf "%.1f", n / 10 }')"
}

# name:program:argument:unmapped
programs=(bare:tenvalia_bare:: naive:tenvalia_bare:--every-10-ms: animating:tenvalia::
          before:tenvalia_still:--tick-by-tick: unmapped:tenvalia::unmapped still:tenvalia_still::)
for _ in $(seq "$runs"); do
  for entry in "${programs[@]}"; do
    IFS=: read -r name program argument mode <<<"$entry"
    measure "$mode" "$build/$program" ${argument:+"$argument"} >>"$work/$name"
  done
done
figure() { cut -d' ' -f"$2" "$work/$1" | median; }
ratio() { awk -v a="$(figure "$1" "$3")" -v b="$(figure "$2" "$3")" 'BEGIN { printf "%.2f", b ? a / b : 0 }'; }

echo "$(date -u +%Y-%m-%d) $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo); median of $runs runs"
printf '%-38s %16s %19s %22s %22s %10s %10s\n' "" "start-up to map" "RSS after 3 s" "CPU over 10 s" "X server's CPU" "wake-ups" "X server's"
for entry in "${programs[@]}"; do
  IFS=: read -r name program argument _ <<<"$entry"
  printf '%-38s %7s ms %5s x %8s kB %5s x %7s %% %5s n %7s %% %5s n %6s /s %7s /s\n' "$name ($program${argument:+ $argument})" \
    "$(figure "$name" 1)" "$(ratio "$name" bare 1)" "$(figure "$name" 2)" "$(ratio "$name" bare 2)" \
    "$(figure "$name" 3)" "$(ratio "$name" naive 3)" "$(figure "$name" 4)" "$(ratio "$name" naive 4)" "$(figure "$name" 5)" "$(figure "$name" 6)"
done
echo "(x: over the bare window of this run; n: over the naive 10 ms window of this run; CPU as % of one core)"
# Qt's offscreen platform warns of every fixed-size window that it cannot pass size hints on.
QT_QPA_PLATFORM=offscreen "$build/tenvalia_catch_up" 2> >(grep -v 'does not support propagateSizeHints' >&2)
mkfifo "$work/fifo"
for method in click select; do
  read -r median p95 worst <<<"$(TENVALIA_PORT="sim:$work/fifo" "$build/tenvalia_dbus_latency" "$method" "$work/fifo" 200 "$build/tenvalia")"
  echo "D-Bus $method sent to the port's write, 200 calls: median $median ms, 95th percentile $p95 ms, worst $worst ms"
done
bash "$root/bench/mqtt.sh"
