#!/usr/bin/env bash
# Proves the real port paths on QEMU's emulated ISA parallel port: boots a small Linux guest
# whose /init runs port_clicks (direct I/O, then auto mode picking ppdev, then the port held by
# another program, two copies at once, the port gone) and the real program closed by SIGTERM, and
# checks both what the guest saw and QEMU's own trace of the ports.
# Two PCs: one with its port at 0x378 and a second one at 0x278, and one whose only port sits at
# 0x278, as a PCI card's would. On the latter, everything that needs a port at 0x378 must fail,
# and auto mode must drive the port that is there.
# Usage: run.sh TENVALIA PORT_CLICKS WORKDIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
app=$(realpath "$1")
clicks=$(realpath "$2")
work=$(realpath -m "$3")
mkdir -p "$work"

# --- The guest's kernel: Debian's, downloaded and unpacked (never installed), kept in WORKDIR.
kernel="$work/kernel"
if [ ! -s "$kernel/vmlinux" ] || [ ! -s "$kernel/modules/ftdi_sio.ko" ]; then
  rm -rf "$kernel" && mkdir -p "$kernel"
  kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'; }
  package=$(kernel_package)
  if [ -z "$package" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "SKIPPED: apt knows no kernel package, and apt-get update needs root"; exit 77; }
    apt-get update -qq && package=$(kernel_package)
  fi
  [ -n "$package" ] || { echo "no kernel package behind linux-image-amd64"; exit 1; }
  (cd "$kernel" && apt-get download "$package" >/dev/null 2>&1) || { echo "could not download $package"; exit 1; }
  dpkg -x "$kernel"/*.deb "$kernel/root"
  # Booting the ELF inside the bzImage through its PVH entry skips seconds of decompression under TCG.
  bzimage=$(ls "$kernel"/root/boot/vmlinuz-*)
  offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$bzimage" | head -n1 | cut -d: -f1)
  tail -c +"$((offset + 1))" "$bzimage" | xz -dc >"$kernel/vmlinux" 2>/dev/null || true
  [ "$(head -c4 "$kernel/vmlinux" | od -An -c | tr -d ' ')" = '177ELF' ] || { echo "no ELF kernel in $bzimage"; exit 1; }
  mkdir -p "$kernel/modules"
  # The USB ones make the guest both an FTDI board (a gadget on dummy_hcd) and its host.
  for module in parport parport_pc ppdev hid uhid hid-generic \
    usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_fs usbserial ftdi_sio; do
    find "$kernel/root/lib/modules" -name "$module.ko" -exec cp {} "$kernel/modules/" \;
  done
  rm -rf "$kernel/root" "$kernel"/*.deb
fi

# --- The relay boards: the USB board's emulator, and the GPIO lines' module (root only).
extras=$("$here/build_guest_extras.sh" "$kernel/modules" "$kernel") || { echo "$extras"; exit 1; }
gpio_skipped=$(echo "$extras" | grep '^SKIPPED' || true)

# --- The guest's root: busybox, the two programs, their libraries, Qt's offscreen platform, a font.
root="$work/root"
rm -rf "$root" && mkdir -p "$root"/{bin,dev,proc,sys,tmp,opt/tenvalia,lib/modules,etc/fonts,usr/share/fonts}
cp /bin/busybox "$root/bin/busybox"
cp "$here/guest_init.sh" "$root/init"
cp "$kernel"/modules/*.ko "$root/lib/modules/"
cp "$app" "$(dirname "$app")/apagaluces" "$clicks" "$kernel/relay_board" "$kernel/ftdi_board" "$here/guest_relays.sh" "$here/guest_ftdi.sh" "$root/opt/tenvalia/"
plugin=$(find /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms -name libqoffscreen.so)
mkdir -p "$root$(dirname "$plugin")" && cp "$plugin" "$root$plugin"
for library in $(ldd "$app" "$clicks" "$plugin" | awk '$3 ~ /^\// { print $3 } $1 ~ /^\/.*[^:]$/ { print $1 }' | sort -u); do
  mkdir -p "$root$(dirname "$library")" && cp -L "$library" "$root$library"
done
cp /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf "$root/usr/share/fonts/"
echo '<fontconfig><dir>/usr/share/fonts</dir><cachedir>/tmp/fontconfig</cachedir></fontconfig>' >"$root/etc/fonts/fonts.conf"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"

# --- Boots: the PC with its port at 0x378, and the control without one.
boot() { # name, kernel arguments, extra QEMU arguments...
  local name=$1 arguments=$2
  shift 2
  rm -f "$work/$name".{console,trace}
  timeout 300 qemu-system-x86_64 -machine pc -m 1024 -nodefaults -display none -no-reboot \
    -kernel "$kernel/vmlinux" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 quiet $arguments" -serial "file:$work/$name.console" \
    -trace enable=parallel_ioport_write -trace enable=memory_region_ops_write -D "$work/$name.trace" "$@" || true
}

# Every write to a parallel port, in order: "base:offset:value", all in hex (base 378 or 278).
# Only QEMU's memory layer names the port's address, in the event just before the port's own.
port_writes() {
  awk '/memory_region_ops_write/ && /name .parallel./ {
         for (i = 1; i <= NF; i++) if ($i == "addr") base = substr($(i + 1), 3, 2) "8"
       }
       /parallel_ioport_write/ {
         for (i = 1; i <= NF; i++) { if ($i == "addr") a = $(i + 1); if ($i == "val") v = $(i + 1) }
         sub(/^0x0*/, "", a); sub(/^0x/, "", v); v = tolower(v); if (length(v) < 2) v = "0" v
         printf "%s:%d:%s ", base, a, v
       }' "$1"
}

