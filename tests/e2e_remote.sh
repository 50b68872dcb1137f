#!/usr/bin/env bash
# The real window on a session bus of the test's own, under Xvfb, its port traced to a file: each
# way into a click (gdbus, tenvaliactl by name and by caption) beside the window's own clicks on
# the same boxes, what the bus is told (properties, their changes, who clicked), a click while a
# message box waits, a second copy, no bus at all, and tenvaliactl with no window to talk to.
# Usage: e2e_remote.sh path/to/tenvalia path/to/tenvaliactl
set -euo pipefail
[ -n "${TENVALIA_TEST_BUS:-}" ] || TENVALIA_TEST_BUS=1 exec dbus-run-session -- "$0" "$@" 2> >(grep -v 'fd limit' >&2)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/xvfb.sh"
app=$(realpath "$1") ctl=$(realpath "$2")
work=$(mktemp -d)
trap 'kill $app_pid $other_pid $watch_pid $monitor_pid $xvfb_pid 2>/dev/null || true; rm -rf "$work"' EXIT
app_pid="" other_pid="" watch_pid="" monitor_pid="" xvfb_pid=""
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb

fail() { echo "FAIL: $*"; for f in trace stderr monitor watch; do echo "--- $f:"; cat "$work/$f" 2>/dev/null || true; done; exit 1; }
lines() { cat "$work/trace" 2>/dev/null | wc -l; }
wait_for_lines() {
  for _ in $(seq 100); do [ "$(lines)" -ge "$1" ] && return 0; sleep 0.05; done
  fail "expected $1 writes, saw $(lines)"
}
expected=("0x0378 0x0000")
step() { expected+=("0x0378 $1"); wait_for_lines ${#expected[@]}; }
said() { # what WANT: one command's output
  [ "$2" = "$3" ] || fail "$1: expected «$2», got «$3»"
}
dbus() { gdbus call --session -d org.tenvalia.Tenvalia -o /org/tenvalia/Tenvalia "$@"; }
on_bus() { # waits until the name has an owner
  for _ in $(seq 100); do "$ctl" status >/dev/null 2>&1 && return 0; sleep 0.05; done
  fail "no Tenvalia on the bus"
}

# Nothing running: tenvaliactl says so and exits with 3.
status=0
out=$("$ctl" status 2>&1) || status=$?
said "tenvaliactl with no window" "3 tenvaliactl: no hay ninguna ventana de Tenvalia abierta en esta sesión" "$status $out"

start_xvfb "$work"
rm -f "$work/trace"
TENVALIA_PORT="sim:$work/trace" "$app" >/dev/null 2>"$work/stderr" &
app_pid=$!
window=$(wait_for_window) || fail "no window"
on_bus
gdbus monitor --session -d org.tenvalia.Tenvalia -o /org/tenvalia/Tenvalia >"$work/monitor" &
monitor_pid=$!
"$ctl" watch >"$work/watch" 2>&1 &
watch_pid=$!
sleep 0.5 # both listening
client_top=$(client_top "$window" "$work")
[ -n "$client_top" ] || fail "no light-blue client area in the window"
click() { xdotool mousemove --window "$window" "$1" "$((client_top + $2))" click 1; }
bano=(79 67) cocina=(79 91) interior_casa=(63 48)

# Each remote click toggles the box on screen: the window's own click on it then unticks it.
said "gdbus Click" "(true, byte 0x01)" "$(dbus -m org.tenvalia.Tenvalia1.Click bano)"
step 0x0001
click "${bano[@]}"; step 0x0000
said "tenvaliactl by caption" "Interior Casa: marcada, valor 0x1f, líneas D7..D0 00011111" "$("$ctl" click "Interior Casa")"
step 0x001f
click "${interior_casa[@]}"; step 0x0000
said "tenvaliactl in any case" "$(printf '%s\n' "bAÑo: marcada, valor 0x01, líneas D7..D0 00000001" \
  "BANO: sin marcar, valor 0x00, líneas D7..D0 00000000")" "$("$ctl" click bAÑo BANO)"
step 0x0001; step 0x0000
click "${cocina[@]}"; step 0x0002
said "tenvaliactl after a window click" "COCINA: sin marcar, valor 0x00, líneas D7..D0 00000000" "$("$ctl" click COCINA)"
step 0x0000

# An unknown name: the clicks before it are done, it is refused with the names, exit code 2;
# the names are the ones bash completes.
names=$(. "$here/../data/tenvaliactl.bash-completion"; COMP_WORDS=(tenvaliactl click ''); COMP_CWORD=2; _tenvaliactl; echo "${COMPREPLY[*]}")
status=0
out=$("$ctl" click sala 'nada' 2>&1) || status=$?
said "an unknown box" "2 sala: marcada, valor 0x10, líneas D7..D0 00010000
tenvaliactl: no hay ninguna casilla «nada»; las casillas son: $names" "$status $out"
step 0x0010
out=$(dbus -m org.tenvalia.Tenvalia1.Click $'x\e[2J' 2>&1) || true
[[ "$out" == *"org.tenvalia.Tenvalia1.Error.NoSuchBox: no hay ninguna casilla «x\\x1b[2J»; las casillas son: $names"* ]] ||
  fail "gdbus with an unknown box: $out"

# A message box waits for the person: the bus is still heard.
xdotool key --window "$window" F10 Down Return
for _ in $(seq 100); do [ "$(xdotool search --onlyvisible --name '^Tenvalia$' | wc -l)" -ge 2 ] && break; sleep 0.05; done
[ "$(xdotool search --onlyvisible --name '^Tenvalia$' | wc -l)" -ge 2 ] || fail "no message box from the menu"
said "a click with a message box open" "cocina: marcada, valor 0x02, líneas D7..D0 00000010" "$("$ctl" click cocina)"
step 0x0002
xdotool key Return

said "status" "$(printf '%s\n' "valor: 0x02" "líneas D7..D0: 00000010" "marcadas: cocina sala" "salida: simulado ($work/trace)")" \
  "$("$ctl" status)"
said "Ticked" "(<['cocina', 'sala']>,)" "$(dbus -m org.freedesktop.DBus.Properties.Get org.tenvalia.Tenvalia1 Ticked)"
said "Value" "(<byte 0x02>,)" "$(dbus -m org.freedesktop.DBus.Properties.Get org.tenvalia.Tenvalia1 Value)"
echo "e2e_remote: gdbus and tenvaliactl click as the window does, by name and caption, with a message box open; unknown names refused"

# A second copy works as a window but leaves remote control to the first, and says so once.
TENVALIA_PORT="sim:$work/trace2" "$app" >/dev/null 2>"$work/stderr2" &
other_pid=$!
for _ in $(seq 100); do [ -s "$work/stderr2" ] && break; sleep 0.05; done
said "tenvaliactl with two copies" "patio: marcada, valor 0x80, líneas D7..D0 10000000" "$("$ctl" click patio)"
step 0x0080
kill -TERM "$other_pid"; wait "$other_pid" || fail "the second copy ended with $?"
other_pid=""
said "the second copy" "tenvalia: otra copia de Tenvalia tiene el nombre org.tenvalia.Tenvalia en el bus de sesión: el control remoto va a esa copia, esta ventana solo se maneja con el ratón y el teclado" \
  "$(cat "$work/stderr2")"
said "the second copy's trace" "$(printf '0x0378 0x0000\n0x0378 0x0000')" "$(cat "$work/trace2")"
echo "e2e_remote: a second copy said once that remote control stays with the first, and wrote nothing else"

kill -TERM "$app_pid"; wait "$app_pid" || fail "exit code $? after SIGTERM"
app_pid=""
expected+=("0x0378 0x0000")
said "trace" "$(printf '%s\n' "${expected[@]}")" "$(cat "$work/trace")"
status=0
wait "$watch_pid" || status=$?
watch_pid=""
kill "$monitor_pid"; monitor_pid=""
[ ! -s "$work/stderr" ] || fail "the window said something on standard error"

# Who clicked, in order, as the bus told it.
clicks=$(sed -n "s/^.*org.tenvalia.Tenvalia1.Clicked ('\([a-z_]*\)', \([a-z]*\), byte \(0x..\), '\([a-z]*\)')$/\1 \2 \3 \4/p" "$work/monitor")
said "Clicked" "bano true 0x01 dbus
bano false 0x00 window
interior_casa true 0x1f dbus
interior_casa false 0x00 window
bano true 0x01 dbus
bano false 0x00 dbus
cocina true 0x02 window
cocina false 0x00 dbus
sala true 0x10 dbus
cocina true 0x02 dbus
patio true 0x80 dbus" "$clicks"
# Every change, once, with its new values; the final write of 0 too.
changes=$(grep -c 'PropertiesChanged' "$work/monitor")
grep -qF "PropertiesChanged ('org.tenvalia.Tenvalia1', {'Selected': <'bano'>, 'Ticked': <['bano']>, 'Value': <byte 0x01>}, @as [])" "$work/monitor" ||
  fail "no PropertiesChanged for Baño ticked"
grep -qF "PropertiesChanged ('org.tenvalia.Tenvalia1', {'Selected': <'apagadas'>, 'Value': <byte 0x00>}, @as [])" "$work/monitor" ||
  fail "no PropertiesChanged for the final write of 0"
[ "$changes" -eq 12 ] || fail "$changes PropertiesChanged for 12 changes"
said "watch's end" "tenvaliactl: la ventana de Tenvalia se cerró 3" "$(tail -n 1 "$work/watch") $status"
[ "$(grep -c '^clic: ' "$work/watch")" -eq 11 ] && [ "$(grep -c '^estado: ' "$work/watch")" -eq 13 ] ||
  fail "watch did not print a line for each click and change"
echo "e2e_remote: Clicked with who clicked, PropertiesChanged for each change, watch saw them all"

# No session bus at all: one line, and the window works.
rm "$work/trace"
DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" TENVALIA_PORT="sim:$work/trace" "$app" >/dev/null 2>"$work/stderr" &
app_pid=$!
window=$(wait_for_window) || fail "no window without a bus"
expected=("0x0378 0x0000")
click "${cocina[@]}"; step 0x0002
kill -TERM "$app_pid"; wait "$app_pid" || fail "exit code $? after SIGTERM without a bus"
app_pid=""
[ "$(wc -l <"$work/stderr")" -eq 1 ] && grep -q '^tenvalia: sin bus de sesión D-Bus' "$work/stderr" ||
  fail "without a bus: $(cat "$work/stderr")"
status=0
DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" "$ctl" status 2>/dev/null || status=$?
[ "$status" -eq 3 ] || fail "tenvaliactl without a bus: exit code $status"
echo "e2e_remote: without a session bus, one line and the window works; tenvaliactl exits with 3"
