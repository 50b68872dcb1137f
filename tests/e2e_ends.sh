#!/usr/bin/env bash
# Every way the real program can end, with "Cocina" on: the ends it sees go through its close
# (exit 0, the port's last write 0); those it cannot see (kill -9, by name, its process group)
# leave the guardian to switch the port off (the trace's last record is 0). Then what a device or
# a terminal can do to it, and a platform Qt cannot start.
# Usage: e2e_ends.sh path/to/tenvalia
set -euo pipefail
app=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/traced_window.sh"
stand_in_pid=""
trap 'kill -CONT $app_pid 2>/dev/null || true; kill $app_pid $xvfb_pid $stand_in_pid 2>/dev/null || true; exec 3<&- 2>/dev/null; rm -rf "$work"' EXIT

click_at() { # WINDOW X Y: a box's indicator, Y under the client area's top (see e2e_clicks.sh)
  xdotool mousemove --window "$1" "$2" $(($(client_top "$1" "$work") + $3)) click 1
}
cocina_on() {
  local window
  window=$(wait_for_window) || fail "no window"
  wait_for_lines 1
  click_at "$window" 79 91
  wait_for_lines 2
}
ended_with() { # SIGNAL-OR-DESCRIPTION, expected exit status
  local status=0
  timeout 10 tail --pid="$app_pid" -f /dev/null || fail "$1: still running after 10 s"
  { wait "$app_pid"; } 2>/dev/null || status=$? # bash would say how it died
  app_pid=""
  [ "$status" -eq "$2" ] || fail "$1: exit status $status, expected $2"
}
dies_of() { # SIGNAL WHAT: sent SIGNAL, it dies of it (a crash under AddressSanitizer, whose handler ours hands on to, with 1)
  local died=$((128 + $(kill -l "$1")))
  kill -s "$1" "$app_pid"
  timeout 10 tail --pid="$app_pid" -f /dev/null || true
  if [ "$1" != KILL ] && grep -q AddressSanitizer "$work/stderr"; then died=1; fi
  ended_with "$2" "$died"
}
trace_ends_off() { # what ended it
  for _ in $(seq 400); do [ "$(tail -n1 "$work/trace")" = "0x0378 0x0000" ] && break; sleep 0.05; done
  [ "$(head -n2 "$work/trace" | tr '\n' ' ')" = "0x0378 0x0000 0x0378 0x0002 " ] && [ "$(lines)" -eq 3 ] &&
    [ "$(tail -n1 "$work/trace")" = "0x0378 0x0000" ] || fail "$1: the trace does not end with one write of 0"
}
gone() { timeout 5 tail --pid="$1" -f /dev/null || fail "$2: the guardian is still running"; }

stand_in() { # KIND: tests/ptys.py in a folder of its own, $pty_dir
  pty_dir=$(mktemp -d "$work/pty.XXXXXX")
  python3 "$here/ptys.py" "$1" "$pty_dir" &
  stand_in_pid=$!
  for _ in $(seq 400); do [ -s "$pty_dir/module" ] && return 0; sleep 0.05; done
  fail "the stand-in $1 did not start"
}
stand_in_done() { kill "$stand_in_pid" 2>/dev/null || true; wait "$stand_in_pid" 2>/dev/null || true; stand_in_pid=""; }
wait_in() { # FILE WORDS WHAT: until FILE holds WORDS
  for _ in $(seq 200); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  fail "$3: never \"$2\" in ${1##*/}"
}
tell() { echo "$1" >"$pty_dir/commands"; wait_in "$pty_dir/events" "done $1" "$1"; } # and wait until done

start_xvfb "$work"

# Signals whose default would end the process quietly: the same close as SIGTERM.
for signal in QUIT USR1 ALRM PWR RTMIN RTMIN+3; do
  start; cocina_on
  kill -s "$signal" "$app_pid"
  ended_with "SIG$signal" 0
  trace_ends_off "SIG$signal"
done
echo "ends: SIGQUIT, SIGUSR1, SIGALRM, SIGPWR and real-time signals close the window, exit 0, port off"

# A crash: the handler switches off, and the process dies of its signal as before. kill -9: the
# guardian does it once the process is gone, and nothing is left running.
for signal in SEGV ABRT KILL; do
  start; cocina_on
  guardian=$(pgrep -P "$app_pid" -x apagaluces) || fail "no guardian process beside the window"
  dies_of "$signal" "SIG$signal"
  trace_ends_off "SIG$signal"
  gone "$guardian" "SIG$signal"
