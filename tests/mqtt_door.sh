#!/usr/bin/env bash
# MQTT for real: a mosquitto broker of the test's own on a Unix socket with a password, the real
# window under Xvfb on a private session bus, driven by mosquitto_pub and xdotool, watched by
# mosquitto_sub and the port's trace; Home Assistant's view of it rendered from what it publishes.
# Usage: mqtt_door.sh path/to/tenvalia
set -euo pipefail
# A bus of its own: another copy's name on the person's bus would keep this one off MQTT.
[ -n "${MQTT_TEST_BUS:-}" ] || exec env MQTT_TEST_BUS=1 dbus-run-session -- "$0" "$@"
app=$(realpath "$1")
. "$(dirname "$0")/mqtt_common.sh"

start_xvfb "$work"
start_broker
watch_broker "$topic/#" 'homeassistant/#'

# A click retained by the broker before the window opened is never acted on.
publish -r -m cocina
start
window=$(wait_for_window) || fail "no window"
wait_until 10 has stderr "orden retenida en $topic/click ignorada: «cocina»" || fail "the retained click was not refused"
wait_until 10 online || fail "not online"
publish -r -n # the broker forgets it
expected=(0x0000)
trace_is "${expected[@]}"
json_is "$topic/state" 'j == {"value": 0, "lines": "00000000", "ticked": [], "selected": "apagadas", "output": j["output"], "simulated": True, "available": True}'
echo "mqtt: online, a stale retained click ignored, state 0 published"

# Home Assistant's device, checked against its documented discovery schema and against the
# window; then what Home Assistant shows, from the retained messages.
boxes=(interior_casa="Interior Casa" bano="Baño" cocina="Cocina" comedor="Comedor" recamara="Recamara" sala="Sala"
       exterior_casa="Exterior Casa" cochera="Cochera" traspatio="Traspatio" patio="Patio"
       interior_exterior="Interior Exterior")
python3 "$here/ha_discovery.py" check "$(discovery)" "$node" "${boxes[@]}" || fail "discovery"
mapfile -t dark < <(lights)
ha_shows "Luces: Apagadas" "Salida: off" "${dark[@]}"
mosquitto_pub "${auth[@]}" -t homeassistant/status -m online
discoveries() { [ "$(payloads "$config" | wc -l)" -eq "$1" ]; }
wait_until 10 discoveries 2 || fail "discovery not sent again when Home Assistant came online"
echo "mqtt: discovery in Home Assistant's documented schema, with the window's captions, 11 buttons, a select, 8 lines, a problem sensor and an event; sent again after homeassistant/status online"

# A click over MQTT is a click in the window: the same box toggles, the same write follows.
client_top=$(client_top "$window" "$work")
[ -n "$client_top" ] || fail "no light-blue client area in the window"
click() { xdotool mousemove --window "$window" "$1" "$((client_top + $2))" click 1; }
cocina=(79 91) sala=(79 163)
publish -m cocina;    step 0x0002
json_is "$topic/state" 'j["value"] == 2 and j["lines"] == "00000010" and j["ticked"] == ["cocina"] and j["selected"] == "cocina"'
json_is "$topic/event" 'j == {"event_type": "cocina", "ticked": True, "value": 2, "origin": "mqtt"}'
click "${cocina[@]}"; step 0x0000
json_is "$topic/event" 'j == {"event_type": "cocina", "ticked": False, "value": 0, "origin": "window"}'
click "${sala[@]}";   step 0x0010
publish -m sala;      step 0x0000
publish -m interior_exterior; step 0x00ff
json_is "$topic/state" 'j["value"] == 255 and j["lines"] == "11111111" and j["ticked"] == ["interior_exterior"]'
mapfile -t all < <(lights "Baño (D0)" "Cocina (D1)" "Comedor (D2)" "Recamara (D3)" "Sala (D4)" "Cochera (D5)" "Traspatio (D6)" "Patio (D7)")
ha_shows "Luces: Interior Exterior" "Salida: off" "${all[@]}"
echo "mqtt: clicks over MQTT and in the window toggle the same boxes and write the same values; state, event and Home Assistant follow"

