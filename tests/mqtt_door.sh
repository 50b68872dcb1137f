#!/usr/bin/env bash
# MQTT for real: a mosquitto broker of the test's own on a Unix socket with a password, the real
# window under Xvfb on a private session bus, driven by mosquitto_pub and xdotool, watched by
# mosquitto_sub and the port's trace.
# Usage: mqtt_door.sh path/to/tenvalia
set -euo pipefail
export PATH="$PATH:/usr/sbin" # mosquitto, for an ordinary user too
for tool in mosquitto mosquitto_pub mosquitto_sub mosquitto_passwd dbus-run-session python3; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is missing (bash scripts/deps.sh test installs it)"; exit 77; }
done
# A bus of its own: another copy's name on the person's bus would keep this one off MQTT.
[ -n "${MQTT_TEST_BUS:-}" ] || exec env MQTT_TEST_BUS=1 dbus-run-session -- "$0" "$@"
. "$(dirname "$0")/../scripts/xvfb.sh"
app=$(realpath "$1")
work=$(mktemp -d)
trap 'kill -CONT $broker_pid 2>/dev/null; kill $app_pid $second_pid $watch_pid $broker_pid $xvfb_pid 2>/dev/null || true; wait 2>/dev/null; rm -rf "$work"' EXIT
app_pid="" second_pid="" watch_pid="" broker_pid="" xvfb_pid=""

fail() {
  echo "FAIL: $*"
  for f in trace stderr seen broker.log; do echo "--- $f:"; cat "$work/$f" 2>/dev/null || true; done
  exit 1
}
sock="$work/broker.sock" node=prueba
topic="tenvalia/$node"
auth=(--unix "$sock" -u tenvalia -P secreto)
mosquitto_passwd -b -c "$work/passwords" tenvalia secreto
cat >"$work/broker.conf" <<EOF
user $(id -un)
listener 0 $sock
allow_anonymous false
password_file $work/passwords
EOF
start_broker() {
  mosquitto -c "$work/broker.conf" >>"$work/broker.log" 2>&1 &
  broker_pid=$!
  for _ in $(seq 100); do [ -S "$sock" ] && return 0; sleep 0.1; done
  fail "the broker did not start"
}
stop_broker() { kill "$broker_pid"; wait "$broker_pid" || true; broker_pid=""; }
publish() { mosquitto_pub "${auth[@]}" -t "$topic/click" "$@"; }

printf 'host = %s\nuser = tenvalia\npassword = secreto\nnode = %s\n' "$sock" "$node" >"$work/mqtt.conf"
chmod 600 "$work/mqtt.conf"
mkdir -m 700 "$work/runtime"
export TENVALIA_MQTT_CONF="$work/mqtt.conf" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"

