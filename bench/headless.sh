#!/usr/bin/env bash
# Without a desktop against with one: resident memory 3 s after start of build/tenvalia on Qt's
# offscreen platform (no DISPLAY), beside the same program under Xvfb with its window shown and
# unmapped; then the offscreen program's wake-ups (every thread's) over SECONDS of idle. Each with
# a schedule loaded whose events are hours away (bench/horario.sh), as a house runs it.
# Each figure the median of RUNS runs, taken in turns, on a session bus of its own.
# Usage: bench/headless.sh [RUNS] [SECONDS]   (uses build/, built beforehand by bench/run.sh or
# scripts/build.sh)
set -euo pipefail
[ -n "${HEADLESS_BENCH_BUS:-}" ] || exec env HEADLESS_BENCH_BUS=1 dbus-run-session -- "$0" "$@" 2> >(grep -v 'fd limit' >&2)
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/xvfb.sh"
runs=${1:-5} seconds=${2:-60}
build="$root/build"
work=$(mktemp -d)
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; rm -rf "$work"' EXIT
app_pid="" xvfb_pid=""
start_xvfb "$work"
mkdir -m 700 "$work/runtime"
export TENVALIA_PORT="sim:$work/trace" XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config"
. "$root/bench/horario.sh"

wakeups() { cat /proc/"$1"/task/*/status | awk '/^voluntary_ctxt_switches/ { sum += $2 } END { print sum }'; }
rss_kb() { awk '/^VmRSS/ { print $2 }' /proc/"$1"/status; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
start() { # shown|unmapped|offscreen
  if [ "$1" = offscreen ]; then
    env -u DISPLAY QT_QPA_PLATFORM=offscreen "$build/tenvalia" >/dev/null 2>&1 &
  else
    QT_QPA_PLATFORM=xcb "$build/tenvalia" >/dev/null 2>&1 &
  fi
  app_pid=$!
  [ "$1" != unmapped ] || xdotool windowunmap "$(wait_for_window)"
  [ "$1" != shown ] || wait_for_window >/dev/null
  sleep 3
}
stop() { kill -TERM "$app_pid"; wait "$app_pid" || true; app_pid=""; }

for _ in $(seq "$runs"); do
  for mode in shown unmapped offscreen; do
    start "$mode"
    rss_kb "$app_pid" >>"$work/$mode"
    if [ "$mode" = offscreen ]; then
      [ -s "$work/listing" ] || "$build/tenvaliactl" horario >"$work/listing"
      w0=$(wakeups "$app_pid"); sleep "$seconds"; echo $(($(wakeups "$app_pid") - w0)) >>"$work/wakeups"
    fi
    stop
  done
done
echo "$(date -u +%Y-%m-%d) $(nproc) cores; median of $runs runs"
for mode in shown unmapped offscreen; do
  echo "RSS after 3 s, $mode: $(median <"$work/$mode") kB"
done
echo "offscreen, idle, wake-ups in $seconds s: $(median <"$work/wakeups") (each run: $(tr '\n' ' ' <"$work/wakeups"))"
echo "with the schedule, whose next events were:"
head -n 4 "$work/listing"