done
# The guardian costs no wake-ups: it sleeps in one call for the program's whole life.
start; cocina_on
guardian=$(pgrep -P "$app_pid" -x apagaluces) || fail "no guardian process beside the window"
before=$(awk '/^voluntary_ctxt_switches/ { print $2 }' /proc/"$guardian"/status)
sleep 1
[ "$(awk '/^voluntary_ctxt_switches/ { print $2 }' /proc/"$guardian"/status)" = "$before" ] || fail "the guardian woke up"
kill -TERM "$app_pid"; ended_with SIGTERM 0
gone "$guardian" "a normal close"
[ "$(lines)" -eq 3 ] || fail "after a normal close the guardian wrote again"
echo "ends: SIGSEGV and SIGABRT die as before and kill -9 leaves the port to the guardian: port off each time"

# Ended by name (pkill; -x as killall matches; -f on the command line; only this test's children
# and theirs), or with its process group: the guardian, apart, is not ended with it.
for how in name exact-name command-line group; do
  rm -f "$work/trace" # below: a process group of its own, as a shell's job has
  QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace" setsid "$app" >/dev/null 2>"$work/stderr" &
  app_pid=$!
  cocina_on
  guardian=$(pgrep -P "$app_pid" -x apagaluces) || fail "no guardian process beside the window"
  [ "$(ps -o sid= -p "$guardian")" != "$(ps -o sid= -p "$app_pid")" ] || fail "the guardian is in the program's session"
  case $how in
    name) pkill -KILL -P "$$,$app_pid" tenvalia ;;
    exact-name) pkill -KILL -x -P "$$,$app_pid" tenvalia ;;
    command-line) pkill -KILL -f -P "$$,$app_pid" tenvalia ;;
    group) kill -KILL -- -"$app_pid" ;;
  esac
  ended_with "kill -9 by $how" 137
  trace_ends_off "kill -9 by $how"
  gone "$guardian" "kill -9 by $how"
done
echo "ends: pkill -9 by name, exact name or command line, and kill -9 of the process group: port off each time"

# A reporting module and standard output on pseudo-terminals. Cocina; the module stops answering,
# so it is given up at Sala with relay 2 on, and standard output is then stopped (Ctrl-S). kill -9
# or a crash: the module is switched off first, and a crash still dies of its own signal.
for signal in KILL SEGV; do
  stand_in module
  QT_QPA_PLATFORM=xcb TENVALIA_PORT="lcus:$(cat "$pty_dir/module")" "$app" >"$(cat "$pty_dir/terminal")" 2>"$work/stderr" &
  app_pid=$!
  window=$(wait_for_window) || fail "no window on the module"
  click_at "$window" 79 91
  wait_in "$pty_dir/events" "relays 02" "Cocina"
  tell mute
  click_at "$window" 79 163
  wait_in "$work/stderr" "dejó de responder a la petición de estado" "Sala"
  wait_in "$pty_dir/terminal.out" "<- 0x0010" "Sala on standard output"
  tell stop-terminal
  dies_of "$signal" "SIG$signal with standard output stopped"
  wait_in "$pty_dir/events" "relays 00" "SIG$signal with standard output stopped: relay 2"
  stand_in_done
done
echo "ends: a given-up module switched off first, by the guardian and by the crash handler, whatever standard output does"

# A device that never stops talking: the window opens, saying it is no module. A termination
# signal while the output is chosen ends the program there.
stand_in chatter
QT_QPA_PLATFORM=xcb TENVALIA_PORT="lcus:$(cat "$pty_dir/module")" "$app" >/dev/null 2>"$work/stderr" &
app_pid=$!
wait_for_window >/dev/null || fail "no window beside a device that never stops talking"
wait_in "$work/stderr" "no es un módulo de relés LCUS" "a device that never stops talking"
kill -TERM "$app_pid"
ended_with "SIGTERM beside a device that never stops talking" 0
rm -f "$pty_dir/events"
QT_QPA_PLATFORM=xcb TENVALIA_PORT="lcus:$(cat "$pty_dir/module")" "$app" >/dev/null 2>"$work/stderr" &
app_pid=$!
wait_in "$pty_dir/events" asked "the status request"
kill -TERM "$app_pid"
ended_with "SIGTERM while the output is chosen" 0
stand_in_done
echo "ends: a device that never stops talking: window shown and said; SIGTERM while choosing ended it, exit 0"

