#!/usr/bin/env bash
# MQTT's limits and the words for its troubles, against a mosquitto broker of the test's own: a
# flood of clicks (at most ten a second acted on, the window answering meanwhile), a payload of
# 64 MB (never taken in) and a long one (refused unread), thousands of bad payloads (a line a
# second, every one accounted for), a wrong password, a missing cafile, and a TLS port reached
# without TLS, then with it.
# Usage: mqtt_limits.sh path/to/tenvalia path/to/tenvaliactl
set -euo pipefail
[ -n "${MQTT_TEST_BUS:-}" ] || exec env MQTT_TEST_BUS=1 dbus-run-session -- "$0" "$@"
app=$(realpath "$1") ctl=$(realpath "$2")
. "$(dirname "$0")/mqtt_common.sh"
command -v openssl >/dev/null || { echo "SKIPPED: openssl is missing (bash scripts/deps.sh test installs it)"; exit 77; }

# Every message published reaches the window's client, however many: what the window drops, it
# says.
broker_conf "max_queued_messages 0"
start_xvfb "$work"
start_broker
watch_broker "$topic/#"
start
wait_for_window >/dev/null || fail "no window"
wait_until 10 online || fail "not online"
expected=(0x0000)
now() { date +%s.%N; }
counted() { # PATTERN: the sum of the numbers that standard error's lines matching it begin with
  grep -E "$1" "$work/stderr" | sed -E 's/^[^0-9]*([0-9]+).*/\1/' | awk '{ n += $1 } END { print n + 0 }'; }

# 20 000 clicks at once: ten a second are acted on, the rest dropped and said, the window
# answers meanwhile and afterwards.
start_flood=$(now)
printf 'cocina\n%.0s' $(seq 20000) | mosquitto_pub "${auth[@]}" -t "$topic/click" -l &
flood_pid=$!
"$ctl" status >/dev/null || fail "tenvaliactl status did not answer during the flood"
wait "$flood_pid"
accounted() {
  [ $(($(lines) - 1 + $(counted 'se descartaron [0-9]+ clics|se descartó 1 clic') + $(counted 'se descartaron [0-9]+ mensajes|se descartó 1 mensaje'))) -eq 20000 ]
}
wait_until 30 accounted || fail "of 20000 clicks, $(($(lines) - 1)) acted on, and said: $(cat "$work/stderr")"
seconds=$(awk -v a="$start_flood" -v b="$(now)" 'BEGIN { printf "%d", b - a + 1 }')
[ $(($(lines) - 1)) -le $((10 * seconds)) ] || fail "$(($(lines) - 1)) clicks acted on in $seconds s"
drops=$(grep -cE 'se descartaron [0-9]+ clics' "$work/stderr")
[ "$drops" -ge 1 ] && [ "$drops" -le "$seconds" ] || fail "drops said $drops times in $seconds s"
"$ctl" status >/dev/null || fail "tenvaliactl status did not answer after the flood"
echo "mqtt_limits: of 20000 clicks at once, $(($(lines) - 1)) acted on in ${seconds} s, every other one said as dropped; the window answered"

# 64 MB on click: the broker is asked for no such packet, and the window's peak memory stays; a
# payload longer than a box's name is refused without being read.
peak() { awk '/^VmHWM/ { print $2 }' /proc/"$app_pid"/status; }
before=$(peak)
head -c $((64 * 1024 * 1024)) /dev/zero | tr '\0' a >"$work/big"
mosquitto_pub "${auth[@]}" -t "$topic/click" -f "$work/big"
rm "$work/big"
mosquitto_pub "${auth[@]}" -t "$topic/select" -m "$(printf 'x%.0s' $(seq 100))"
wait_until 10 has stderr "orden de 100 bytes en $topic/select ignorada: una orden tiene como mucho 64" ||
  fail "the long payload was not refused"
after=$(peak)
[ $((after - before)) -le 5120 ] || fail "peak memory grew from $before kB to $after kB"
! has stderr "67108864" || fail "the 64 MB payload reached the window"
echo "mqtt_limits: a 64 MB payload never reached the window (peak memory $before kB, then $after kB); 100 bytes refused unread"

