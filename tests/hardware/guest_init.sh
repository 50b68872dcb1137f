#!/bin/busybox sh
# /init of the emulated PC: runs the port tests, first by direct I/O at 0x378, then (once the
# parport drivers are loaded) in auto mode, which must pick ppdev, wherever the port lies. Each
# result is a line "GUEST name status" on the serial console; which must pass depends on the PC.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
export PATH=/bin QT_QPA_PLATFORM=offscreen FONTCONFIG_FILE=/etc/fonts/fonts.conf HOME=/tmp XDG_RUNTIME_DIR=/tmp LANG=C.UTF-8
app=/opt/tenvalia

result() { echo "GUEST $1 $2"; }

clicks() { # TENVALIA_PORT, expected path
  TENVALIA_PORT=$1 EXPECT_PORT=$2 $app/port_clicks
  result "clicks-$2" $?
}

# Starts copies of the program, lets them run, closes them with SIGTERM in turn; a copy that
# hangs is killed after 20 s and counts as a failure.
close_with_sigterm() { # TENVALIA_PORT, name, copies
  pids=""
  for _ in $(seq "$3"); do TENVALIA_PORT=$1 $app/tenvalia 2>>/tmp/$2.err & pids="$pids $!"; sleep 1; done
  sleep 2
  status=0
  for pid in $pids; do
    kill -TERM "$pid"
    (sleep 20; kill -KILL "$pid" 2>/dev/null) &
    watchdog=$!
    wait "$pid" || status=$?
    kill "$watchdog" 2>/dev/null
  done
  result "$2" "$status"
}

# Every thread of the running program has given up its capabilities (root's, here).
capabilities_dropped() { # pid
  for task in /proc/"$1"/task/*; do
    grep -qE '^CapPrm:[[:space:]]+0+$' "$task/status" && grep -qE '^CapEff:[[:space:]]+0+$' "$task/status" || return 1
  done
}

echo "GUEST phase direct"
clicks direct direct
TENVALIA_PORT=direct $app/tenvalia 2>/tmp/direct.err &
sleep 3
capabilities_dropped $!
result capabilities-dropped $?
kill -TERM $!
wait $!
# Nothing at 0x378 reads back 0xff: the program must say so.
grep -q "E/S directa en 0x0378: se escribió 0x00 y se leyó 0xff" /tmp/direct.err
result direct-found-nothing $?
close_with_sigterm direct sigterm-direct 1

for module in parport parport_pc ppdev; do insmod /lib/modules/$module.ko; done
for _ in $(seq 50); do [ -e /dev/parport0 ] && break; sleep 0.1; done

echo "GUEST phase ppdev"
clicks auto ppdev
close_with_sigterm auto sigterm-ppdev-two-copies 2
grep -q "se usa el primero que tiene el sistema, ppdev /dev/parport0 en 0x0278" /tmp/sigterm-ppdev-two-copies.err
result auto-took-the-card $?
echo "GUEST done"
poweroff -f
