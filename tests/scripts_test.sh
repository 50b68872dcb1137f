#!/usr/bin/env bash
# The project's own scripts, where a newcomer meets them: what a person without root is told to
# install, and a build folder never left holding files its owner cannot replace. The heavy steps
# (apt-get, CMake, CPack) are stood in for by small commands on PATH; the scripts are the real ones.
# Usage: scripts_test.sh
set -euo pipefail
scripts=$(cd "$(dirname "$0")/../scripts" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
stub() { # NAME BODY: a command on $work/bin
  mkdir -p "$work/bin"
  printf '#!/bin/bash\n%s\n' "$2" >"$work/bin/$1"
  chmod 755 "$work/bin/$1"
}

# Without root or sudo, one command must install what every script needs, not only this one's.
stub id 'echo 1000'
stub dpkg 'echo amd64'
stub dpkg-query 'exit 1'
ln -s "$(command -v grep)" "$work/bin/grep"
! PATH="$work/bin" /bin/bash "$scripts/deps.sh" 2>"$work/said" || fail "deps.sh without root went on"
command=$(grep 'apt-get install' "$work/said") || fail "deps.sh gave no command: $(cat "$work/said")"
for p in g++ dpkg-dev lintian xvfb qemu-system-x86; do
  [[ " $command " == *" $p "* ]] || fail "the one command lacks $p: $command"
done
echo "deps.sh: without root, one command for everything"
rm -rf "$work/bin"

# run.sh builds what it starts (the program brings its guardian and MQTT module), not the tests
# nor the benchmark; with no display it builds, says so and stops.
mkdir -p "$work/run/scripts" && cp "$scripts/run.sh" "$scripts/build.sh" "$work/run/scripts/"
echo 'exit 0' >"$work/run/scripts/deps.sh"
stub cmake "echo \"\$*\" >>$work/cmake.log"
! (unset DISPLAY WAYLAND_DISPLAY; PATH="$work/bin:$PATH" bash "$work/run/scripts/run.sh" 2>/dev/null) &&
  [ "$(grep -- --build "$work/cmake.log")" = "--build build --parallel $(nproc) --target tenvalia" ] ||
  fail "run.sh built: $(grep -- --build "$work/cmake.log")"
echo "run.sh: builds the program alone"
rm -rf "$work/bin"

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: the build-folder checks need root, to own files as another user (nobody)"
  exit 0
fi
chmod 755 "$work"

# A build folder holding another user's file is refused before CMake touches it.
mkdir "$work/mixed"
touch "$work/mixed/theirs"
chown nobody "$work/mixed/theirs"
! bash "$scripts/build.sh" "$work/mixed" 2>"$work/said" && grep -q 'holds files of nobody' "$work/said" ||
  fail "build.sh in a mixed folder: $(cat "$work/said")"
[ ! -e "$work/mixed/CMakeCache.txt" ] || fail "build.sh configured a folder holding another user's files"

# Root's package.sh in another user's project builds as that user: the build folder stays theirs.
project() { # DIR CONTACT: the real package.sh beside stand-ins for deps.sh and build.sh
  mkdir -p "$1/scripts"
  cp "$scripts/package.sh" "$1/scripts/"
  echo 'exit 0' >"$1/scripts/deps.sh"
  printf 'mkdir -p "$1"; echo "set(CPACK_PACKAGE_CONTACT \\"%s\\")" >"$1/CPackConfig.cmake"\n' "$2" \
    >"$1/scripts/build.sh"
}
stub cpack 'touch tenvalia_1.0.0_amd64.deb'
project "$work/theirs" "Ana <ana@example.org>"
chown -R nobody "$work/theirs"
deb=$(PATH="$work/bin:$PATH" bash "$work/theirs/scripts/package.sh" 2>"$work/said") ||
  fail "package.sh as root in another's folder: $(cat "$work/said")"
[ "$deb" = "$work/theirs/build/tenvalia_1.0.0_amd64.deb" ] || fail "package.sh printed $deb"
owners=$(find "$work/theirs/build" -printf '%u\n' | sort -u)
[ "$owners" = nobody ] || fail "the build folder holds files of: $owners"

# With no maintainer to be had, git's own reason is said: here, a repository of another user's.
if command -v git >/dev/null; then
  project "$work/clone" ""
  git -C "$work/clone" init -q
  mkdir "$work/clone/build"
  chown nobody "$work/clone" "$work/clone/.git"
  ! (unset DEBEMAIL; bash "$work/clone/scripts/package.sh" 2>"$work/said") &&
    grep -q 'Set DEBFULLNAME and DEBEMAIL' "$work/said" && grep -q 'dubious ownership' "$work/said" ||
    fail "package.sh without a maintainer said: $(cat "$work/said")"
fi
echo "build.sh and package.sh: another user's folder left theirs, git's reason said"
