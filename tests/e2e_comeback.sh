#!/usr/bin/env bash
# The real program on a CH340 module of 2 relays behind a link of the test's own, made and removed
# as udev does /dev/serial/by-path, on a session bus and a mosquitto broker of the test's own.
# First with MQTT off and the window unmapped (its animation asleep): watching for the module's
# going costs no wake-up, nor does waiting for its return (3 s each), and the link removed is said
# with no click. Then with "Cocina" on, the doors: while the module is away, D-Bus's Available is
# false (PropertiesChanged tells it as it goes, and again as it comes back), Output names the
# stand-in, MQTT's state says "available": false and Home Assistant's problem sensor is on; a
# click meanwhile is all a module behind the link again gets, in one write, and all is available
# again; kill -9 then leaves its relays off (the guardian holds the new descriptor). The modules
# answer no status request: each byte they get is kept.
# Usage: e2e_comeback.sh path/to/tenvalia path/to/tenvaliactl
set -euo pipefail
[ -n "${MQTT_TEST_BUS:-}" ] || exec env MQTT_TEST_BUS=1 dbus-run-session -- "$0" "$@" 2> >(grep -v 'fd limit' >&2)
app=$(realpath "$1") ctl=$(realpath "$2")
. "$(dirname "$0")/mqtt_common.sh"
trap 'kill $app_pid $module_pid $monitor_pid $watch_pid $broker_pid $xvfb_pid 2>/dev/null || true; wait 2>/dev/null; rm -rf "$work"' EXIT
module_pid="" monitor_pid="" shown="stderr monitor seen first before back" # what a failure shows

