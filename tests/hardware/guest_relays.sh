# The emulated relay boards inside the guest; sourced by its /init, which defines result().
# Expects in the guest: /lib/modules/{hid,uhid,hid-generic,gpio_relays}.ko and
# /opt/tenvalia/relay_board (see build_guest_extras.sh).

# Plugs in a USB relay board: relay_board LOG [options]; waits for its /dev/hidraw0.
plug_relay_board() {
  /opt/tenvalia/relay_board "$@" &
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

# Loads the GPIO relay lines (module parameters, e.g. stuck_line=2) and prints their
# /dev/gpiochipN; every level given to a line is in dmesg as "gpio_relays: line N -> L".
load_gpio_relays() {
  insmod /lib/modules/gpio_relays.ko "$@" || return 1
  for chip in /sys/bus/gpio/devices/gpiochip*; do
    grep -qx tenvalia-test "$chip"/gpio/gpiochip*/label 2>/dev/null && echo "/dev/${chip##*/}" && return 0
  done
  return 1
}

# The boards are there and look like the real ones to anyone who asks the kernel.
relays_smoke() {
  for module in hid uhid hid-generic; do insmod /lib/modules/$module.ko; done
  plug_relay_board /tmp/relay_board.log &&
    grep -qx 'HID_ID=0003:000016C0:000005DF' /sys/class/hidraw/hidraw0/device/uevent &&
    grep -qx 'HID_NAME=www.dcttech.com USBRelay8' /sys/class/hidraw/hidraw0/device/uevent
  result relay-board-present $?
  unplug_relay_board
  result relay-board-unplugged $?
  gpio_chip=$(load_gpio_relays) && [ -c "$gpio_chip" ]
  result gpio-relays-present $?
}