# 2000 bad payloads: a line a second at most, and every one accounted for.
said_before=$(wc -l <"$work/stderr")
since() { tail -n +$((said_before + 1)) "$work/stderr" | grep -E "$1" || true; } # PATTERN: lines said since
start_bad=$(now)
printf 'nada\n%.0s' $(seq 2000) | mosquitto_pub "${auth[@]}" -t "$topic/select" -l
told() {
  local said left dropped
  said=$(since 'orden desconocida' | wc -l)
  left=$(since 'sin decir' | grep -o '(y [0-9]* más antes' | awk '{ n += $2 } END { print n + 0 }')
  dropped=$(since 'se descartaron [0-9]+ mensajes|se descartó 1 mensaje' | sed -E 's/^[^0-9]*([0-9]+).*/\1/' |
    awk '{ n += $1 } END { print n + 0 }')
  [ $((said + left + dropped)) -eq 2000 ] && [ "$said" -ge 1 ]
}
wait_until 30 told || fail "2000 bad payloads not all told: $(tail -n +$((said_before + 1)) "$work/stderr")"
seconds=$(awk -v a="$start_bad" -v b="$(now)" 'BEGIN { printf "%d", b - a + 1 }')
said=$(since 'orden desconocida' | wc -l)
[ "$said" -le $((seconds + 1)) ] || fail "$said lines about bad payloads in $seconds s"
stop TERM
echo "mqtt_limits: 2000 bad payloads told in $said lines over $seconds s, each accounted for"

# The broker refuses the password: said once, naming user, password and the file; no more tries.
conf "password = otra"
start
wait_until 10 has stderr "MQTT:" || fail "a refused password was not said"
sleep 2 # time for a try again, were there one
stop TERM
[ "$(grep -c MQTT "$work/stderr")" -eq 1 ] &&
  grep -qE "^tenvalia: MQTT: $sock rechazó el usuario «tenvalia» o su contraseña: revise user y password en $work/mqtt.conf \(«(Not authorized|Bad user name or password)»\); MQTT queda apagado$" "$work/stderr" ||
  fail "a refused password: $(cat "$work/stderr")"
[ "$(count broker.log 'not authorised')" -le 1 ] || fail "tried again after the password was refused"

# A cafile that cannot be read, or holds no certificate: refused with the configuration, once.
for cafile in "$work/missing.pem" "$work/mqtt.conf"; do
  conf "cafile = $cafile"
  start
  wait_for_window >/dev/null || fail "no window"
  wait_until 10 written 1 || fail "no write"
  stop TERM
  case $cafile in
  *missing.pem) words="$work/mqtt.conf:5: no se puede leer el cafile $cafile (No such file or directory); MQTT queda apagado" ;;
  *) words="$work/mqtt.conf:5: el cafile $cafile no tiene ningún certificado (-----BEGIN CERTIFICATE-----); MQTT queda apagado" ;;
  esac
  [ "$(cat "$work/stderr")" = "tenvalia: MQTT: $words" ] || fail "cafile $cafile: $(cat "$work/stderr")"
done
echo "mqtt_limits: a refused password named user, password and the file, once, without trying again; a missing cafile and one without certificates refused with file and line"

# A TLS port reached without TLS: the words suggest cafile; with it, TLS connects.
stop_broker
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
chmod 644 "$work/key.pem" # the broker may run as another user when the test is root's
tls_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
broker_conf "listener $tls_port 127.0.0.1" "certfile $work/cert.pem" "keyfile $work/key.pem"
start_broker
conf "host = 127.0.0.1" "port = $tls_port"
start
wait_until 10 has stderr "MQTT: sin conexión" || fail "a plain connection to a TLS port was not said"
stop TERM
[ "$(cat "$work/stderr")" = "tenvalia: MQTT: sin conexión con 127.0.0.1:$tls_port: el broker cortó la conexión sin responder; si ese puerto usa TLS (el 8883 suele), ponga en $work/mqtt.conf cafile = los certificados con que comprobarlo (p. ej. /etc/ssl/certs/ca-certificates.crt) («The connection was lost.»); se sigue intentando" ] ||
  fail "a plain connection to a TLS port: $(cat "$work/stderr")"
conf "host = 127.0.0.1" "port = $tls_port" "cafile = $work/cert.pem"
auth=(-h 127.0.0.1 -p "$tls_port" --cafile "$work/cert.pem" -u tenvalia -P secreto)
watch_broker "$topic/#"
start
wait_until 10 online || fail "not online over TLS: $(cat "$work/stderr")"
expected=(0x0000)
publish -m patio; step 0x0080
stop TERM
[ ! -s "$work/stderr" ] || fail "over TLS: $(cat "$work/stderr")"
echo "mqtt_limits: a plain connection to a TLS port suggested cafile; with cafile, TLS connected and a click came through"
