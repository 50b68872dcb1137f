#!/usr/bin/env bash
# The real window under Xvfb on a session bus of the test's own, its port traced: gdbus and
# tenvaliactl's clicks and selections beside the window's own, what the bus is told, a click while a
# message box waits, a second copy, no bus, and tenvaliactl with no window.
# Usage: e2e_remote.sh path/to/tenvalia path/to/tenvaliactl
set -euo pipefail
[ -n "${TENVALIA_TEST_BUS:-}" ] || TENVALIA_TEST_BUS=1 exec dbus-run-session -- "$0" "$@" 2> >(grep -v 'fd limit' >&2)
here=$(cd "$(dirname "$0")" && pwd)
app=$(realpath "$1") ctl=$(realpath "$2")
. "$here/traced_window.sh"
trap 'kill $app_pid $other_pid $watch_pid $monitor_pid $xvfb_pid 2>/dev/null || true; rm -rf "$work"' EXIT
other_pid="" watch_pid="" monitor_pid=""
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb

fail() { echo "FAIL: $*"; for f in trace stderr monitor watch; do echo "--- $f:"; cat "$work/$f" 2>/dev/null || true; done; exit 1; }
expected=("0x0378 0x0000")
step() { expected+=("0x0378 $1"); wait_for_lines ${#expected[@]}; }
said() { # what WANT: one command's output
  [ "$2" = "$3" ] || fail "$1: expected «$2», got «$3»"
}
answer() { local status=0 out; out=$("$ctl" "$@" 2>&1) || status=$?; echo "$status $out"; } # tenvaliactl's exit code and words
dbus() { gdbus call --session -d org.tenvalia.Tenvalia -o /org/tenvalia/Tenvalia "$@"; }
on_bus() { for _ in $(seq 100); do "$ctl" status >/dev/null 2>&1 && return 0; sleep 0.05; done; fail "no Tenvalia on the bus"; }
heard() { # the window on its traced port, once gdbus monitor and tenvaliactl watch hear it
  start
  window=$(wait_for_window) || fail "no window"
  on_bus
  gdbus monitor --session -d org.tenvalia.Tenvalia -o /org/tenvalia/Tenvalia >"$work/monitor" &
  monitor_pid=$!
  "$ctl" watch >"$work/watch" 2>&1 &
  watch_pid=$!
  for _ in $(seq 100); do grep -q 'is owned by' "$work/monitor" && [ -s "$work/watch" ] && return 0; sleep 0.05; done
  fail "the monitor and watch did not start listening" # each says so after it subscribed
}
clicked() { sed -n "s/^.*org.tenvalia.Tenvalia1.Clicked ('\([a-z_]*\)', \([a-z]*\), byte \(0x..\), '\([a-z]*\)')$/\1 \2 \3 \4/p" "$work/monitor"; }
completed() { # COMMAND: the names bash completes after it
  . "$here/../data/tenvaliactl.bash-completion"; COMP_WORDS=(tenvaliactl "$1" ''); COMP_CWORD=2; _tenvaliactl; echo "${COMPREPLY[*]}"
}

# Nothing running: tenvaliactl says so and exits with 3.
said "tenvaliactl with no window" "3 tenvaliactl: no hay ninguna ventana de Tenvalia abierta en esta sesión" "$(answer status)"

start_xvfb "$work"
heard
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
names=$(completed click)
said "an unknown box" "2 sala: marcada, valor 0x10, líneas D7..D0 00010000
tenvaliactl: no hay ninguna casilla «nada»; las casillas son: $names" "$(answer click sala nada)"
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

said "status" "$(printf '%s\n' "valor: 0x02" "líneas D7..D0: 00000010" "marcadas: cocina sala" "encendida: cocina" \
  "salida: simulado ($work/trace)" "disponible: sí")" "$("$ctl" status)"
said "Ticked" "(<['cocina', 'sala']>,)" "$(dbus -m org.freedesktop.DBus.Properties.Get org.tenvalia.Tenvalia1 Ticked)"
said "Value" "(<byte 0x02>,)" "$(dbus -m org.freedesktop.DBus.Properties.Get org.tenvalia.Tenvalia1 Value)"
echo "e2e_remote: gdbus and tenvaliactl click as the window does, by name and caption, with a message box open; unknown names refused"

# A second copy works as a window but leaves remote control to the first, and says so once.
TENVALIA_PORT="sim:$work/trace2" "$app" >/dev/null 2>"$work/stderr2" &
other_pid=$!
for _ in $(seq 100); do [ -s "$work/stderr2" ] && break; sleep 0.05; done
said "tenvaliactl with two copies" "patio: marcada, valor 0x80, líneas D7..D0 10000000" "$("$ctl" click patio)"
step 0x0080
kill -TERM "$other_pid"; wait "$other_pid" || fail "the second copy ended with $?"; other_pid=""
said "the second copy" "tenvalia: otra copia de Tenvalia tiene el nombre org.tenvalia.Tenvalia en el bus de sesión: el control remoto va a esa copia, esta ventana solo se maneja con el ratón y el teclado" \
  "$(cat "$work/stderr2")"
said "the second copy's trace" "$(printf '0x0378 0x0000\n0x0378 0x0000')" "$(cat "$work/trace2")"
echo "e2e_remote: a second copy said once that remote control stays with the first, and wrote nothing else"

sigterm
expected+=("0x0378 0x0000")
said "trace" "$(printf '%s\n' "${expected[@]}")" "$(cat "$work/trace")"
status=0
wait "$watch_pid" || status=$?
watch_pid=""
kill "$monitor_pid"; monitor_pid=""
[ ! -s "$work/stderr" ] || fail "the window said something on standard error"

# Who clicked, in order, as the bus told it.
said "Clicked" "$(printf '%s\n' 'bano true 0x01 dbus' 'bano false 0x00 window' 'interior_casa true 0x1f dbus' \
  'interior_casa false 0x00 window' 'bano true 0x01 dbus' 'bano false 0x00 dbus' 'cocina true 0x02 window' \
  'cocina false 0x00 dbus' 'sala true 0x10 dbus' 'cocina true 0x02 dbus' 'patio true 0x80 dbus')" "$(clicked)"
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

# Selections: the lit box set with clicks on its own box alone, each told with who made it.
heard
expected=("0x0378 0x0000")
said "poner, unticked: 1 click" "cocina: 1 clic, valor 0x02, líneas D7..D0 00000010" "$("$ctl" poner cocina)"
step 0x0002
said "poner again: nothing" "COCINA: 0 clics, valor 0x02, líneas D7..D0 00000010" "$("$ctl" poner COCINA)"
click "${bano[@]}"; step 0x0001 # the window's own click: the selection before it wrote nothing
said "poner, ticked but not lit: 2 clicks" "Cocina: 2 clics, valor 0x02, líneas D7..D0 00000010" "$("$ctl" poner Cocina)"
step 0x0000; step 0x0002
said "gdbus Select apagadas: the lit box clicked" "(byte 0x00, uint32 1)" "$(dbus -m org.tenvalia.Tenvalia1.Select apagadas)"
step 0x0000
said "apagar again: nothing" "apagadas: 0 clics, valor 0x00, líneas D7..D0 00000000" "$("$ctl" apagar)"
said "poner by caption, any case" "INTERIOR casa: 1 clic, valor 0x1f, líneas D7..D0 00011111" "$("$ctl" poner "INTERIOR casa")"
step 0x001f
said "Selected" "(<'interior_casa'>,)" "$(dbus -m org.freedesktop.DBus.Properties.Get org.tenvalia.Tenvalia1 Selected)"
said "status after selections" "$(printf '%s\n' "valor: 0x1f" "líneas D7..D0: 00011111" "marcadas: interior_casa bano" \
  "encendida: interior_casa" "salida: simulado ($work/trace)" "disponible: sí")" "$("$ctl" status)"
said "poner an unknown name" "2 tenvaliactl: no hay ninguna casilla «terraza»; las casillas son: $names, y apagadas" "$(answer poner terraza)"
for _ in $(seq 100); do # the monitor and watch print what the bus tells them in their own time
  [ "$(grep -c 'Tenvalia1.Clicked' "$work/monitor")" -ge 6 ] && grep -q '; encendida: interior_casa; ' "$work/watch" && break
  sleep 0.05
done
trace_now=$(cat "$work/trace")
said "selections' trace" "$(printf '0x0378 %s\n' 0x0000 0x0002 0x0001 0x0000 0x0002 0x0000 0x001f)" "$trace_now"
said "a selection's clicks, each told" "$(printf '%s\n' 'cocina true 0x02 dbus' 'bano true 0x01 window' \
  'cocina false 0x00 dbus' 'cocina true 0x02 dbus' 'cocina false 0x00 dbus' 'interior_casa true 0x1f dbus')" "$(clicked)"
grep -qF "PropertiesChanged ('org.tenvalia.Tenvalia1', {'Selected': <'interior_casa'>, 'Ticked': <['interior_casa', 'bano']>, 'Value': <byte 0x1f>}, @as [])" \
  "$work/monitor" || fail "no PropertiesChanged for the lit box"
grep -q '; encendida: interior_casa; ' "$work/watch" || fail "watch did not show the lit box"
echo "e2e_remote: poner and Select by name, caption and apagadas, with 0, 1 and 2 clicks on the box alone, each told; twice writes once"

# The boxes and the help, from the window itself: the names bash completes are the window's.
boxes=$("$ctl" casillas)
[ "$(echo "$boxes" | awk '{ print $1 }' | tr '\n' ' ')" = "$names " ] || fail "casillas: $boxes"
grep -qx 'bano               Baño' <<<"$boxes" && grep -qx 'interior_exterior  Interior Exterior' <<<"$boxes" ||
  fail "casillas without captions: $boxes"
said "poner's completion" "$names apagadas" "$(completed poner)"
for words in "-h" "help" "click --help" "poner cocina -h"; do
  out=$("$ctl" $words) || fail "tenvaliactl $words: exit code $?"
  [[ "$out" == "Uso: tenvaliactl ORDEN"* ]] || fail "tenvaliactl $words: $out"
done
said "a dash is an option" "2 tenvaliactl: opción desconocida «-cocina»
Pruebe «tenvaliactl --help»." "$(answer click -cocina)"
echo "e2e_remote: casillas lists the window's names and captions, as completed; help anywhere; a dash is never a box"

# More than ten clicks a second from outside (the selections above among them): the rest dropped,
# the dropped ones said once.
status=0
"$ctl" click $(printf 'patio %.0s' $(seq 30)) >"$work/flood" 2>&1 || status=$?
acted=$(grep -c '^patio: ' "$work/flood")
[ "$status" -eq 1 ] && [ "$acted" -ge 1 ] && [ "$acted" -lt 30 ] &&
  grep -qx "tenvaliactl: más de 10 clics por segundo desde fuera: este se descartó" "$work/flood" ||
  fail "thirty clicks at once: exit $status, $(cat "$work/flood")"
for _ in $(seq 200); do [ -s "$work/stderr" ] && break; sleep 0.05; done
said "the dropped click said" "tenvalia: se descartó 1 clic de fuera (D-Bus y MQTT): se atienden como mucho 10 por segundo" \
  "$(cat "$work/stderr")"
[ "$(lines)" -eq $((7 + acted)) ] || fail "$acted clicks acted, $(($(lines) - 7)) written"
sigterm
kill "$monitor_pid" "$watch_pid" 2>/dev/null || true; monitor_pid="" watch_pid=""
echo "e2e_remote: of thirty clicks at once, $acted were made; the first dropped ended tenvaliactl (exit 1) and was said once"

# A selection whose write fails: said so (exit 1), the window's clicks made all the same, and
# until the output asked for is back, nothing is done as asked.
mkfifo "$work/fifo"
exec 7<>"$work/fifo" # the output's reader, for now
TENVALIA_PORT="sim:$work/fifo" "$app" >"$work/stdout" 2>"$work/stderr" 7<&- &
app_pid=$!
window=$(wait_for_window) || fail "no window on a FIFO"
on_bus
exec 7<&- # the reader leaves
out=$(answer poner cocina)
[[ "$out" == "1 tenvaliactl: la escritura no llegó a simulado ($work/fifo): "* ]] || fail "a failed selection: exit $out"
for _ in $(seq 100); do grep -q 0x0002 "$work/stdout" && break; sleep 0.05; done
[ "$(cat "$work/stdout")" = "puerto 0x0378 <- 0x0002   D7..D0 00000010" ] ||
  fail "the simulated port did not take the write: $(cat "$work/stdout")"
out=$(answer poner cocina)
[[ "$out" == "1 tenvaliactl: la salida pedida no está disponible (simulado ($work/fifo) falló: "*"); se escribe en simulado (salida estándar)" ]] ||
  fail "a selection while the output stands in: exit $out"
"$ctl" status | grep -qx 'disponible: no, la salida pedida falló, no se pudo usar o se desconectó' || fail "status: $("$ctl" status)"
said "Available" "(<false>,)" "$(dbus -m org.freedesktop.DBus.Properties.Get org.tenvalia.Tenvalia1 Available)"
[ "$(wc -l <"$work/stdout")" -eq 1 ] || fail "a selection with nothing to click wrote"
sigterm
echo "e2e_remote: a selection whose write failed said so with the reason (exit 1); the next, with nothing to click, said the output stands in"

# No session bus at all: one line, and the window works.
DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" start
window=$(wait_for_window) || fail "no window without a bus"
expected=("0x0378 0x0000")
click "${cocina[@]}"; step 0x0002
sigterm
[ "$(wc -l <"$work/stderr")" -eq 1 ] && grep -q '^tenvalia: sin bus de sesión D-Bus' "$work/stderr" ||
  fail "without a bus: $(cat "$work/stderr")"
out=$(DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" answer status)
[[ "$out" == "3 "* ]] || fail "tenvaliactl without a bus: exit $out"
echo "e2e_remote: without a session bus, one line and the window works; tenvaliactl exits with 3"
