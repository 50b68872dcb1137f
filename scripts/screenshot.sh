#!/usr/bin/env bash
# Pictures of the window under Xvfb for the README.
# Usage: screenshot.sh OUT.png           one picture of the window after start-up
#        screenshot.sh OUT.gif FRAMES    an animated sequence, one frame every 0.2 s
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" picture
bash "$root/scripts/build.sh" build
. "$root/scripts/xvfb.sh"
out=$(realpath -m "$1")
frames=${2:-1}
work=$(mktemp -d)
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; rm -rf "$work"' EXIT
app_pid="" xvfb_pid=""

start_xvfb "$work"

QT_QPA_PLATFORM=xcb TENVALIA_PORT=sim "$root/build/tenvalia" >/dev/null &
app_pid=$!
window=$(wait_for_window)
sleep 1
if [ "$frames" -le 1 ]; then
  import -window "$window" "$out"
else
  for i in $(seq -w "$frames"); do import -window "$window" "$work/frame$i.png"; sleep 0.2; done
  convert -delay 20 -loop 0 "$work"/frame*.png "$out"
fi
kill -TERM "$app_pid"; wait "$app_pid" || true; app_pid=""
echo "wrote $out"
