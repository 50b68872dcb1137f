#!/usr/bin/env bash
# Every way the real program can end, with "Cocina" on: the ends it sees go through its close
# (exit 0, the port's last write 0); those it cannot see leave the guardian to switch the port
# off (the trace's last record is 0). Then a standard error nobody reads, and a platform Qt
# cannot start.
# Usage: e2e_ends.sh path/to/tenvalia
set -euo pipefail
app=$(realpath "$1")
. "$(dirname "$0")/traced_window.sh"
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; exec 3<&- 2>/dev/null; rm -rf "$work"' EXIT

# Cocina's indicator, under the client area's top (see e2e_clicks.sh).
cocina_on() {
  local window
  window=$(wait_for_window) || fail "no window"
  wait_for_lines 1
  xdotool mousemove --window "$window" 79 $(($(client_top "$window" "$work") + 91)) click 1
  wait_for_lines 2
}
ended_with() { # SIGNAL-OR-DESCRIPTION, expected exit status
  local status=0
  timeout 10 tail --pid="$app_pid" -f /dev/null || fail "$1: still running after 10 s"
  wait "$app_pid" || status=$?
  app_pid=""
  [ "$status" -eq "$2" ] || fail "$1: exit status $status, expected $2"
}
trace_ends_off() { # what ended it
  for _ in $(seq 40); do [ "$(tail -n1 "$work/trace")" = "0x0378 0x0000" ] && break; sleep 0.05; done
  [ "$(head -n2 "$work/trace" | tr '\n' ' ')" = "0x0378 0x0000 0x0378 0x0002 " ] && [ "$(lines)" -eq 3 ] &&
    [ "$(tail -n1 "$work/trace")" = "0x0378 0x0000" ] || fail "$1: the trace does not end with one write of 0"
}

start_xvfb "$work"

# Signals whose default would end the process quietly: the same close as SIGTERM.
for signal in QUIT USR1 ALRM PWR RTMIN+3; do
  start; cocina_on
  kill -s "$signal" "$app_pid"
  ended_with "SIG$signal" 0
  trace_ends_off "SIG$signal"
done
echo "ends: SIGQUIT, SIGUSR1, SIGALRM, SIGPWR and a real-time signal close the window, exit 0, port off"

# A crash: the handler switches off, and the process dies of its signal as before. kill -9: the
# guardian does it once the process is gone, and nothing is left running.
for signal in SEGV ABRT KILL; do
  start; cocina_on
  guardian=$(pgrep -P "$app_pid" -x apagaluces) || fail "no guardian process beside the window"
  kill -s "$signal" "$app_pid"
  # Under AddressSanitizer its own handler, which the crash handler hands on to, ends with 1.
  died=$((128 + $(kill -l "$signal")))
  timeout 10 tail --pid="$app_pid" -f /dev/null || true
  if [ "$signal" != KILL ] && grep -q AddressSanitizer "$work/stderr"; then died=1; fi
  ended_with "SIG$signal" "$died"
  trace_ends_off "SIG$signal"
  timeout 5 tail --pid="$guardian" -f /dev/null || fail "SIG$signal: the guardian is still running"
done
# The guardian costs no wake-ups: it sleeps in one call for the program's whole life.
start; cocina_on
guardian=$(pgrep -P "$app_pid" -x apagaluces)
before=$(awk '/^voluntary_ctxt_switches/ { print $2 }' /proc/"$guardian"/status)
sleep 1
[ "$(awk '/^voluntary_ctxt_switches/ { print $2 }' /proc/"$guardian"/status)" = "$before" ] || fail "the guardian woke up"
kill -TERM "$app_pid"; ended_with SIGTERM 0
timeout 5 tail --pid="$guardian" -f /dev/null || fail "the guardian outlived a normal close"
[ "$(lines)" -eq 3 ] || fail "after a normal close the guardian wrote again"
echo "ends: SIGSEGV and SIGABRT die as before and kill -9 leaves the port to the guardian: port off each time"

# Standard error that takes nothing: a pipe nobody reads, full from the start. The window still
# opens (with the box an unknown TENVALIA_PORT brings) and works; once the pipe is read, what was
# to be said arrives; SIGTERM still ends it at once, box and all.
mkfifo "$work/stderr.fifo"
exec 3<>"$work/stderr.fifo"
head -c 65536 /dev/zero >"$work/stderr.fifo"
TENVALIA_PORT=bogus QT_QPA_PLATFORM=xcb "$app" >/dev/null 2>"$work/stderr.fifo" &
app_pid=$!
wait_for_window >/dev/null || fail "no window while standard error is full"
timeout 1 cat <&3 | tr -d '\0' >"$work/stderr" || true
grep -q "bogus no es una forma conocida" "$work/stderr" || fail "what was held back never arrived"
kill -TERM "$app_pid"
ended_with "SIGTERM, standard error full" 0
echo "ends: standard error full: the window opened, the words came once it drained, SIGTERM ended it"

# A real output whose last writes do not take when the display goes: a CH340 module on a pty
# whose output is then stopped (TCOOFF). The exit's checks still run: it says the relays may
# still be on, and exits 2.
python3 -c '
import os, signal, termios, time
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
signal.signal(signal.SIGUSR1, lambda *_: termios.tcflow(slave, termios.TCOOFF))
while True:
    try: os.read(master, 4096)
    except OSError: time.sleep(0.1)
' >"$work/pty" &
module_pid=$!
for _ in $(seq 50); do [ -s "$work/pty" ] && break; sleep 0.1; done
QT_QPA_PLATFORM=xcb TENVALIA_PORT="lcus:$(cat "$work/pty"):2" "$app" >/dev/null 2>"$work/stderr" &
app_pid=$!
window=$(wait_for_window) || fail "no window on the module"
xdotool mousemove --window "$window" 79 $(($(client_top "$window" "$work") + 91)) click 1
sleep 1
kill -USR1 "$module_pid"
kill "$xvfb_pid"; wait "$xvfb_pid" 2>/dev/null || true
status=0
timeout 30 tail --pid="$app_pid" -f /dev/null || fail "display lost: still running after 30 s"
wait "$app_pid" || status=$?
app_pid=""
kill "$module_pid"
[ "$status" -eq 2 ] && grep -q "pueden seguir encendidas" "$work/stderr" ||
  fail "display lost with a module that stopped taking writes: exit $status"
echo "ends: display lost while a real output no longer takes writes: said, exit 2"

# A platform Qt cannot start is said with Qt's reason, not as a display.
status=0
said=$(QT_QPA_PLATFORM=bogus TENVALIA_PORT=sim "$app" 2>&1 >/dev/null) || status=$?
[ "$status" -eq 1 ] && [[ "$said" == *"Qt no pudo iniciar la plataforma gráfica"*"bogus"* ]] &&
  [[ "$said" != *pantalla* ]] || fail "unknown platform: exit $status, said: $said"
echo "ends: an unknown Qt platform said with Qt's reason, exit 1"
