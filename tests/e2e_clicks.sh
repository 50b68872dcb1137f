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
run() { QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace" exec "$app" "$@"; }
start() { rm -f "$work/trace"; run >/dev/null 2>"$work/stderr" & app_pid=$!; }
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
client_top=$(client_top "$window" "$work")
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

# Standard output and error closed: nothing the program opens may take their place (a signal
# socket there would read the first line written as a termination request).
rm -f "$work/trace"
run >&- 2>&- &
app_pid=$!
window=$(wait_for_window) || fail "no window with standard output and error closed"
click "${cocina[@]}"
wait_for_lines 2
sleep 0.5
kill -0 "$app_pid" 2>/dev/null || fail "the window closed by itself with standard output and error closed"
sigterm
trace_is "0x0378 0x0000" "0x0378 0x0002" "0x0378 0x0000"
echo "e2e: standard output and error closed, the window stayed and worked"

# No display: one line naming it, exit code 1, no abort.
status=0
said=$(DISPLAY=:77 run 2>&1 >/dev/null) || status=$?
[ "$status" -eq 1 ] && [ "$said" = "tenvalia: no se pudo abrir la pantalla :77 (DISPLAY)" ] ||
  fail "without a display: exit code $status, said: $said"
echo "e2e: no display said in one line, exit code 1"

# The X server stops answering with a box ticked: a termination request still switches the
# lights off (well within the seconds this allows) and ends the program.
start
window=$(wait_for_window) || fail "no window"
click "${cocina[@]}"
wait_for_lines 2
kill -STOP "$xvfb_pid"
trap 'kill -CONT $xvfb_pid 2>/dev/null || true; kill $app_pid $xvfb_pid 2>/dev/null || true; rm -rf "$work"' EXIT
sleep 2 # the animation's requests fill the connection: the window's thread now waits on the server
kill -TERM "$app_pid"
wait_for_lines 3
timeout 15 tail --pid="$app_pid" -f /dev/null || fail "still running 15 s after SIGTERM with its display stopped"
app_pid=""
trace_is "0x0378 0x0000" "0x0378 0x0002" "0x0378 0x0000"
# Started while the server does not answer: it never gets a window, and a SIGTERM still ends it.
start
sleep 1
kill -TERM "$app_pid"
status=0
timeout 15 tail --pid="$app_pid" -f /dev/null || fail "still running 15 s after SIGTERM while its display never answered"
wait "$app_pid" || status=$?
app_pid=""
[ "$status" -eq 1 ] || fail "exit code $status after SIGTERM while its display never answered"
kill -CONT "$xvfb_pid"
echo "e2e: display stopped: lights off and the program ended after SIGTERM"

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
