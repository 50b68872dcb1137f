#!/usr/bin/env bash
# The real program without a desktop, as tenvalia-headless.service runs it: Qt's offscreen
# platform, no DISPLAY, a session bus of the test's own. tenvaliactl switches it; trouble goes to
# standard error and no box waits for anyone; SIGTERM closes it with exit 0 and the port off;
# kill -9 leaves the guardian to switch it off; MQTT, with a broker of the test's own on a Unix
# socket, switches it too.
# Usage: e2e_headless.sh path/to/tenvalia path/to/tenvaliactl
set -euo pipefail
[ -n "${TENVALIA_TEST_BUS:-}" ] || TENVALIA_TEST_BUS=1 exec dbus-run-session -- "$0" "$@" 2> >(grep -v 'fd limit' >&2)
app=$(realpath "$1") ctl=$(realpath "$2")
work=$(mktemp -d)
trap 'kill $app_pid $broker_pid 2>/dev/null || true; wait 2>/dev/null; rm -rf "$work"' EXIT
app_pid="" broker_pid=""
mkdir -m 700 "$work/runtime"
unset DISPLAY WAYLAND_DISPLAY
export XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/config"

fail() { echo "FAIL: $*"; for f in trace stderr; do echo "--- $f:"; cat "$work/$f" 2>/dev/null || true; done; exit 1; }
lines() { cat "$work/trace" 2>/dev/null | wc -l; }
start() { # TENVALIA_PORT
  rm -f "$work/trace"
  TENVALIA_PORT=$1 "$app" >"$work/stdout" 2>"$work/stderr" &
  app_pid=$!
  for _ in $(seq 200); do "$ctl" status >/dev/null 2>&1 && return 0; sleep 0.05; done
  fail "no Tenvalia on the bus"
}
ended_with() { # WHAT STATUS
  local status=0
  timeout 10 tail --pid="$app_pid" -f /dev/null || fail "$1: still running after 10 s"
  wait "$app_pid" || status=$?
  app_pid=""
  [ "$status" -eq "$2" ] || fail "$1: exit status $status, expected $2"
}
trace_is() { # WHAT VALUES...
  local what=$1 want
  shift
  want=$(printf '0x0378 %s\n' "$@")
  for _ in $(seq 100); do [ "$(cat "$work/trace")" = "$want" ] && return 0; sleep 0.05; done
  fail "$what: trace $(tr '\n' ' ' <"$work/trace"), expected $*"
}

start "sim:$work/trace"
[ "$("$ctl" click cocina)" = "cocina: marcada, valor 0x02, líneas D7..D0 00000010" ] || fail "tenvaliactl click"
trace_is "a click over the bus" 0x0000 0x0002
kill -TERM "$app_pid"
ended_with SIGTERM 0
trace_is SIGTERM 0x0000 0x0002 0x0000
[ ! -s "$work/stderr" ] || fail "standard error was not empty"
echo "e2e_headless: started without a display, switched by tenvaliactl, closed by SIGTERM with exit 0 and the port off, not a word on standard error"

# A port that cannot be had: said on standard error, once; no box waits, the bus is heard.
start "sim:$work/no-such-folder/trace"
grep -q '^tenvalia: .*no-such-folder' "$work/stderr" || fail "the port's trouble was not said"
# The click is made; it is answered as not done (exit 1), since its write reached only the
# simulated port that stands in for the one asked for.
status=0
out=$("$ctl" click sala 2>&1) || status=$?
[ "$status" -eq 1 ] && [[ "$out" == "tenvaliactl: la salida pedida no está disponible (TENVALIA_PORT=sim:$work/no-such-folder/trace: "* ]] ||
  fail "tenvaliactl click after trouble: exit $status, $out"
now=$("$ctl" status 2>&1) || true
grep -qx 'marcadas: sala' <<<"$now" || fail "the click after trouble was not made: $now"
kill -TERM "$app_pid"
ended_with "SIGTERM after trouble" 0
[ "$(grep -c '^tenvalia: No se pudo guardar el registro' "$work/stderr")" -eq 1 ] || fail "the trouble was said more than once"
echo "e2e_headless: a port's trouble said once on standard error, and the window still switched over the bus, saying the output stands in"

# Killed with a light on: the guardian switches it off.
start "sim:$work/trace"
"$ctl" click patio >/dev/null
trace_is "patio" 0x0000 0x0080
guardian=$(pgrep -P "$app_pid" -x apagaluces) || fail "no guardian beside the program"
kill -KILL "$app_pid"
ended_with "kill -9" 137
trace_is "kill -9" 0x0000 0x0080 0x0000
timeout 5 tail --pid="$guardian" -f /dev/null || fail "the guardian is still running"
echo "e2e_headless: killed with a light on, the guardian switched it off and went"

# MQTT as with a desktop: online, a click, and offline after SIGTERM.
export PATH="$PATH:/usr/sbin" # mosquitto, for an ordinary user too
for tool in mosquitto mosquitto_pub mosquitto_sub; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is missing, for the MQTT part (bash scripts/deps.sh test installs it)"; exit 77; }
done
sock="$work/broker.sock"
printf 'user %s\nlistener 0 %s\nallow_anonymous true\n' "$(id -un)" "$sock" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" >/dev/null 2>&1 &
broker_pid=$!
for _ in $(seq 100); do [ -S "$sock" ] && break; sleep 0.1; done
printf 'host = %s\nnode = casa\n' "$sock" >"$work/mqtt.conf"
availability() { timeout 10 mosquitto_sub --unix "$sock" -t tenvalia/casa/availability -C 1; }
TENVALIA_MQTT_CONF="$work/mqtt.conf" start "sim:$work/trace"
for _ in $(seq 100); do [ "$(availability)" = online ] && break; sleep 0.1; done
[ "$(availability)" = online ] || fail "not online over MQTT"
mosquitto_pub --unix "$sock" -t tenvalia/casa/click -m cocina
trace_is "a click over MQTT" 0x0000 0x0002
kill -TERM "$app_pid"
ended_with "SIGTERM with MQTT" 0
[ "$(availability)" = offline ] || fail "not offline over MQTT after SIGTERM"
[ ! -s "$work/stderr" ] || fail "standard error was not empty with MQTT"
echo "e2e_headless: MQTT online, a click over it, offline after SIGTERM"
