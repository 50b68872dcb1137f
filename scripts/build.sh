#!/usr/bin/env bash
# Configures and builds into the given folder (relative to the project's root, or absolute);
# extra arguments go to CMake.
# Usage: build.sh DIR [-DOPTION=VALUE ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cd "$root"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
