#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get as a person would, validates what it put
# in place, starts the installed program under Xvfb and closes it with SIGTERM, then removes it.
# Usage: run.sh BUILD_DIR      (needs root, or sudo, to install)
set -euo pipefail
. "$(dirname "$0")/../../scripts/xvfb.sh"
build=$(realpath "$1")
work=$(mktemp -d)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo -n"
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; $sudo apt-get remove -y -qq tenvalia >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
app_pid="" xvfb_pid=""
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tenvalia_*_amd64.deb)
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libqt6widgets6* ]] || fail "Depends lacks what dpkg-shlibdeps finds: $depends"

DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$deb" >/dev/null
[ "$(dpkg-query -W -f='${Status}' tenvalia)" = "install ok installed" ] || fail "not installed"

desktop-file-validate /usr/share/applications/org.tenvalia.Tenvalia.desktop || fail "desktop entry"
appstreamcli validate --no-net --explain /usr/share/metainfo/org.tenvalia.Tenvalia.metainfo.xml >"$work/appstream" ||
  { cat "$work/appstream"; fail "AppStream metainfo"; }
[ "$(man -w tenvalia)" = /usr/share/man/man1/tenvalia.1 ] || fail "man page not found by man"
warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z -K utf8 /usr/share/man/man1/tenvalia.1 2>&1)
[ -z "$warnings" ] || fail "man page: $warnings"
[ "$(identify -format '%wx%h %[type]' /usr/share/icons/hicolor/32x32/apps/tenvalia.png)" = "32x32 PaletteAlpha" ] ||
  fail "32x32 icon is not a palette image"
[ "$(identify -format '%k' /usr/share/icons/hicolor/32x32/apps/tenvalia.png)" -le 16 ] || fail "icon has more than 16 colours"

start_xvfb "$work"
QT_QPA_PLATFORM=xcb TENVALIA_PORT="sim:$work/trace" /usr/bin/tenvalia >/dev/null 2>&1 &
app_pid=$!
wait_for_window >/dev/null || fail "no window"
kill -TERM "$app_pid"
status=0
wait "$app_pid" || status=$?
app_pid=""
[ "$status" -eq 0 ] || fail "exit code $status after SIGTERM"
[ "$(cat "$work/trace")" = "$(printf '0x0378 0x0000\n0x0378 0x0000')" ] || fail "trace: $(cat "$work/trace")"

$sudo apt-get remove -y -qq tenvalia >/dev/null
[ ! -e /usr/bin/tenvalia ] || fail "still there after removal"
echo "package: $(basename "$deb") installed, validated, ran from /usr/bin, closed by SIGTERM with two writes of 0, removed"
