#!/usr/bin/env bash
# Installs what is missing, then builds warning-free and runs every test twice: in a normal
# build and under AddressSanitizer + UBSan.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" test

bash "$root/scripts/build.sh" build -DTENVALIA_WERROR=ON
bash "$root/scripts/build.sh" build-asan -DTENVALIA_WERROR=ON -DTENVALIA_SANITIZE=ON

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1
export LSAN_OPTIONS=suppressions="$root/tests/lsan.supp":print_suppressions=0

status=0
for dir in build build-asan; do
  echo "== tests in $dir"
  (cd "$root/$dir" && ctest --output-on-failure --timeout 300) || status=1
  # ctest names a skipped test but not why; the test's own words say.
  awk '/ Testing: / { name = $3 } /^SKIPPED: / { print "  " name ": " $0 }' "$root/$dir/Testing/Temporary/LastTest.log"
done
exit $status
