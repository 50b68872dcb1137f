#!/usr/bin/env bash
# Start-up, memory, CPU and wake-ups of the real build/tenvalia under Xvfb, beside the same window
# unmapped (as minimised or on another workspace), the same window with its animation stopped,
# and a bare Qt window with the same widgets (the anchor): each the median of RUNS runs, taken
# in turns, and each set against the bare window of the same run. Then what the window's return
# costs after a week out of sight.
# Usage: bench/run.sh [RUNS]   (builds first; about 55 s a run)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/xvfb.sh"
runs=${1:-5}
bash "$root/scripts/build.sh" build >/dev/null
work=$(mktemp -d)
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; rm -rf "$work"' EXIT
app_pid="" xvfb_pid=""

start_xvfb "$work"
mkdir -m 700 "$work/runtime"
export QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace" XDG_RUNTIME_DIR="$work/runtime"
build="$root/build"

# CPU time of every thread of the process, in nanoseconds.
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ sum += $1 } END { print sum }'; }
wakeups() { awk '/^voluntary_ctxt_switches/ { print $2 }' /proc/"$1"/task/"$1"/status; }
rss_kb() { awk '/^VmRSS/ { print $2 }' /proc/"$1"/status; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

measure() { # program [unmapped] -> one line: startup_ms rss_kb cpu_percent wakeups_per_s
  local startup
  # Start-up alone is short and noisy: five of them, and their median.
  startup=$(for _ in 1 2 3 4 5; do "$build/time_to_map" "$1" 2>/dev/null | tail -n 1; done | median)
  "$1" >/dev/null 2>&1 &
  app_pid=$!
  [ -z "${2:-}" ] || xdotool windowunmap "$(wait_for_window)"
  sleep 3
  local rss cpu0 wake0 cpu1 wake1
  rss=$(rss_kb "$app_pid"); cpu0=$(cpu_ns "$app_pid"); wake0=$(wakeups "$app_pid")
  sleep 10
  cpu1=$(cpu_ns "$app_pid"); wake1=$(wakeups "$app_pid")
  kill -TERM "$app_pid"; wait "$app_pid" || true; app_pid=""
  echo "$(awk -v u="$startup" 'BEGIN { printf "%.1f", u / 1000 }') $rss $(awk -v d=$((cpu1 - cpu0)) 'BEGIN { printf "%.2f", d / 1e8 }') $(( (wake1 - wake0) / 10 ))"
}

programs=(bare:tenvalia_bare animating:tenvalia unmapped:tenvalia:unmapped still:tenvalia_still)
for _ in $(seq "$runs"); do
  for entry in "${programs[@]}"; do
    IFS=: read -r name program mode <<<"$entry"
    measure "$build/$program" "$mode" >>"$work/$name"
  done
done
figure() { cut -d' ' -f"$2" "$work/$1" | median; }

echo "$(date -u +%Y-%m-%d) $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo); median of $runs runs"
printf '%-34s %16s %20s %18s %12s\n' "" "start-up to map" "RSS after 3 s" "CPU over 10 s" "wake-ups"
for entry in "${programs[@]}"; do
  IFS=: read -r name program _ <<<"$entry"
  printf '%-34s %7s ms %5.2f x %9s kB %5.2f x %8s %% core %7s /s\n' "$name ($program)" \
    "$(figure "$name" 1)" "$(awk -v a="$(figure "$name" 1)" -v b="$(figure bare 1)" 'BEGIN { print a / b }')" \
    "$(figure "$name" 2)" "$(awk -v a="$(figure "$name" 2)" -v b="$(figure bare 2)" 'BEGIN { print a / b }')" \
    "$(figure "$name" 3)" "$(figure "$name" 4)"
done
echo "(x: the figure over the bare window's from this run; the bare window's CPU is the floor, near 0)"
QT_QPA_PLATFORM=offscreen "$build/tenvalia_catch_up"
