#!/usr/bin/env bash
# Pictures of the window under Xvfb for the README.
# Usage: screenshot.sh OUT.png           one picture of the window after start-up
#        screenshot.sh OUT.gif FRAMES    an animated sequence, one frame every 0.2 s
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "$1")
frames=${2:-1}
work=$(mktemp -d)
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; rm -rf "$work"' EXIT
app_pid=""

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

QT_QPA_PLATFORM=xcb TENVALIA_PORT=sim "$root/build/tenvalia" >/dev/null &
app_pid=$!
window=$(timeout 10 xdotool search --sync --onlyvisible --limit 1 --name '^Tenvalia$')
sleep 1
if [ "$frames" -le 1 ]; then
  import -window "$window" "$out"
else
  for i in $(seq -w "$frames"); do import -window "$window" "$work/frame$i.png"; sleep 0.2; done
  convert -delay 20 -loop 0 "$work"/frame*.png "$out"
fi
kill -TERM "$app_pid"; wait "$app_pid" || true; app_pid=""
echo "wrote $out"
