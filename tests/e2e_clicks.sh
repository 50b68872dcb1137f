#!/usr/bin/env bash
# The real program in a real X server: clicks and keys by xdotool, the port traced to a file;
# closed by SIGTERM the ordinary way, early and late, and finally by losing its display.
# Usage: e2e_clicks.sh path/to/tenvalia
set -euo pipefail
. "$(dirname "$0")/../scripts/xvfb.sh"
app=$(realpath "$1")
work=$(mktemp -d)
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; rm -rf "$work"' EXIT
app_pid="" xvfb_pid=""

fail() { echo "FAIL: $*"; echo "--- trace:"; cat "$work/trace" 2>/dev/null || true; echo "--- stderr:"; cat "$work/stderr" 2>/dev/null || true; exit 1; }
start() { rm -f "$work/trace"; QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace" "$app" >/dev/null 2>"$work/stderr" & app_pid=$!; }
sigterm() { local status=0; kill -TERM "$app_pid"; wait "$app_pid" || status=$?; app_pid=""; [ "$status" -eq 0 ] || fail "exit code $status after SIGTERM"; }
lines() { cat "$work/trace" 2>/dev/null | wc -l; }
wait_for_lines() {
  for _ in $(seq 100); do [ "$(lines)" -ge "$1" ] && return 0; sleep 0.05; done
  fail "expected $1 writes, saw $(lines)"
}
trace_is() { [ "$(cat "$work/trace")" = "$(printf '%s\n' "$@")" ] || fail "trace differs; expected: $*"; }

start_xvfb "$work"
start
window=$(wait_for_window) || fail "no window"
wait_for_lines 1

# The client area starts at the first row of the light-blue background, under the menu bar.
import -window "$window" "$work/window.png"
client_top=$(convert "$work/window.png" -crop 1x120+2+0 +repage txt:- |
  awk -F'[:, ]+' '/#859CFA/ && top == "" { top = $2 } END { print top }')
[ -n "$client_top" ] || fail "no light-blue client area in the window"

# Clicks land on each box's indicator: group box offset + box offset + a few pixels in.
click() { xdotool mousemove --window "$window" "$1" "$((client_top + $2))" click 1; }
cocina=(79 91) sala=(79 163) int_ext=(55 336)
expected=("0x0378 0x0000")
step() { expected+=("0x0378 $1"); wait_for_lines ${#expected[@]}; }
click "${cocina[@]}";  step 0x0002
click "${sala[@]}";    step 0x0010
click "${sala[@]}";    step 0x0000
click "${int_ext[@]}"; step 0x00ff
xdotool key --window "$window" space; step 0x0000   # the clicked box has the focus
sigterm
trace_is "${expected[@]}" "0x0378 0x0000"
echo "e2e: $(lines) writes as expected, exit code 0 after SIGTERM"

# Closed as soon as it has cleared the port, before its window may even show.
start
wait_for_lines 1
sigterm
trace_is "0x0378 0x0000" "0x0378 0x0000"
echo "e2e: closed during start-up with two writes of 0, exit code 0"

# The display goes away with a box ticked: the program ends, and clears the port as it does.
start
window=$(wait_for_window) || fail "no window"
click "${cocina[@]}"
wait_for_lines 2
kill "$xvfb_pid"
timeout 10 tail --pid="$app_pid" -f /dev/null || fail "still running 10 s after its display went away"
app_pid=""
trace_is "0x0378 0x0000" "0x0378 0x0002" "0x0378 0x0000"
echo "e2e: display lost with Cocina on, port cleared as the program ended"