start() { rm -f "$work/trace"; QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace" "$app" >/dev/null 2>"$work/stderr" & app_pid=$!; }
stop() { # SIGNAL
  local status=0
  kill -"$1" "$app_pid"
  { wait "$app_pid"; } 2>/dev/null || status=$? # bash would say "Killed"
  app_pid=""
  [ "$1" = KILL ] || [ "$status" -eq 0 ] || fail "exit code $status after SIG$1"
}
lines() { cat "$work/trace" 2>/dev/null | wc -l; }
wait_until() { # SECONDS COMMAND... : true once the command is. A test of what changes goes
  # through eval in single quotes, so that it is read afresh at each look, not once at the call.
  for _ in $(seq $(($1 * 10))); do "${@:2}" && return 0; sleep 0.1; done
  return 1
}
has() { grep -qF -- "$2" "$work/$1" 2>/dev/null; }
count() { grep -cF -- "$2" "$work/$1" 2>/dev/null || true; }
trace_is() { [ "$(cat "$work/trace")" = "$(printf '0x0378 %s\n' "$@")" ] || fail "trace differs; expected: $*"; }
step() { # VALUE...: the trace after one more write
  expected+=("$1")
  wait_until 30 eval '[ "$(lines)" -ge ${#expected[@]} ]' || fail "expected ${#expected[@]} writes"
  trace_is "${expected[@]}"
}
# What mosquitto_sub saw on the topic, payloads only, in order.
payloads() { awk -v t="$1" '$1 == t { sub(/^[^ ]* [01] /, ""); print }' "$work/seen"; }
json_holds() { # TOPIC PYTHON-EXPRESSION: true of the last payload of TOPIC, as `j`
  python3 -c 'import json, sys; j = json.loads(sys.argv[1]); sys.exit(0 if eval(sys.argv[2]) else 1)' \
    "$(payloads "$1" | tail -n 1)" "$2" 2>/dev/null
}
json_is() { wait_until 10 json_holds "$@" || fail "$1: $2 is not so"; } # once the message is in

start_xvfb "$work"
start_broker
mosquitto_sub "${auth[@]}" -F '%t %r %p' -t "$topic/#" -t 'homeassistant/#' >"$work/seen" &
watch_pid=$!

# A click retained by the broker before the window opened is never acted on.
publish -r -m cocina
start
window=$(wait_for_window) || fail "no window"
wait_until 10 has stderr "orden retenida en $topic/click ignorada: «cocina»" || fail "the retained click was not refused"
online() { test "$(payloads "$topic/availability" | tail -n 1)" = online; }
wait_until 10 online || fail "not online"
publish -r -n # the broker forgets it
expected=(0x0000)
trace_is "${expected[@]}"
json_is "$topic/state" 'j == {"value": 0, "lines": "00000000", "ticked": [], "output": j["output"], "simulated": True}'
echo "mqtt: online, a stale retained click ignored, state 0 published"

# Home Assistant's device: eight lines as power sensors, eleven buttons, one event.
names=(interior_casa bano cocina comedor recamara sala exterior_casa cochera traspatio patio interior_exterior)
check_discovery() {
  python3 - "$(payloads "homeassistant/device/tenvalia_$node/config" | tail -n 1)" "$node" "${names[@]}" <<'EOF' || fail "discovery"
import json, sys
d, node, names = json.loads(sys.argv[1]), sys.argv[2], sys.argv[3:]
base, uid = f"tenvalia/{node}/", f"tenvalia_{node}_"
c = d["components"]
assert d["origin"]["name"] == "tenvalia" and d["device"]["identifiers"] == [f"tenvalia_{node}"], d
assert d["availability_topic"] == base + "availability"
assert len(c) == 20, len(c)
for n in range(8):
    s = c[f"{uid}d{n}"]
    assert (s["platform"], s["device_class"], s["unique_id"], s["state_topic"]) == ("binary_sensor", "power", f"{uid}d{n}", base + "state"), s
    assert f"lines[{7 - n}]" in s["value_template"], s
for name in names:
    b = c[uid + name]
    assert (b["platform"], b["command_topic"], b["payload_press"], b["unique_id"]) == ("button", base + "click", name, uid + name), b
e = c[uid + "click"]
assert (e["platform"], e["state_topic"], e["event_types"]) == ("event", base + "event", names), e
EOF
}
check_discovery
mosquitto_pub "${auth[@]}" -t homeassistant/status -m online
wait_until 10 eval '[ "$(payloads "homeassistant/device/tenvalia_$node/config" | wc -l)" -eq 2 ]' ||
  fail "discovery not sent again when Home Assistant came online"
echo "mqtt: discovery with 8 binary sensors, 11 buttons and an event; sent again after homeassistant/status online"

# A click over MQTT is a click in the window: the same box toggles, the same write follows.
import -window "$window" "$work/window.png"
client_top=$(convert "$work/window.png" -crop 1x120+2+0 +repage txt:- |
  awk -F'[:, ]+' '/#859CFA/ && top == "" { top = $2 } END { print top }')
[ -n "$client_top" ] || fail "no light-blue client area in the window"
click() { xdotool mousemove --window "$window" "$1" "$((client_top + $2))" click 1; }
cocina=(79 91) sala=(79 163)
publish -m cocina;    step 0x0002
json_is "$topic/state" 'j["value"] == 2 and j["lines"] == "00000010" and j["ticked"] == ["cocina"]'
json_is "$topic/event" 'j == {"event_type": "cocina", "ticked": True, "value": 2, "origin": "mqtt"}'
click "${cocina[@]}"; step 0x0000
json_is "$topic/event" 'j == {"event_type": "cocina", "ticked": False, "value": 0, "origin": "window"}'
click "${sala[@]}";   step 0x0010
publish -m sala;      step 0x0000
publish -m interior_exterior; step 0x00ff
json_is "$topic/state" 'j["value"] == 255 and j["lines"] == "11111111" and j["ticked"] == ["interior_exterior"]'
echo "mqtt: clicks over MQTT and in the window toggle the same boxes and write the same values; state and event said"

# A second copy leaves remote control to the first: it never connects.
connections=$(count broker.log "New client connected")
QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace2" "$app" >/dev/null 2>"$work/stderr2" &
second_pid=$!
wait_until 10 has stderr2 "otra copia de Tenvalia" || fail "the second copy did not find the first"
sleep 1
kill "$second_pid"; wait "$second_pid" || true; second_pid=""
[ "$(count broker.log "New client connected")" -eq "$connections" ] || fail "a second copy connected to the broker"
echo "mqtt: a second copy did not connect"

# Anything but a box's exact name is refused in one line, its bytes escaped.
for bad in Cocina 'cocina ' $'coc\x1b[2Jina' ''; do publish -m "$bad"; done
wait_until 10 eval '[ "$(count stderr "orden desconocida")" -eq 4 ]' || fail "not one line per bad payload"
has stderr "«coc\\x1b[2Jina»" || fail "the escape character was not escaped"
trace_is "${expected[@]}"
echo "mqtt: bad payloads refused, one escaped line each, nothing written"

# The broker goes away and comes back: one line each way, and the window works meanwhile.
stop_broker
wait_until 10 has stderr "sin conexión" || fail "the loss was not said"
click "${sala[@]}"; step 0x0010
sleep 4 # a few tries meanwhile, none of them said
start_broker
wait_until 40 has stderr "de nuevo conectado" || fail "did not reconnect"
[ "$(count stderr 'sin conexión')" -eq 1 ] || fail "the loss was said more than once"
kill "$watch_pid"; wait "$watch_pid" || true
mosquitto_sub "${auth[@]}" -F '%t %r %p' -t "$topic/#" >"$work/seen" &
watch_pid=$!
wait_until 10 online || fail "not online again"
publish -m sala; step 0x0000
echo "mqtt: broker stopped and started again: lost and back said once each, window clicks went on, MQTT clicks again"

# SIGTERM: the final state, 0, then offline. kill -9: the broker's last will says offline.
stop TERM
expected+=(0x0000)
trace_is "${expected[@]}"
wait_until 5 eval '[ "$(payloads "$topic/availability" | tail -n 1)" = offline ]' || fail "not offline after SIGTERM"
tail -n 2 "$work/seen" | head -n 1 | grep -q "^$topic/state 0 " || fail "no final state before offline"
json_is "$topic/state" 'j["value"] == 0 and j["lines"] == "00000000"'
start
wait_until 10 online || fail "not online after a new start"
stop KILL
wait_until 10 eval '[ "$(payloads "$topic/availability" | tail -n 1)" = offline ]' || fail "the last will did not say offline"
echo "mqtt: SIGTERM published state 0 then offline; after kill -9 the last will said offline"

# A broker that stops answering does not keep the program from closing, nor the lights on.
start
wait_until 10 online || fail "not online"
kill -STOP "$broker_pid"
stop TERM
kill -CONT "$broker_pid"
[ "$(tail -n 1 "$work/trace")" = "0x0378 0x0000" ] || fail "the lights were not switched off"
echo "mqtt: with the broker frozen, SIGTERM still ended the program with every line low"

# Configurations refused: the window works, nothing connects.
refused() { # WORDS
  start
  wait_for_window >/dev/null || fail "no window with a refused configuration"
  wait_until 10 eval '[ "$(lines)" -ge 1 ]' || fail "no write with a refused configuration"
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
