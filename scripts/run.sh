#!/usr/bin/env bash
# Installs what is missing, builds the program (with the guardian and the MQTT module it starts,
# not the tests nor the benchmark), and starts it. Without a parallel port it says so once and
# runs on the simulated port; TENVALIA_PORT chooses another (see the README).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
bash "$root/scripts/build.sh" build --target tenvalia
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "Built $root/build/tenvalia, but there is no display to open its window on (DISPLAY is not set)." >&2
  echo "Without a desktop, bash scripts/screenshot.sh /tmp/tenvalia.png shows it on a private X server." >&2
  exit 1
fi
exec "$root/build/tenvalia"
