#!/usr/bin/env bash
# Installs the Debian packages that building and running need, and with "test" also what the
# tests need; does nothing when all are there.
# Usage: deps.sh [test]
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  fonts-liberation2 fonts-dejavu-core
)
if [ "${1:-}" = test ]; then
  packages+=(
    xvfb xauth xdotool imagemagick                          # the real window
    qemu-system-x86 busybox-static cpio xz-utils            # the emulated parallel port
    dpkg-dev file desktop-file-utils appstream man-db groff-base  # the Debian package
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
