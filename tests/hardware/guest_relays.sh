# The relay boards' checks inside the guest; sourced by its /init, which defines result() and app.
# Expects /lib/modules/{hid,uhid,hid-generic,gpio_relays}.ko and $app/relay_board (see
# build_guest_extras.sh). Run before the parport drivers are loaded: direct I/O is then auto
# mode's only way to 0x378, and where nothing answers there, a board must take over.

# Plugs in a USB relay board: relay_board LOG [options]; waits for its /dev/hidraw0.
plug_relay_board() {
  $app/relay_board "$@" &
  relay_board_pid=$!
  for _ in $(seq 50); do [ -e /dev/hidraw0 ] && return 0; sleep 0.1; done
  return 1
}

# Unplugs it for good (SIGTERM closes /dev/uhid) and waits until its /dev/hidraw0 is gone.
unplug_relay_board() {
  kill -TERM "$relay_board_pid" && wait "$relay_board_pid"
  for _ in $(seq 50); do [ -e /dev/hidraw0 ] || return 0; sleep 0.1; done
  return 1
}

# The real program for a moment, then SIGTERM; its standard error in /tmp/NAME.err.
tenvalia_for_a_moment() { # NAME, TENVALIA_PORT
  TENVALIA_PORT=$2 $app/tenvalia 2>/tmp/$1.err &
  sleep 3
  kill -TERM $! && wait $!
}

# port_clicks with its output shown only when it fails; its crashes are its own cases' to handle.
port_clicks() { # NAME [CASE]; the environment says the rest
  $app/port_clicks -nocrashhandler "${2:-clicksReachTheDataLines}" >/tmp/$1.out 2>&1 || { cat /tmp/$1.out; return 1; }
}

# port_clicks in a case of its own that must say WORDS: clicking "Interior Exterior" fails; with
# "off", every line must be off afterwards.
fault() { # NAME, TENVALIA_PORT, WORDS [off]
  TENVALIA_PORT=$2 EXPECT_PORT=${2%%:*} FAULT_SAYS=$3 FAULT_ENDS=${4:-} port_clicks "$1" aFailingBoardIsToldOnce
  result "$1" $?
}

# The commands a board got, without the state requests.
commands() { grep -v '^GET' "$1" | tr '\n' ' '; }

# Every GPIO line's first level after the module was loaded: never on at the start.
first_levels() {
  dmesg | sed -n 's/.*gpio_relays: line \([0-7]\) -> \([01]\).*/\1 \2/p' |
    awk '!($1 in first) { first[$1] = $2 } END { for (i = 0; i < 8; i++) printf "%s", first[i] }'
}

