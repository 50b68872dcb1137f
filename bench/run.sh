#!/usr/bin/env bash
# Start-up time, memory, CPU and tick rate of the real build/tenvalia under Xvfb, each the median
# of several runs, beside the same window with its animation stopped.
# Usage: bench/run.sh [RUNS]   (builds first; about 15 s a run)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/xvfb.sh"
runs=${1:-5}
bash "$root/scripts/build.sh" build >/dev/null
work=$(mktemp -d)
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; rm -rf "$work"' EXIT
app_pid="" xvfb_pid=""

start_xvfb "$work"
export QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace"

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
# CPU time of every thread of the process, in nanoseconds.
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ sum += $1 } END { print sum }'; }
wakeups() { awk '/^voluntary_ctxt_switches/ { print $2 }' /proc/"$1"/task/"$1"/status; }
rss_kb() { awk '/^VmRSS/ { print $2 }' /proc/"$1"/status; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

measure() { # program -> one line: startup_ms rss_kb cpu_percent wakeups_per_s
  local start
  start=$(now_ms)
  "$1" >/dev/null 2>&1 &
  app_pid=$!
  until xdotool search --onlyvisible --name '^Tenvalia$' >/dev/null 2>&1; do sleep 0.01; done
  local startup=$(( $(now_ms) - start ))
  sleep 3
  local rss cpu0 wake0
  rss=$(rss_kb "$app_pid"); cpu0=$(cpu_ns "$app_pid"); wake0=$(wakeups "$app_pid")
  sleep 10
  local cpu1 wake1
  cpu1=$(cpu_ns "$app_pid"); wake1=$(wakeups "$app_pid")
  kill -TERM "$app_pid"; wait "$app_pid" || true; app_pid=""
  echo "$startup $rss $(awk -v d=$((cpu1 - cpu0)) 'BEGIN { printf "%.2f", d / 1e8 }') $(( (wake1 - wake0) / 10 ))"
}

report() { # label program
  local results="$work/$1"
  for _ in $(seq "$runs"); do measure "$2" >>"$results"; done
  printf '%-22s start-up %5s ms   RSS %6s kB   CPU %5s %% of a core   main-thread wake-ups %4s /s\n' "$1" \
    "$(cut -d' ' -f1 "$results" | median)" "$(cut -d' ' -f2 "$results" | median)" \
    "$(cut -d' ' -f3 "$results" | median)" "$(cut -d' ' -f4 "$results" | median)"
}

echo "$(date -u +%Y-%m-%d) $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo); median of $runs runs"
report "tenvalia (animating)" "$root/build/tenvalia"
report "same window, still" "$root/build/tenvalia_still"
