#!/usr/bin/env bash
# Configures and builds into the given folder (relative to the project's root, or absolute);
# extra arguments go to CMake. Everything is built, unless targets are named.
# Usage: build.sh DIR [-DOPTION=VALUE ...] [--target TARGET ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
options=() targets=()
while [ $# -gt 0 ]; do
  if [ "$1" = --target ]; then targets+=(--target "$2"); shift 2; else options+=("$1"); shift; fi
done
cd "$root"
# A build folder holding another user's files (root's, after a build as root) would fail later
# with CMake's or CPack's own puzzling words, or, for root, leave files its owner cannot replace.
stranger=$(find "$dir" ! -user "$(id -u)" -print -quit 2>/dev/null || true)
if [ -n "$stranger" ]; then
  echo "$dir holds files of $(stat -c %U "$stranger") ($stranger, for one), and this build runs as $(id -un)." >&2
  echo "Build it as $(stat -c %U "$stranger"), or remove it as them (rm -rf $dir), or name another folder." >&2
  exit 1
fi
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
cmake --build "$dir" --parallel "$(nproc)" "${targets[@]}"