# In the background of a terminal with `stty tostop`: its first line there must not stop it.
pty_dir=$(mktemp -d "$work/pty.XXXXXX")
QT_QPA_PLATFORM=xcb TENVALIA_PORT=sim python3 "$here/ptys.py" terminal "$pty_dir" -- "$app" &
stand_in_pid=$!
wait_in "$pty_dir/events" "pid " "the background job"
app_pid=$(awk '/^pid / { print $2 }' "$pty_dir/events")
wait_for_window >/dev/null || fail "no window in the background of a terminal with tostop"
wait_in "$pty_dir/terminal.out" "<- 0x0000" "the writes on the terminal"
kill -TERM "$app_pid"
app_pid=""
wait_in "$pty_dir/events" "exit 0" "SIGTERM in the background of a terminal with tostop"
stand_in_done
echo "ends: in the background of a terminal with tostop: window shown, writes on the terminal, SIGTERM, exit 0"

# Standard error a pipe nobody reads, full from the start, blocking and left non-blocking: the
# window still opens (with the box an unknown TENVALIA_PORT brings); once the pipe is read, what
# was to be said arrives whole; SIGTERM still ends it at once, box and all.
mkfifo "$work/stderr.fifo"
exec 3<>"$work/stderr.fifo"
for blocking in yes no; do
  head -c 65536 /dev/zero >"$work/stderr.fifo"
  TENVALIA_PORT=bogus QT_QPA_PLATFORM=xcb python3 -c 'import os, sys
os.dup2(os.open(sys.argv[1], os.O_WRONLY | (0 if sys.argv[2] == "yes" else os.O_NONBLOCK)), 2)
os.execv(sys.argv[3], sys.argv[3:])' "$work/stderr.fifo" "$blocking" "$app" >/dev/null &
  app_pid=$!
  wait_for_window >/dev/null || fail "no window while standard error is full (blocking: $blocking)"
  # Read until both lines are in, whole; the zeros that filled the pipe are dropped.
  python3 -c 'import os, select, sys
data = b""
while not (all(said in data for said in (b"bogus no es", b"Tenvalia sigue")) and data.endswith(b"\n")):
    if not select.select([0], [], [], 30)[0]: break
    data += os.read(0, 65536)
open(sys.argv[1], "wb").write(data.replace(b"\0", b""))' "$work/stderr" <&3
  grep -q "^tenvalia: TENVALIA_PORT=bogus no es una forma conocida\.$" "$work/stderr" &&
    grep -q "^Tenvalia sigue con el puerto simulado (salida estándar)" "$work/stderr" ||
    fail "what was held back never arrived whole (blocking: $blocking)"
  kill -TERM "$app_pid"
  ended_with "SIGTERM, standard error full (blocking: $blocking)" 0
done
exec 3<&-
echo "ends: standard error full, blocking or not: the window opened, the words came whole once it drained, SIGTERM ended it"

# A real output whose last writes do not take when the display goes: a CH340 module on a pty
# whose output is then stopped (TCOOFF). The exit's checks still run: it says the relays may
# still be on, and exits 2.
stand_in module
QT_QPA_PLATFORM=xcb TENVALIA_PORT="lcus:$(cat "$pty_dir/module"):2" "$app" >/dev/null 2>"$work/stderr" &
app_pid=$!
window=$(wait_for_window) || fail "no window on the module"
click_at "$window" 79 91
wait_in "$pty_dir/events" "relays 02" "Cocina"
tell stop-module
kill "$xvfb_pid"; wait "$xvfb_pid" 2>/dev/null || true
status=0
timeout 30 tail --pid="$app_pid" -f /dev/null || fail "display lost: still running after 30 s"
wait "$app_pid" || status=$?
app_pid=""
stand_in_done
[ "$status" -eq 2 ] && grep -q "pueden seguir encendidas" "$work/stderr" ||
  fail "display lost with a module that stopped taking writes: exit $status"
echo "ends: display lost while a real output no longer takes writes: said, exit 2"

# A platform Qt cannot start is said with Qt's reason, not as a display.
status=0
said=$(QT_QPA_PLATFORM=bogus TENVALIA_PORT=sim "$app" 2>&1 >/dev/null) || status=$?
[ "$status" -eq 1 ] && [[ "$said" == *"Qt no pudo iniciar la plataforma gráfica"*"bogus"* ]] &&
  [[ "$said" != *pantalla* ]] || fail "unknown platform: exit $status, said: $said"
echo "ends: an unknown Qt platform said with Qt's reason, exit 1"
