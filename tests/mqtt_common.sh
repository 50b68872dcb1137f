# Sourced by the MQTT tests: a mosquitto broker of the test's own on a Unix socket with a
# password, the real window under Xvfb on a session bus of the test's own, its port traced to a
# file, and what mosquitto_sub sees. Expects app=path/to/tenvalia; sets work, sock, topic, auth.
export PATH="$PATH:/usr/sbin" # mosquitto, for an ordinary user too
for tool in mosquitto mosquitto_pub mosquitto_sub mosquitto_passwd dbus-run-session python3; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is missing (bash scripts/deps.sh test installs it)"; exit 77; }
done
python3 -c 'import jinja2' 2>/dev/null || { echo "SKIPPED: python3-jinja2 is missing (bash scripts/deps.sh test installs it)"; exit 77; }
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/xvfb.sh"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'kill -CONT $broker_pid 2>/dev/null; kill $app_pid $second_pid $watch_pid $broker_pid $xvfb_pid 2>/dev/null || true; wait 2>/dev/null; rm -rf "$work"' EXIT
app_pid="" second_pid="" watch_pid="" broker_pid="" xvfb_pid=""

fail() {
  echo "FAIL: $*"
  for f in ${shown:-trace stderr seen broker.log}; do echo "--- $f:"; tail -n 40 "$work/$f" 2>/dev/null || true; done
  exit 1
}
sock="$work/broker.sock" node=prueba
topic="tenvalia/$node"
auth=(--unix "$sock" -u tenvalia -P secreto)
mosquitto_passwd -b -c "$work/passwords" tenvalia secreto
broker_conf() { # EXTRA-LINES...
  printf '%s\n' "user $(id -un)" "listener 0 $sock" "allow_anonymous false" "password_file $work/passwords" "$@" >"$work/broker.conf"
}
broker_conf
started() { [ "$(grep -c ' running$' "$work/broker.log" 2>/dev/null)" -gt "$1" ]; }
start_broker() { # once its listeners take connections
  local before
  before=$(grep -c ' running$' "$work/broker.log" 2>/dev/null || true)
  mosquitto -c "$work/broker.conf" >>"$work/broker.log" 2>&1 &
  broker_pid=$!
  wait_until 10 started "${before:-0}" || fail "the broker did not start"
}
stop_broker() { kill "$broker_pid"; wait "$broker_pid" || true; broker_pid=""; }
publish() { mosquitto_pub "${auth[@]}" -t "$topic/click" "$@"; }
select_() { mosquitto_pub "${auth[@]}" -t "$topic/select" -m "$1"; }
watch_broker() { # TOPIC...: what mosquitto_sub sees from now on, in $work/seen
  [ -z "$watch_pid" ] || { kill "$watch_pid"; wait "$watch_pid" 2>/dev/null || true; }
  local topics=()
  for t in "$@"; do topics+=(-t "$t"); done
  mosquitto_sub "${auth[@]}" -F '%t %r %p' "${topics[@]}" >"$work/seen" &
  watch_pid=$!
}

conf() { # KEY=VALUE...: the window's MQTT configuration, only its owner may read it
  printf '%s\n' "host = $sock" "user = tenvalia" "password = secreto" "node = $node" "$@" >"$work/mqtt.conf"
  chmod 600 "$work/mqtt.conf"
}
conf
mkdir -m 700 "$work/runtime"
export TENVALIA_MQTT_CONF="$work/mqtt.conf" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"

start() { rm -f "$work/trace"; QT_QPA_PLATFORM=xcb TENVALIA_PORT="${port:-sim:$work/trace}" "$app" >/dev/null 2>"$work/stderr" & app_pid=$!; }
stop() { # SIGNAL
  local status=0
  kill -"$1" "$app_pid"
  { wait "$app_pid"; } 2>/dev/null || status=$? # bash would say "Killed"
  app_pid=""
  [ "$1" = KILL ] || [ "$status" -eq 0 ] || fail "exit code $status after SIG$1"
}
lines() { cat "$work/trace" 2>/dev/null | wc -l; }
wait_until() { # SECONDS COMMAND... : true once the command is (asked anew each time: no $(...) in it)
  for _ in $(seq $(($1 * 10))); do "${@:2}" && return 0; sleep 0.1; done
  return 1
}
written() { [ "$(lines)" -ge "$1" ]; } # at least that many writes
has() { grep -qF -- "$2" "$work/$1" 2>/dev/null; }
count() { grep -cF -- "$2" "$work/$1" 2>/dev/null || true; }
trace_is() { [ "$(cat "$work/trace")" = "$(printf '0x0378 %s\n' "$@")" ] || fail "trace differs; expected: $*"; }
step() { # VALUE...: the trace after one more write each
  expected+=("$@")
  wait_until 30 written ${#expected[@]} || fail "expected ${#expected[@]} writes"
  trace_is "${expected[@]}"
}
# What mosquitto_sub saw on the topic, payloads only, in order.
payloads() { awk -v t="$1" '$1 == t { sub(/^[^ ]* [01] /, ""); print }' "$work/seen"; }
json_holds() { # TOPIC PYTHON-EXPRESSION: true of the last payload of TOPIC, as `j`
  python3 -c 'import json, sys; j = json.loads(sys.argv[1]); sys.exit(0 if eval(sys.argv[2]) else 1)' \
    "$(payloads "$1" | tail -n 1)" "$2" 2>/dev/null
}
json_is() { wait_until 10 json_holds "$@" || fail "$1: $2 is not so"; } # once the message is in
availability_is() { test "$(payloads "$topic/availability" | tail -n 1)" = "$1"; }
online() { availability_is online; }

# What Home Assistant would show, its templates rendered over the last retained messages.
config="homeassistant/device/tenvalia_$node/config"
discovery() { payloads "$config" | tail -n 1; }
ha_now() { # entities as Home Assistant would show them from the last messages
  python3 "$here/ha_discovery.py" show "$(discovery)" "$(payloads "$topic/availability" | tail -n 1)" \
    "$(payloads "$topic/state" | tail -n 1)"
}
ha_is() { [ "$(ha_now | sort)" = "$(printf '%s\n' "$@" | sort)" ]; }
ha_shows() { wait_until 10 ha_is "$@" || fail "Home Assistant would show: $(ha_now)"; } # LINE...
lights() { # LIT-SENSOR-NAME...: the eight line sensors, those named on, the rest off
  local line
  for line in "Baño (D0)" "Cocina (D1)" "Comedor (D2)" "Recamara (D3)" "Sala (D4)" "Cochera (D5)" "Traspatio (D6)" "Patio (D7)"; do
    if printf '%s\n' "$@" | grep -qxF "$line"; then echo "$line: on"; else echo "$line: off"; fi
  done
}
