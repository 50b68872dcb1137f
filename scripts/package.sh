#!/usr/bin/env bash
# Installs what is missing, builds, and makes the Debian package; prints its path. Its maintainer
# is whoever builds it: DEBFULLNAME and DEBEMAIL, else the author of the commit built.
# Root builds in a folder of another user's as that user, so that the folder stays theirs.
# Usage: package.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
bash "$root/scripts/deps.sh" package >&2
cd "$root"

# Whoever owns the build folder (the project's folder, before there is one) builds in it.
owner=$(stat -c %U "$dir" 2>/dev/null || stat -c %U "$root")
if [ "$(id -u)" -eq 0 ] && [ "$owner" != root ]; then
  if [ "$owner" = UNKNOWN ]; then
    echo "$root belongs to a user this system does not know; building in it as root would leave files" >&2
    echo "its owner cannot replace. Name a build folder of root's own: bash scripts/package.sh /tmp/tenvalia-build" >&2
    exit 1
  fi
  echo "Building as $owner, whose folder this is; install the package as root afterwards." >&2
  exec runuser -u "$owner" -- bash "$root/scripts/package.sh" "$@"
fi

bash "$root/scripts/build.sh" "$dir" >&2
cd "$dir"
if ! grep -q 'CPACK_PACKAGE_CONTACT ".*@' CPackConfig.cmake; then
  echo "Who maintains this package? Set DEBFULLNAME and DEBEMAIL (name and e-mail address)." >&2
  # Say why the commit's author was not taken, in git's own words (a clone of another user's, say).
  why=$(git -C "$root" log -1 --format=%ae 2>&1 >/dev/null | head -n 3) || true
  [ -z "$why" ] || printf 'git could not name the author of the commit built:\n%s\n' "$why" >&2
  exit 1
fi
# CPack talks even when all goes well; its words matter only when it fails.
said=$(cpack -G DEB 2>&1) || { echo "$said" >&2; exit 1; }
# The build's own architecture (a cross build names it), else this machine's, as CPack has it.
arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' CPackConfig.cmake)
ls "$PWD"/tenvalia_*_"${arch:-$(dpkg --print-architecture)}".deb