relay_checks() { # yes where the PC has the boards
  for module in hid uhid hid-generic; do insmod /lib/modules/$module.ko; done
  # A second board, passed over, named by its ID; and taken by it.
  plug_relay_board /tmp/auto.log
  $app/relay_board /tmp/second.log -i TNV02 &
  second=$!
  for _ in $(seq 50); do [ -e /dev/hidraw1 ] && break; sleep 0.1; done
  tenvalia_for_a_moment auto-board ""
  [ "$1" = yes ] && tenvalia_for_a_moment hid-by-id hid:TNV02
  kill -TERM $second && wait $second
  unplug_relay_board
  grep -q "no hay un puerto paralelo en 0x0378; se usa la placa de relés /dev/hidraw0: USBRelay8, id «TNV01», 8 relés; \
quedan sin usar: /dev/hidraw1, id «TNV02» (TENVALIA_PORT=hid:TNV02)" /tmp/auto-board.err && [ -z "$(commands /tmp/auto.log)" ]
  result auto-took-the-board $?
  [ "$1" = yes ] || return 0
  grep -q "se usa la placa de relés /dev/hidraw1: USBRelay8, id «TNV02»" /tmp/hid-by-id.err
  result hid-by-id $?

  # Boards that go and come back, and one plugged in after an auto start that found nothing.
  RELAY_BOARD=$app/relay_board TENVALIA_PORT=hid:TNV01 EXPECT_PORT=hid port_clicks hid-comes-back aRelayBoardComesBack
  result hid-comes-back $?
  RELAY_BOARD=$app/relay_board TENVALIA_PORT= EXPECT_PORT=hid port_clicks auto-later aBoardPluggedInLater
  result auto-took-a-later-board $?

  plug_relay_board /tmp/hid.log
  TENVALIA_PORT=hid EXPECT_PORT=hid port_clicks clicks-hid
  result clicks-hid $?
  unplug_relay_board
  # Only what changes, offs before ons: 0x5a, 0, Cocina, Sala, Sala off, everything, close.
  expected="SET ff 02 SET ff 04 SET ff 05 SET ff 07 SET fd 02 SET fd 04 SET fd 05 SET fd 07 SET ff 02 SET fd 02 SET ff 05 SET fd 05 \
SET ff 01 SET ff 02 SET ff 03 SET ff 04 SET ff 05 SET ff 06 SET ff 07 SET ff 08 \
SET fd 01 SET fd 02 SET fd 03 SET fd 04 SET fd 05 SET fd 06 SET fd 07 SET fd 08 "
  [ "$(commands /tmp/hid.log)" = "$expected" ]
  result hid-exact-commands $?

  # A board of 4 relays: the lines above its last relay go nowhere.
  plug_relay_board /tmp/share.log -n 4
  TENVALIA_PORT=hid:/dev/hidraw0 EXPECT_PORT=hid RELAYS=4 port_clicks hid-two-copies twoCopiesShareABoard
  result hid-two-copies $?
  TENVALIA_PORT=hid EXPECT_PORT=hid RELAYS=4 port_clicks hid-ends endsUnseenLeaveTheLinesOff
  result hid-killed-lights-off $?
  unplug_relay_board
  plug_relay_board /tmp/stuck.log -s 3
  fault hid-stuck-relay hid "los relés de D2 no siguieron" off
  unplug_relay_board
  plug_relay_board /tmp/silent.log -q 4
  fault hid-silent-board hid "no respondió"
  unplug_relay_board
  plug_relay_board /tmp/unplug.log -u 4
  fault hid-unplugged hid "se desconectó"
  unplug_relay_board
  plug_relay_board /tmp/lookalike.log -p 05e0
  tenvalia_for_a_moment lookalike hid:/dev/hidraw0
  unplug_relay_board
  grep -q "se parece a una placa de relés USB pero no es de las que Tenvalia conoce" /tmp/lookalike.err &&
    [ ! -s /tmp/lookalike.log ]
  result hid-look-alike-refused $?

  [ -e /lib/modules/gpio_relays.ko ] || return 0 # only root builds it
  insmod /lib/modules/gpio_relays.ko
  for chip in /sys/bus/gpio/devices/gpiochip*; do
    grep -qx tenvalia-test "$chip"/gpio/gpiochip*/label 2>/dev/null && gpio=/dev/${chip##*/}
  done
  lines=$gpio:0,1,2,3,4,5,6,7
  dmesg -c >/dev/null
  TENVALIA_PORT=gpio:$lines EXPECT_PORT=gpio port_clicks clicks-gpio && [ "$(first_levels)" = 00000000 ]
  result clicks-gpio-never-on-at-start $?
  echo "first levels: $(first_levels)"
  dmesg -c >/dev/null
  TENVALIA_PORT=gpio:$lines:active-low EXPECT_PORT=gpio port_clicks clicks-gpio-low &&
    [ "$(first_levels)" = 11111111 ]
  result clicks-gpio-active-low-never-on-at-start $?
  TENVALIA_PORT=gpio:$lines $app/tenvalia 2>/dev/null &
  holder=$!
  sleep 2
  tenvalia_for_a_moment second-copy gpio:$lines
  kill -TERM $holder && wait $holder
  grep -q "están ocupadas: las tiene «tenvalia»" /tmp/second-copy.err
  result gpio-second-copy-refused $?
  TENVALIA_PORT=gpio:$lines EXPECT_PORT=gpio port_clicks gpio-ends endsUnseenLeaveTheLinesOff
  result gpio-killed-lights-off $?
  echo 2 >/sys/module/gpio_relays/parameters/stuck_line
  fault gpio-stuck-line "gpio:$lines" "las líneas de D2 no siguieron" off
}
