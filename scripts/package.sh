#!/usr/bin/env bash
# Installs what is missing, builds, and makes the Debian package; prints its path. Its maintainer
# is whoever builds it: DEBFULLNAME and DEBEMAIL, else the author of the commit built.
# Usage: package.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
bash "$root/scripts/deps.sh" package >&2
bash "$root/scripts/build.sh" "$dir" >&2
cd "$root" && cd "$dir"
grep -q 'CPACK_PACKAGE_CONTACT ".*@' CPackConfig.cmake ||
  { echo "Who maintains this package? Set DEBFULLNAME and DEBEMAIL (name and e-mail address)." >&2; exit 1; }
cpack -G DEB >/dev/null
# The build's own architecture (a cross build names it), else this machine's, as CPack has it.
arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' CPackConfig.cmake)
ls "$PWD"/tenvalia_*_"${arch:-$(dpkg --print-architecture)}".deb
