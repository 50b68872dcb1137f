# Sourced by the tests that run the real program under Xvfb on a traced simulated port: its
# temporary folder, starting and stopping it, and reading the trace. Expects app=path/to/tenvalia.
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/xvfb.sh"
work=$(mktemp -d)
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; rm -rf "$work"' EXIT
app_pid="" xvfb_pid=""
export XDG_CONFIG_HOME="$work/config" # the person's own MQTT or schedule never reaches the test

fail() { echo "FAIL: $*"; echo "--- trace:"; cat "$work/trace" 2>/dev/null || true; echo "--- stderr:"; cat "$work/stderr" 2>/dev/null || true; exit 1; }
run() { QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace" exec "$app" "$@"; }
start() { rm -f "$work/trace"; run >/dev/null 2>"${1:-$work/stderr}" & app_pid=$!; } # [file for standard error]
sigterm() { local status=0; kill -TERM "$app_pid"; wait "$app_pid" || status=$?; app_pid=""; [ "$status" -eq 0 ] || fail "exit code $status after SIGTERM"; }
lines() { cat "$work/trace" 2>/dev/null | wc -l; }
wait_for_lines() {
  for _ in $(seq 100); do [ "$(lines)" -ge "$1" ] && return 0; sleep 0.05; done
  fail "expected $1 writes, saw $(lines)"
}
trace_is() { [ "$(cat "$work/trace")" = "$(printf '%s\n' "$@")" ] || fail "trace differs; expected: $*"; }
