#!/usr/bin/env bash
# The 64-bit ARM build (Raspberry Pi OS 64-bit, Debian 12 arm64), made and checked on a Debian 12
# PC: Debian's cross compiler and the arm64 Qt libraries beside the host's, a warning-free build in
# build-arm64/, the unit and widget tests run under qemu-aarch64, and the arm64 .deb with the same
# checks as the PC's. Adding the arm64 architecture changes apt's setup for good, so this needs
# root and is never run by test.sh; on the Raspberry Pi itself, test.sh and package.sh build natively.
# Usage: cross-arm64.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=build-arm64

if [ "$(id -u)" -ne 0 ]; then
  echo "cross-arm64.sh needs root: it adds the arm64 architecture to apt (dpkg --add-architecture arm64)" >&2
  echo "and installs the cross compiler and the arm64 Qt libraries. Run it as root." >&2
  exit 1
fi

host=(
  crossbuild-essential-arm64 qemu-user cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools     # moc, uic and rcc, with the CMake files that find them
  fonts-liberation2 fonts-dejavu-core # the widget tests render text
  dpkg-dev file lintian desktop-file-utils appstream man-db groff-base imagemagick # the package's checks
)
# libftdi1-dev cannot stand beside the PC's own (it is not multiarch): the arm64 library is
# installed, and its development files are unpacked into the build folder below.
target=(qt6-base-dev:arm64 libgl-dev:arm64 libxcb1-dev:arm64 libftdi1-2:arm64 libusb-1.0-0-dev:arm64
        libmodbus-dev:arm64 libmosquitto-dev:arm64 libnova-dev:arm64 libudev-dev:arm64)
missing=()
for p in "${host[@]}" "${target[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

ftdi="$root/$dir/libftdi1-arm64"
if [ ! -s "$ftdi/libftdi1.pc" ]; then
  rm -rf "$ftdi" && mkdir -p "$ftdi"
  (cd "$ftdi" && apt-get download libftdi1-dev:arm64 libftdi1-2:arm64 >/dev/null 2>&1) ||
    { echo "could not download libftdi1-dev:arm64" >&2; exit 1; }
  for deb in "$ftdi"/*.deb; do dpkg -x "$deb" "$ftdi/root"; done
  rm "$ftdi"/*.deb
  sed "s|=/usr|=$ftdi/root/usr|" "$ftdi/root/usr/lib/aarch64-linux-gnu/pkgconfig/libftdi1.pc" >"$ftdi/libftdi1.pc"
fi

echo "== building for arm64 in $dir"
bash "$root/scripts/build.sh" "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64.cmake" -DTENVALIA_WERROR=ON \
  -DTENVALIA_EXTRA_PKGCONFIG="$ftdi"
file -b "$root/$dir/tenvalia" | grep -q 'ARM aarch64' || { echo "$dir/tenvalia is not an arm64 program" >&2; exit 1; }

echo "== unit and widget tests under qemu-aarch64"
(cd "$root/$dir" && ctest -L unit --output-on-failure --timeout 600)

echo "== the arm64 package"
bash "$root/tests/package/run.sh" "$root/$dir" contents
deb=$(ls "$root/$dir"/tenvalia_*_arm64.deb)
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || { echo "$deb is not labelled arm64" >&2; exit 1; }
echo "$deb"
