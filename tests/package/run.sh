#!/usr/bin/env bash
# The Debian package, made by scripts/package.sh.
#   contents: lintian clean of errors and warnings, and what it installs valid by Debian's tools.
#   install:  installed with apt-get as a person would, started from /usr/bin under Xvfb, closed
#             with SIGTERM, then removed. Needs root or sudo without a password, and a machine with
#             no Tenvalia package of its own, which it must not change: skipped (77) otherwise.
# Usage: run.sh BUILD_DIR contents|install
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/xvfb.sh"
work=$(mktemp -d)
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; rm -rf "$work"' EXIT
app_pid="" xvfb_pid=""
fail() { echo "FAIL: $*"; exit 1; }
skip() { echo "SKIPPED: $*"; exit 77; }

# systemd's own check of the user units under ROOT (/ once installed), as the person's manager
# reads them: every key known, each command there, each manual page found. Unpacked elsewhere,
# the units are checked in copies that name the unpacked program, with man looking there. A
# manager needs a runtime folder, which root outside a login session has not: one of its own.
verify_units() { # ROOT [COPIES]
  local units=$1/usr/lib/systemd/user out
  [ -f "$units/tenvalia.service" ] && [ -f "$units/tenvalia-headless.service" ] || fail "no systemd user units in the package"
  if [ -n "${2:-}" ]; then
    mkdir -p "$2"
    for unit in "$units"/*.service; do sed "s|^ExecStart=/usr/bin/|ExecStart=$1/usr/bin/|" "$unit" >"$2/${unit##*/}"; done
    units=$2
  fi
  mkdir -m 700 -p "$work/runtime"
  out=$(XDG_RUNTIME_DIR=$work/runtime MANPATH=$1/usr/share/man systemd-analyze --user verify "$units"/*.service 2>&1) &&
    [ -z "$out" ] || fail "systemd-analyze --user verify: $out"
}

if [ "$2" = install ]; then
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo -n true 2>/dev/null || skip "installing a package needs root or sudo without a password"
    sudo=(sudo -n)
  fi
  ! dpkg-query -W -f='${Status}' tenvalia 2>/dev/null | grep -q installed ||
    skip "a Tenvalia package is installed here already, and a test must leave it as it is"
fi
deb=$(bash "$here/../../scripts/package.sh" "$1" 2>"$work/build.log") || { cat "$work/build.log"; fail "no package"; }

if [ "$2" = contents ]; then
  # libmosquitto1 from the MQTT module, which the program loads only when asked.
  depends=$(dpkg-deb -f "$deb" Depends)
  [[ $depends == *libqt6widgets6* && $depends == *libmosquitto1* ]] || fail "Depends lacks what dpkg-shlibdeps finds"
  lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian"
  dpkg-deb -x "$deb" "$work/root"
  share="$work/root/usr/share"
  desktop-file-validate "$share/applications/org.tenvalia.Tenvalia.desktop" || fail "desktop entry"
  appstreamcli validate --no-net --explain "$share/metainfo/org.tenvalia.Tenvalia.metainfo.xml" >"$work/appstream" ||
    { cat "$work/appstream"; fail "AppStream metainfo"; }
  for page in tenvalia tenvaliactl; do
    warnings=$(zcat "$share/man/man1/$page.1.gz" | LC_ALL=C.UTF-8 groff -man -ww -z -K utf8 2>&1)
    [ -z "$warnings" ] || fail "manual page $page: $warnings"
  done
  xmllint --noout "$share/dbus-1/interfaces/org.tenvalia.Tenvalia1.xml" || fail "D-Bus interface"
  verify_units "$work/root" "$work/units"
  read -r size type colours <<<"$(identify -format '%wx%h %[type] %k' "$share/icons/hicolor/32x32/apps/tenvalia.png")"
  [ "$size $type" = "32x32 PaletteAlpha" ] && [ "$colours" -le 16 ] || fail "the icon is not 32x32 in 16 colours"
  echo "package: $(basename "$deb") lintian-clean; desktop entry, AppStream metadata, manual pages, D-Bus interface, systemd user units and icon valid"
  exit 0
fi

DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "$deb" >/dev/null
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; "${sudo[@]}" apt-get remove -y -qq tenvalia >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
[ "$(man -w tenvalia)" = /usr/share/man/man1/tenvalia.1.gz ] || fail "man does not find the manual page"
verify_units /
start_xvfb "$work"
QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace" XDG_CONFIG_HOME="$work/config" /usr/bin/tenvalia >/dev/null 2>&1 &
app_pid=$!
wait_for_window >/dev/null || fail "no window"
for _ in $(seq 50); do pgrep -P "$app_pid" -x apagaluces >/dev/null && break; sleep 0.1; done # once shown
pgrep -P "$app_pid" -x apagaluces >/dev/null || fail "no guardian beside the installed program, where the package put it"
kill -TERM "$app_pid"
status=0
wait "$app_pid" || status=$?
app_pid=""
[ "$status" -eq 0 ] || fail "exit code $status after SIGTERM"
[ "$(cat "$work/trace")" = "$(printf '0x0378 0x0000\n0x0378 0x0000')" ] || fail "trace: $(cat "$work/trace")"
"${sudo[@]}" apt-get remove -y -qq tenvalia >/dev/null
[ ! -e /usr/bin/tenvalia ] || fail "still there after removal"
echo "package: $(basename "$deb") installed, ran from /usr/bin with its guardian, closed by SIGTERM with two writes of 0, removed"
