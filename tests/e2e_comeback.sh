#!/usr/bin/env bash
# The real program on a CH340 module of 2 relays behind a link of the test's own, made and removed
# as udev does /dev/serial/by-path: with "Cocina" on and the window unmapped (its animation
# asleep), watching for the module's going costs no wake-up, nor does waiting for its return (3 s each);
# the link removed is said with no click, and a module behind it again gets the window's value in
# one write. The modules answer no status request: each byte they get is kept.
# Usage: e2e_comeback.sh path/to/tenvalia
set -euo pipefail
app=$(realpath "$1")
. "$(dirname "$0")/traced_window.sh"
trap 'kill $app_pid $xvfb_pid $module_pid 2>/dev/null || true; rm -rf "$work"' EXIT
module_pid=""

plug() { # LOG: a module on a new pseudo-terminal, and the link to it with its two folders
  rm -f "$work/pty"
  python3 -c '
import os, sys
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
with open(sys.argv[1], "wb", buffering=0) as log:
    while True:
        log.write(os.read(master, 4096).hex().encode())
' "$1" >"$work/pty" &
  module_pid=$!
  for _ in $(seq 300); do [ -s "$work/pty" ] && break; sleep 0.1; done
  mkdir -p "$work/serial/by-path"
  ln -s "$(cat "$work/pty")" "$link"
}
unplug() { kill "$module_pid"; wait "$module_pid" || true; rm "$link"; rmdir "$work/serial/by-path" "$work/serial"; }
said() { grep -c "$1" "$work/stderr" || true; }
wait_for_said() { for _ in $(seq 300); do [ "$(said "$1")" -ge 1 ] && return 0; sleep 0.1; done; fail "never said: $1"; }
wakeups() { cat /proc/"$app_pid"/task/*/status | awk '/^voluntary_ctxt_switches/ { sum += $2 } END { print sum }'; }
# What the window does after a change (an unmap, a line said) settles first: a second without a
# wake-up, within 30 s. Then 3 s more must pass without one.
no_wakeups() { # WHILE
  local before settled=""
  for _ in $(seq 30); do
    before=$(wakeups)
    sleep 1
    [ "$(wakeups)" = "$before" ] && settled=yes && break
  done
  [ -n "$settled" ] || fail "$1: never a second without a wake-up"
  before=$(wakeups)
  sleep 3
  [ "$(wakeups)" = "$before" ] || fail "$1: $(($(wakeups) - before)) wake-ups in 3 s"
}

start_xvfb "$work"
link="$work/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0"
plug "$work/first"
QT_QPA_PLATFORM=xcb TENVALIA_PORT="lcus:$link:2" "$app" >/dev/null 2>"$work/stderr" &
app_pid=$!
window=$(wait_for_window) || fail "no window"
xdotool mousemove --window "$window" 79 $(($(client_top "$window" "$work") + 91)) click 1 # Cocina: relay 2
for _ in $(seq 300); do [[ "$(cat "$work/first")" == *a00100a1a00201a3 ]] && break; sleep 0.1; done
[ "$(cat "$work/first")" = ffa00100a1a00200a2a00100a1a00201a3 ] || fail "first module got $(cat "$work/first")"
xdotool windowunmap "$window"
no_wakeups "watching a module that is there"

unplug
wait_for_said "se desconectó"
no_wakeups "waiting for it to come back"
plug "$work/second"
wait_for_said "volvió y se usa de nuevo"
# Asked what it is when opened, then one write: relay 1 off, relay 2 on.
[ "$(cat "$work/second")" = ffa00100a1a00201a3 ] || fail "the module back got $(cat "$work/second")"
[ "$(said "volvió")" -eq 1 ] || fail "said more than once that it is back"
sigterm
echo "comeback: watching and waiting cost no wake-up in 3 s each; the module went with no click, and back got the window's value once"