plug() { # LOG: a module on a new pseudo-terminal, and the link to it with its two folders
  rm -f "$work/pty"
  python3 -c 'import os, sys; master, slave = os.openpty(); print(os.ttyname(slave), flush=True)
log = open(sys.argv[1], "wb", buffering=0)
while True: log.write(os.read(master, 4096).hex().encode())' "$1" >"$work/pty" &
  module_pid=$!
  wait_until 30 test -s "$work/pty" || fail "no pseudo-terminal for $1"
  mkdir -p "$work/serial/by-path"
  ln -s "$(cat "$work/pty")" "$link"
}
unplug() { kill "$module_pid"; wait "$module_pid" || true; rm "$link"; rmdir "$work/serial/by-path" "$work/serial"; }
got() { [ "$(cat "$work/$1")" = "$2" ]; } # LOG BYTES: all the module got, in hexadecimal
wakeups() { cat /proc/"$app_pid"/task/*/status | awk '/^voluntary_ctxt_switches/ { sum += $2 } END { print sum }'; }
# What the window does after a change (an unmap, a line said) settles first: a second without a
# wake-up, within 30 s. Then 3 s more must pass without one.
no_wakeups() { # WHILE
  local before settled=""
  for _ in $(seq 30); do before=$(wakeups); sleep 1; [ "$(wakeups)" = "$before" ] && settled=yes && break; done
  [ -n "$settled" ] || fail "$1: never a second without a wake-up"
  before=$(wakeups); sleep 3
  [ "$(wakeups)" = "$before" ] || fail "$1: $(($(wakeups) - before)) wake-ups in 3 s"
}
click() { xdotool mousemove --window "$window" "$1" $((top + $2)) click 1; }
cocina=(79 91) bano=(79 67)
off=a00100a1a00200a2 # both relays off, as the module's frames

start_xvfb "$work"
link="$work/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0"
port="lcus:$link:2"
plug "$work/first"
TENVALIA_MQTT_CONF= start # MQTT off: its keep-alives wake the program
xdotool windowunmap "$(wait_for_window)" || fail "no window"
no_wakeups "watching a module that is there"
unplug
wait_until 30 has stderr "se desconectó" || fail "the module's going was not said"
no_wakeups "waiting for it to come back"
stop TERM
echo "comeback: watching and waiting cost no wake-up in 3 s each; the module's going said with no click"

# The doors, as the module goes and comes back.
start_broker
watch_broker "$topic/#" 'homeassistant/#'
plug "$work/before"
start
window=$(wait_for_window) || fail "no window"
top=$(client_top "$window" "$work")
wait_until 10 online || fail "not online"
property() { gdbus call --session -d org.tenvalia.Tenvalia -o /org/tenvalia/Tenvalia \
  -m org.freedesktop.DBus.Properties.Get org.tenvalia.Tenvalia1 "$1"; }
gdbus monitor --session -d org.tenvalia.Tenvalia -o /org/tenvalia/Tenvalia >"$work/monitor" &
monitor_pid=$!
wait_until 10 has monitor "is owned by" || fail "gdbus monitor did not start listening"
click "${cocina[@]}" # relay 2
wait_until 30 got before "ff${off}a00100a1a00201a3" || fail "the module got $(cat "$work/before")"
module="módulo de relés $link"
json_is "$topic/state" "j['available'] and not j['simulated'] and j['value'] == 2 and j['output'].startswith('$module')"
unplug
# Told with no click: nothing is clicked until the doors have said it.
wait_until 10 has monitor "{'Available': <false>, 'Output': <'simulado (salida estándar)'>, 'Simulated': <true>}" ||
  fail "no PropertiesChanged as the module went"
[ "$(property Available) $(property Output)" = "(<false>,) (<'simulado (salida estándar)'>,)" ] ||
  fail "D-Bus while away: $(property Available) $(property Output)"
json_is "$topic/state" 'not j["available"] and j["simulated"] and j["value"] == 2'
"$ctl" status | grep -qx 'disponible: no, la salida pedida falló, no se pudo usar o se desconectó' ||
  fail "tenvaliactl status while away: $("$ctl" status)"
mapfile -t away < <(lights | sed 's/: off$/: unavailable/')
ha_shows "Luces: Cocina" "Salida: on" "${away[@]}"
# A click from outside meanwhile (the window waits behind the box that told the loss): made, and
# answered as not done.
status=0 clicked=$(gdbus call --session -d org.tenvalia.Tenvalia -o /org/tenvalia/Tenvalia -m org.tenvalia.Tenvalia1.Click bano 2>&1) ||
  status=$?
[ "$status" -ne 0 ] && [[ "$clicked" == *"WriteFailed: la salida pedida no está disponible ("*"se desconectó"* ]] ||
  fail "a click while away answered: $clicked"
json_is "$topic/state" 'not j["available"] and j["value"] == 1'
plug "$work/back"
wait_until 30 has stderr "$module volvió y se usa de nuevo" || fail "the module's return was not said"
# Asked what it is when opened, then one write, offs first: relay 2 off, relay 1 on.
got back ffa00200a2a00101a2 && [ "$(count stderr "volvió")" -eq 1 ] || fail "the module back got $(cat "$work/back")"
wait_until 10 has monitor "'Available': <true>" || fail "no PropertiesChanged as the module came back"
[ "$(grep -o "'Available': <[a-z]*>" "$work/monitor" | tr '\n' ' ')" = "'Available': <false> 'Available': <true> " ] ||
  fail "Available did not change exactly twice"
[ "$(property Available)" = "(<true>,)" ] && [[ "$(property Output)" == "(<'$module"* ]] && "$ctl" status | grep -qx 'disponible: sí' ||
  fail "D-Bus once back: $(property Available) $(property Output)"
json_is "$topic/state" "j['available'] and not j['simulated'] and j['value'] == 1 and j['output'].startswith('$module')"
mapfile -t bano_on < <(lights "Baño (D0)")
ha_shows "Luces: Baño" "Salida: off" "${bano_on[@]}"
echo "comeback: away, D-Bus Available false (told as it went), Output the stand-in, MQTT available false, Home Assistant's problem on; back, all true again with the click made meanwhile"

# kill -9: only the guardian is left to switch the module off, through the descriptor of its return.
stop KILL
wait_until 10 got back "ffa00200a2a00101a2$off" || fail "kill -9 after the return left the relays as they were"
wait_until 10 availability_is offline || fail "the last will did not say offline"
echo "comeback: kill -9 after the return: the module's relays switched off through its new descriptor"