# Selections: Home Assistant's options and any box's name, in any case; each click its own event.
events_before=$(payloads "$topic/event" | wc -l)
select_ Cocina;        step 0x0002
select_ cocina
publish -m sala;       step 0x0010 # taken after the selection before it, which wrote nothing
select_ COCINA;        step 0x0000 0x0002
select_ Apagadas;      step 0x0000
select_ apagadas
select_ "Baño";        step 0x0001
mapfile -t bano < <(lights "Baño (D0)")
ha_shows "Luces: Baño" "Salida: off" "${bano[@]}"
events=$(payloads "$topic/event" | tail -n +$((events_before + 1)) |
  python3 -c 'import json, sys; [print(e["event_type"], e["ticked"], e["origin"]) for e in map(json.loads, sys.stdin)]')
[ "$events" = "cocina True mqtt
sala True mqtt
cocina False mqtt
cocina True mqtt
cocina False mqtt
bano True mqtt" ] || fail "a selection's clicks, as events: $events"
echo "mqtt: selections by caption, name and Apagadas with 0, 1 and 2 clicks, each click an event; Home Assistant's select follows"

# A second copy leaves remote control to the first: it never connects.
connections=$(count broker.log "New client connected")
QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace2" "$app" >/dev/null 2>"$work/stderr2" &
second_pid=$!
wait_until 10 has stderr2 "otra copia de Tenvalia" || fail "the second copy did not find the first"
sleep 1
kill "$second_pid"; wait "$second_pid" || true; second_pid=""
[ "$(count broker.log "New client connected")" -eq "$connections" ] || fail "a second copy connected to the broker"
echo "mqtt: a second copy did not connect"

# Anything but a box's exact name is refused, in at most a line a second, its bytes escaped, the
# names never listed.
for bad in Cocina 'cocina ' ''; do publish -m "$bad"; done
select_ $'coc\x1b[2Jina'
told() { # lines about bad payloads, and those they say were left out: every one of the four
  local said left
  said=$(count stderr 'orden desconocida')
  left=$(grep -o '(y [0-9]* más antes, sin decir)' "$work/stderr" | awk '{ n += $2 } END { print n + 0 }')
  [ $((said + left)) -eq 4 ]
}
wait_until 10 told || fail "the bad payloads were not all told"
has stderr "orden desconocida en $topic/click ignorada: «Cocina» no es el nombre de ninguna casilla" &&
  has stderr "orden desconocida en $topic/select ignorada: «coc\\x1b[2Jina» no es ninguna casilla ni «apagadas»" ||
  fail "the first and the last bad payload not said as they came"
! has stderr "interior_exterior" || fail "a line listed the names"
trace_is "${expected[@]}"
echo "mqtt: bad payloads refused, the first and the last said, escaped, the rest counted; nothing written"

# The broker goes away and comes back: one line each way, and the window works meanwhile.
stop_broker
wait_until 10 has stderr "sin conexión" || fail "the loss was not said"
click "${sala[@]}"; step 0x0000
sleep 4 # a few tries meanwhile, none of them said
start_broker
wait_until 40 has stderr "de nuevo conectado" || fail "did not reconnect"
[ "$(count stderr 'sin conexión')" -eq 1 ] || fail "the loss was said more than once"
watch_broker "$topic/#" 'homeassistant/#'
wait_until 10 online || fail "not online again"
publish -m sala; step 0x0010
echo "mqtt: broker stopped and started again: lost and back said once each, window clicks went on, MQTT clicks again"

# SIGTERM with a light on: the final state once, then offline; Home Assistant coming online
# meanwhile never gets a device without its boxes. kill -9: the broker's last will says offline.
json_is "$topic/state" 'j["value"] == 16'
mosquitto_pub "${auth[@]}" -t homeassistant/status -m online &
online_pid=$!
stop TERM
wait "$online_pid"
expected+=(0x0000)
trace_is "${expected[@]}"
wait_until 5 availability_is offline || fail "not offline after SIGTERM"
# (the broker's last will may say offline again, should it write to the window as it goes)
[ "$(grep "^$topic/" "$work/seen" | uniq | tail -n 2 | cut -d' ' -f1 | tr '\n' ' ')" = "$topic/state $topic/availability " ] ||
  fail "not the final state, then offline"
json_is "$topic/state" 'j["value"] == 0 and j["lines"] == "00000000"'
[ "$(payloads "$topic/state" | tail -n 2 | head -n 1 | python3 -c 'import json, sys; print(json.load(sys.stdin)["value"])')" = 16 ] ||
  fail "the final state published more than once"
while read -r message; do
  python3 "$here/ha_discovery.py" check "$message" "$node" "${boxes[@]}" || fail "a discovery without every box"
done < <(payloads "$config")
start
wait_until 10 online || fail "not online after a new start"
stop KILL
wait_until 10 availability_is offline || fail "the last will did not say offline"
echo "mqtt: SIGTERM published state 0 once, then offline, every discovery whole; after kill -9 the last will said offline"

# A broker that stops answering does not keep the program from closing, nor the lights on.
start
wait_until 10 online || fail "not online"
kill -STOP "$broker_pid"
stop TERM
kill -CONT "$broker_pid"
[ "$(tail -n 1 "$work/trace")" = "0x0378 0x0000" ] || fail "the lights were not switched off"
echo "mqtt: with the broker frozen, SIGTERM still ended the program with every line low"

# An output that stands in for the one asked for: Home Assistant shows the problem and no lines,
# and a selection is said to have failed.
port=nonsense start
wait_until 10 json_holds "$topic/state" 'not j["available"]' || fail "state still available"
mapfile -t gone < <(lights | sed 's/: off$/: unavailable/')
ha_shows "Luces: Apagadas" "Salida: on" "${gone[@]}"
select_ cocina
wait_until 10 has stderr "MQTT: no se pudo poner cocina: la salida pedida no está disponible (TENVALIA_PORT=nonsense); se escribe en simulado (salida estándar)" ||
  fail "the failed selection was not said"
stop TERM
echo "mqtt: an output standing in: Home Assistant's problem sensor on, its lines unavailable; a selection said to have failed"

# Configurations refused: the window works, nothing connects.
refused() { # WORDS
  start
  wait_for_window >/dev/null || fail "no window with a refused configuration"
  wait_until 10 written 1 || fail "no write with a refused configuration"
  stop TERM
  [ "$(cat "$work/stderr")" = "$1" ] || fail "said: $(cat "$work/stderr"); expected: $1"
}
online_before=$(count seen online)
chmod 640 "$work/mqtt.conf"
refused "tenvalia: MQTT: $work/mqtt.conf guarda una contraseña y otros usuarios pueden leerlo: no se conecta. Que solo su dueño lo lea: chmod 600 $work/mqtt.conf"
printf 'host = %s\n# a comment\ncolour = blue\n' "$sock" >"$work/mqtt.conf"
refused "tenvalia: MQTT: $work/mqtt.conf:3: clave desconocida «colour»; MQTT queda apagado"
printf 'node = a/b\n' >"$work/mqtt.conf"
refused "tenvalia: MQTT: $work/mqtt.conf:1: el nodo «a/b» va en los temas: solo letras, cifras, _ y -, de 1 a 64; MQTT queda apagado"
mkfifo "$work/fifo" # that nobody writes to: opening it to read would wait
TENVALIA_MQTT_CONF="$work/fifo" refused "tenvalia: MQTT: $work/fifo no es un archivo de configuración (un archivo normal de hasta 64 KiB); MQTT queda apagado"
[ "$(count seen online)" -eq "$online_before" ] || fail "a refused configuration connected"
echo "mqtt: a password readable by others, an unknown key, a bad node and a FIFO refused in one line each; window worked"
