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

result() { echo "GUEST $1 $2 $(cut -d" " -f1 /proc/uptime)"; }

clicks() { # TENVALIA_PORT, expected path
  TENVALIA_PORT=$1 EXPECT_PORT=$2 $app/port_clicks clicksReachTheDataLines
  result "clicks-$2" $?
}

# Starts copies of the program, lets them run, closes them with a signal in turn (SIGTERM unless
# said); a copy that hangs is killed after 20 s and counts as a failure.
close_with_sigterm() { # TENVALIA_PORT, name, copies[, signal]
  pids=""
  for _ in $(seq "$3"); do TENVALIA_PORT=$1 $app/tenvalia 2>>/tmp/$2.err & pids="$pids $!"; sleep 1; done
  sleep 2
  status=0
  for pid in $pids; do
    kill -"${4:-TERM}" "$pid"
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
kill -TERM $! && wait $!
result sigterm-direct $?
# Nothing at 0x378 reads back 0xff: the program must say so.
grep -q "E/S directa en 0x0378: se escribió 0x00 y se leyó 0xff" /tmp/direct.err
result direct-found-nothing $?
# The guardian, a program of its own, keeps direct I/O's permission.
TENVALIA_PORT=direct EXPECT_PORT=direct $app/port_clicks -nocrashhandler endsUnseenLeaveTheLinesOff >/tmp/direct.out 2>&1
result direct-killed-lights-off $?

echo "GUEST phase relay boards"
. $app/guest_relays.sh
relay_checks "$(grep -q tenvalia.boards=yes /proc/cmdline && echo yes)"
if grep -q tenvalia.boards=yes /proc/cmdline; then
  echo "GUEST phase FTDI boards"
  . $app/guest_ftdi.sh
  ftdi_checks
fi

for module in parport parport_pc ppdev; do insmod /lib/modules/$module.ko; done
for _ in $(seq 50); do [ -e /dev/parport0 ] && break; sleep 0.1; done

echo "GUEST phase ppdev"
clicks auto ppdev
close_with_sigterm auto sigterm-ppdev-two-copies 2
# The claim's timer takes no termination signal for itself: SIGRTMIN (34) closes the window too.
close_with_sigterm auto sigrtmin-ppdev 1 34
grep -q "se usa el primero que tiene el sistema, ppdev /dev/parport0 en 0x0278" /tmp/sigterm-ppdev-two-copies.err
result auto-took-the-card $?
TENVALIA_PORT=ppdev:/dev/parport0 EXPECT_PORT=ppdev port_clicks ppdev-ends endsUnseenLeaveTheLinesOff
result ppdev-killed-lights-off $?

# The person's port is the one at 0x378, shared with other programs; the PC with the card has
# none. Claims that meet a holder go to a port without an IRQ, which only the first PC has: when
# the kernel (6.1) hands a waiting claim the port, it lets interrupts in while holding the port's
# lock, and QEMU's port interrupts right then: the guest would freeze, whatever the program does.
echo "GUEST phase shared"
port_where() { # sysctl file, pattern: the device whose file matches
  for p in /proc/sys/dev/parport/parport*; do grep -q "$2" "$p/$1" && echo "/dev/${p##*/}"; done
}
person=$(port_where base-addr '^888[[:space:]]')
polled=$(port_where irq '^-1$')
shared_case() { # port_clicks's case, device
  TENVALIA_PORT=ppdev:$2 EXPECT_PORT=ppdev timeout 60 $app/port_clicks "$1"
}
shared_case aHeldPortIsABusyWrite "$person"
result port-held $?
shared_case aClaimThatMeetsAHolderLeavesNoClaim "$polled"
result claim-leaves-no-claim $?

# A deadlock would keep both copies until the timeout ends one of them.
export COPIES_MET=/tmp/copies-met
mkdir -p "$COPIES_MET"
shared_case twoCopiesTakeTurns "$polled" &
shared_case twoCopiesTakeTurns "$polled"
second=$?
wait $! && [ $second -eq 0 ]
result two-copies-take-turns $?

# Another program holds the person's port exclusively, and another port sits at 0x278: auto mode
# must refuse, and drive neither that port nor direct I/O. Two marks at 0x278 frame its run in
# QEMU's trace.
mark() { printf "\\x$1" | dd of=/dev/port bs=1 seek=$((0x278)) 2>/dev/null; }
mkfifo /tmp/release
shared_case holdThePort "$person" </tmp/release >/tmp/holder.out &
holder=$!
exec 3>/tmp/release
for _ in $(seq 50); do grep -qE 'holding|Totals' /tmp/holder.out && break; sleep 0.1; done
mark a5
$app/tenvalia 2>/tmp/auto-held.err &
for _ in $(seq 100); do grep -q tenvalia: /tmp/auto-held.err && break; sleep 0.1; done
kill -TERM $! && wait $!
mark 5a
exec 3>&-
wait $holder
cat /tmp/auto-held.err
grep -q "No se pudo usar el puerto paralelo en 0x0378 (/dev/parport0)" /tmp/auto-held.err &&
  ! grep -q "se usa el primero que tiene el sistema" /tmp/auto-held.err
result auto-refused-held-port $?

# The port's driver unbound and bound again under the window; last, the port goes for good.
pnp=$(grep -l 'io 0x378-' /sys/bus/pnp/drivers/parport_pc/*/resources | cut -d/ -f7)
PORT_PNP=$pnp shared_case aPpdevPortComesBack "$person"
result ppdev-comes-back $?
PORT_PNP=$pnp shared_case aGonePortIsAFailedWrite "$person"
result port-gone $?
echo "GUEST done"
poweroff -f
