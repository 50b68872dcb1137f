#!/usr/bin/env bash
# Installs the Debian packages that building and running need; with "package" also what building
# the .deb needs, with "picture" what showing the window on a private X server needs, with "test"
# all of that and what the tests need. Does nothing when all are there. Installing takes root: as
# root it runs apt-get, otherwise sudo; without sudo it prints the one command that, run as root,
# installs everything any of the project's scripts needs, so that one trip as root is enough.
# Usage: deps.sh [package|picture|test]
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev
  libftdi1-dev libmodbus-dev libmosquitto-dev     # FTDI and Modbus relay boards, the MQTT broker
  libnova-dev                                     # sunrise and sunset for the schedule
  libudev-dev                                     # boards that come and go, heard from the kernel
  fonts-liberation2 fonts-dejavu-core
)
package=(dpkg-dev file)
picture=(xvfb xauth xdotool imagemagick)
everything=(
  "${packages[@]}" "${package[@]}" lintian desktop-file-utils appstream man-db groff-base  # the Debian package
  "${picture[@]}"                                                                         # the real window
  dbus mosquitto mosquitto-clients util-linux procps python3  # the session bus, a private broker, setsid, pkill, ptys, JSON
  python3-jinja2 openssl                                      # Home Assistant's templates rendered, a TLS broker's certificate
  libglib2.0-bin libxml2-utils                                # gdbus as a client, the D-Bus interface checked
)
# The emulated PCs (parallel ports, relay boards) are x86: their test runs only where the build is.
case "$(dpkg --print-architecture)" in
  amd64|i386) everything+=(qemu-system-x86 busybox-static cpio xz-utils make gcc-12 libelf1 binutils) ;;
esac
case "${1:-}" in
  package) packages+=("${package[@]}") ;;
  picture) packages+=("${picture[@]}") ;;
  test) packages=("${everything[@]}") ;;
esac

missing_of() { # PACKAGE... -> those not installed
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null; then
  sudo=(sudo)
else
  mapfile -t all_missing < <(missing_of "${everything[@]}")
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Installing them needs root. As root (su -), this installs what every script here needs:" >&2
  echo "  apt-get update && apt-get install --no-install-recommends ${all_missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
