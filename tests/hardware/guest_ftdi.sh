# The FTDI boards' checks inside the guest; sourced by its /init after guest_relays.sh, whose
# helpers it uses. The guest is USB device and host at once: two emulated controllers (dummy_hcd),
# an FT232R serial adapter on bus 1 for the whole run and the FT245R relay board on bus 2, each a
# configfs gadget whose function is $app/ftdi_board through FunctionFS; ftdi_sio binds both.
gadgets=/sys/kernel/config/usb_gadget

gadget() { # NAME, PRODUCT, SERIAL
  g=$gadgets/$1
  mkdir -p "$g/strings/0x409" "$g/configs/c.1" "$g/functions/ffs.$1" "/dev/ffs-$1"
  echo 0x0403 >"$g/idVendor"; echo 0x6001 >"$g/idProduct"; echo 0x0600 >"$g/bcdDevice"
  echo "$2" >"$g/strings/0x409/product"; echo "$3" >"$g/strings/0x409/serialnumber"
  ln -s "$g/functions/ffs.$1" "$g/configs/c.1/"
  mount -t functionfs "$1" "/dev/ffs-$1"
}

bound() { [ -e "/sys/bus/usb/drivers/ftdi_sio/$1-1:1.0" ]; } # bus number

plug() { # NAME, BUS, LOG, emulator options
  name=$1 bus=$2
  shift 2
  $app/ftdi_board "/dev/ffs-$name" "$@" &
  board=$!
  for _ in $(seq 50); do grep -q READY "$1" 2>/dev/null && break; sleep 0.1; done
  echo "dummy_udc.$((bus - 1))" >"$gadgets/$name/UDC"
  for _ in $(seq 100); do bound "$bus" && return 0; sleep 0.1; done
  return 1
}

# The emulator's end takes the gadget off its controller; then the host lets the device go.
unplug() {
  kill "$board" 2>/dev/null; wait "$board" 2>/dev/null
  for _ in $(seq 50); do [ -e /sys/bus/usb/devices/2-1 ] && sleep 0.1; done
}

latches() { sed -n 's/^WRITE \(..\).*/\1/p' "$1" | tr '\n' ' '; }

ftdi_checks() {
  for module in usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_fs usbserial ftdi_sio; do
    insmod /lib/modules/$module.ko $([ $module = dummy_hcd ] && echo is_high_speed=0 num=2) # full speed, as the chip
  done
  mount -t configfs none /sys/kernel/config
  gadget ft232 "FT232R USB UART" TNVSER
  gadget ft245 "FT245R USB FIFO" TNVFT1
  plug ft232 1 /tmp/ft232.log
  adapter=$(cat /tmp/ft232.log)

  # A fresh chip's latch holds 0xff: the program's start must never drive it.
  plug ft245 2 /tmp/ftdi.log
  tenvalia_for_a_moment ftdi-start ftdi:TNVFT1:1,3,5,7
  echo "ftdi start: $(grep -E '^(MODE|WRITE)' /tmp/ftdi.log | tr '\n' ';')"
  grep -q MODE /tmp/ftdi.log && ! grep 'PINS' /tmp/ftdi.log | grep -qv 'PINS 00$'
  result ftdi-never-on-at-start $?
  bound 2
  result ftdi-given-back $?
  : >/tmp/ftdi.log
  TENVALIA_PORT=ftdi EXPECT_PORT=ftdi FTDI_LOG=/tmp/ftdi.log port_clicks clicks-ftdi
  result clicks-ftdi $?
  [ "$(latches /tmp/ftdi.log)" = "5a 00 00 02 10 00 ff 00 " ]
  result ftdi-exact-latches $?
  : >/tmp/ftdi.log
  TENVALIA_PORT=ftdi:TNVFT1:1,3,5,7 EXPECT_PORT=ftdi FTDI_LOG=/tmp/ftdi.log RELAYS=4 port_clicks clicks-ftdi-map &&
    [ "$(latches /tmp/ftdi.log)" = "88 00 00 08 00 00 aa 00 " ] && grep -q "D4, D5, D6, D7 no van a ninguna parte" /tmp/ftdi-start.err
  result clicks-ftdi-map $?
  TENVALIA_PORT=ftdi EXPECT_PORT=ftdi FTDI_LOG=/tmp/ftdi.log port_clicks ftdi-ends endsUnseenLeaveTheLinesOff
  result ftdi-killed-lights-off $?
  # Unbound from its controller and bound again: gone, and back with the window's value.
  GADGET_UDC=$gadgets/ft245/UDC UDC_NAME=dummy_udc.1 TENVALIA_PORT=ftdi:TNVFT1 EXPECT_PORT=ftdi FTDI_LOG=/tmp/ftdi.log \
    port_clicks ftdi-comes-back anFtdiBoardComesBack
  result ftdi-comes-back $?
  unplug

  plug ft245 2 /tmp/stuck.log -s 3
  fault ftdi-stuck-pin ftdi "los relés de D3 no siguieron" off
  unplug
  plug ft245 2 /tmp/unplug.log -u 1
  fault ftdi-unplugged ftdi "se desconectó"
  unplug

  # Through every run above, the adapter on bus 1 was asked nothing after ftdi_sio's own requests.
  [ "$(cat /tmp/ft232.log)" = "$adapter" ] && bound 1
  result ftdi-ft232r-left-alone $?
}
