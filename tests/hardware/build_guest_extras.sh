#!/usr/bin/env bash
# What the emulated relay boards need in the guest: the kernel's HID modules (uhid makes the USB
# board, hid-generic gives it a /dev/hidraw), the relay_board and ftdi_board emulators, and, built
# as root only, the gpio_relays module against Debian's linux-headers for the guest's exact
# kernel. The headers are downloaded and unpacked into OUT (never installed) and kept there for
# the next call.
# Usage: build_guest_extras.sh KERNEL_DIR OUT
#   KERNEL_DIR: any folder holding the guest kernel's hid.ko, uhid.ko and hid-generic.ko (the
#   unpacked linux-image package, or a folder they were copied to earlier; it may be OUT/modules).
#   Leaves OUT/modules/{hid,uhid,hid-generic}.ko, OUT/relay_board, OUT/ftdi_board, and OUT/modules/gpio_relays.ko
#   or, without root, a line "SKIPPED: ..." on standard output (the rest is still built).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kernel_dir=$(realpath "$1")
out=$(realpath -m "$2")
mkdir -p "$out/modules"

for module in hid uhid hid-generic; do
  found=$(find "$kernel_dir" -name "$module.ko" -print -quit)
  [ -n "$found" ] || { echo "no $module.ko under $kernel_dir"; exit 1; }
  [ "$found" -ef "$out/modules/$module.ko" ] || cp "$found" "$out/modules/"
done
gcc -static -O2 -Wall -Wextra -Werror -o "$out/relay_board" "$here/relay_board.c"
gcc -static -O2 -Wall -Wextra -Werror -pthread -o "$out/ftdi_board" "$here/ftdi_board.c"

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: the GPIO relay tests need the gpio_relays module, and only root builds it"
  exit 0
fi
# The module must match the kernel exactly: its release comes from one of its modules.
release=$(strings "$out/modules/hid.ko" | sed -n 's/^vermagic=\([^ ]*\).*/\1/p')
headers="$out/headers"
kbuild="$headers/usr/src/linux-headers-$release"
if [ ! -f "$kbuild/.config" ]; then
  rm -rf "$headers" && mkdir -p "$headers"
  common=$(apt-cache depends "linux-headers-$release" 2>/dev/null | awk '/Depends: linux-headers-.*-common/ { print $2 }')
  tools=$(apt-cache depends "linux-headers-$release" 2>/dev/null | awk '/Depends: linux-kbuild-/ { print $2 }')
  [ -n "$common" ] && [ -n "$tools" ] || { echo "apt knows no linux-headers-$release"; exit 1; }
  (cd "$headers" && apt-get download "linux-headers-$release" "$common" "$tools" >/dev/null 2>&1) ||
    { echo "could not download the headers of $release"; exit 1; }
  for deb in "$headers"/*.deb; do dpkg -x "$deb" "$headers"; done
  rm "$headers"/*.deb
  # The headers name their common half by its installed path; their other links are relative.
  sed -i "s|^include /usr/src/|include $headers/usr/src/|" "$kbuild/Makefile"
fi
mkdir -p "$out/gpio_relays"
cp -u "$here/gpio_relays/gpio_relays.c" "$here/gpio_relays/Kbuild" "$out/gpio_relays/"
make -s -C "$kbuild" M="$out/gpio_relays" modules 2>&1 | { grep -v 'Skipping BTF generation' || true; }
strip --strip-debug -o "$out/modules/gpio_relays.ko" "$out/gpio_relays/gpio_relays.ko"
