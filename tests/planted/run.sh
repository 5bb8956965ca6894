#!/usr/bin/env bash
# Planted faults: each *.patch here is a small, plausible bug. This script
# applies one at a time to the working tree, builds, runs the test suite and
# reports whether any test failed (caught) or none did (missed), then takes
# the patch back out. A suite that still catches every planted fault has not
# lost its power when tests are merged or removed.
#
#   tests/planted/run.sh [--build-dir DIR] [PATCH ...]   (default: every patch)
#
# Uses the shared photographs and models like scripts/test.sh. Builds in
# build-planted/ (Release) unless told otherwise. Prints one line per fault
# and a total; exits 1 when a fault was missed.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build="$here/build-planted"
if [ "${1:-}" = --build-dir ]; then build=$2; shift 2; fi
shared=${KESTREL_SHARED:-$here/../shared}
export KESTREL_TEST_DATA=${KESTREL_TEST_DATA:-$shared/photos}
export KESTREL_TEST_MODELS=${KESTREL_TEST_MODELS:-$shared/models}

patches=("$@")
[ ${#patches[@]} -gt 0 ] || patches=("$here"/tests/planted/*.patch)

cd "$here"
applied=""
cleanup() { [ -n "$applied" ] && git apply -R "$applied"; applied=""; }
trap cleanup EXIT INT TERM

[ -f "$build/build.ninja" ] ||
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_BENCH=OFF >/dev/null

caught=0
missed=0
for patch in "${patches[@]}"; do
  name=$(basename "$patch" .patch)
  if ! git apply "$patch" 2>/dev/null; then
    printf '%-45s %s\n' "$name" "DOES NOT APPLY (regenerate it against the current code)"
    missed=$((missed + 1))
    continue
  fi
  applied=$patch
  if ! cmake --build "$build" >/dev/null 2>&1; then
    verdict="caught  (does not build)"
  else
    log=$(ctest --test-dir "$build" -j "$(nproc)" -E '^(browser|source)\.' --timeout 600 2>&1 || true)
    failing=$(printf '%s\n' "$log" | sed -n '/tests FAILED:/,$p' | grep -E '^[[:space:]]+[0-9]+ - ' |
              sed -E 's/^[[:space:]]+[0-9]+ - ([^ ]+).*/\1/' | head -n 3 | paste -sd ' ' - || true)
    if [ -n "$failing" ]; then
      verdict="caught  by $failing"
    else
      verdict="MISSED"
    fi
  fi
  cleanup
  case "$verdict" in MISSED) missed=$((missed + 1)) ;; *) caught=$((caught + 1)) ;; esac
  printf '%-45s %s\n' "$name" "$verdict"
done
cmake --build "$build" >/dev/null 2>&1 || true
echo "caught $caught of $((caught + missed))"
[ "$missed" -eq 0 ]
