#!/usr/bin/env bash
# Configures and builds into the given folder; extra arguments go to CMake.
# Usage: build.sh DIR [-DOPTION=VALUE ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$root/$dir" --parallel "$(nproc)"