# The writes to one port's data and status registers: "offset:value".
writes_at() { port_writes "$1" | tr ' ' '\n' | sed -n "s/^$2:\\([01]:\\)/\\1/p" | tr '\n' ' '; }

# Each phase's expected writes, back to back: port_clicks (0x5a first, which opening must clear),
# then the program closed by SIGTERM (twice in the ppdev phase: two copies). A 16-bit outw is two
# byte writes, its high byte 0 at offset 1; a ppdev write is one byte at offset 0.
direct_expected="0:5a 1:00 0:00 1:00 0:02 1:00 0:10 1:00 0:00 1:00 0:ff 1:00 0:00 1:00 0:00 1:00 0:00 1:00 "
ppdev_expected="0:5a 0:00 0:02 0:10 0:00 0:ff 0:00 0:00 0:00 0:00 0:00 "
# Each check, by where it must pass: on both PCs, only on the one with the card, only on the one
# with its port at 0x378 (which alone has the relay boards).
both="capabilities-dropped sigterm-direct clicks-ppdev sigterm-ppdev-two-copies sigrtmin-ppdev trace-ppdev
  ppdev-killed-lights-off"
card="direct-found-nothing auto-took-the-card auto-took-the-board"
port="clicks-direct trace-direct direct-killed-lights-off port-held claim-leaves-no-claim two-copies-take-turns auto-refused-held-port
  trace-held-port-untouched port-gone clicks-hid hid-exact-commands hid-two-copies hid-stuck-relay
  hid-killed-lights-off hid-silent-board hid-unplugged hid-look-alike-refused clicks-gpio-never-on-at-start
  clicks-gpio-active-low-never-on-at-start gpio-second-copy-refused gpio-killed-lights-off gpio-stuck-line hid-by-id
  clicks-ftdi ftdi-exact-latches ftdi-never-on-at-start ftdi-given-back clicks-ftdi-map ftdi-stuck-pin
  ftdi-unplugged ftdi-ft232r-left-alone ftdi-killed-lights-off hid-comes-back auto-took-a-later-board ftdi-comes-back
  ppdev-comes-back"
expectations=$(printf '%s pass pass\n' $both; printf '%s fail pass\n' $card; printf '%s pass fail\n' $port)
# Without the GPIO lines' module (only root builds it) their checks cannot run.
if [ -n "$gpio_skipped" ]; then
  echo "$gpio_skipped"
  expectations=$(echo "$expectations" | grep -v gpio)
fi

outcomes() { # name, base of its parport0 -> one line per check: "check pass|fail"
  local writes
  writes=$(writes_at "$work/$1.trace" 378)
  for test in $(echo "$expectations" | awk '$1 !~ /^trace-/ { print $1 }'); do
    grep -qE "^GUEST $test 0( |$)" "$work/$1.console" && echo "$test pass" || echo "$test fail"
  done
  [[ "$writes" == *"$direct_expected"* ]] && echo "trace-direct pass" || echo "trace-direct fail"
  [[ "$(writes_at "$work/$1.trace" "$2")" == *"$ppdev_expected"* ]] && echo "trace-ppdev pass" || echo "trace-ppdev fail"
  # Nothing reached either port between the marks at 0x278 that frame auto mode's run.
  [[ "$(port_writes "$work/$1.trace")" == *"278:0:a5 278:0:5a "* ]] &&
    echo "trace-held-port-untouched pass" || echo "trace-held-port-untouched fail"
}

started=$(date +%s)
# The guest finds ISA devices in the reverse of their order here: the port at 0x378 comes last to
# be parport0. Both are on IRQ 7, QEMU's default: the second one, parport1, works without (polled).
# Only the first PC has the relay boards; the second has one only while auto mode looks for one.
# The two PCs boot side by side: each emulator keeps one core busy.
boot port tenvalia.boards=yes -chardev null,id=lpt2 -device isa-parallel,chardev=lpt2,iobase=0x278,irq=7 \
  -chardev null,id=lpt -device isa-parallel,chardev=lpt,iobase=0x378,irq=7 &
boot card "" -chardev null,id=lpt -device isa-parallel,chardev=lpt,iobase=0x278,irq=7
wait
echo "two boots in $(( $(date +%s) - started )) s"

status=0
for pc in port:2:378 card:3:278; do
  IFS=: read -r name column base <<<"$pc"
  wrong=$(join <(echo "$expectations" | awk -v c="$column" 'NF { print $1, $c }' | sort) <(outcomes "$name" "$base" | sort) |
    awk '$2 != $3 { print "  " $1 " must " $2 " but did " $3 }')
  if [ -n "$wrong" ]; then
    status=1
    echo "$name:"; echo "$wrong"
    echo "--- console of the $name PC:"; cat "$work/$name.console"
    echo "--- writes QEMU saw:"; port_writes "$work/$name.trace"; echo
  else
    echo "$name: all $(echo "$expectations" | grep -c .) checks passed or failed as they must"
  fi
done
exit $status
