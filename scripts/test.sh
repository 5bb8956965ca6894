#!/usr/bin/env bash
# Sets up a machine (packages, Release build) and runs the whole test suite,
# then builds with AddressSanitizer + UndefinedBehaviorSanitizer and runs the
# suite again.
#
#   scripts/test.sh            both suites
#   KESTREL_SKIP_SANITIZE=1 scripts/test.sh   the Release suite only
#
# The shared photographs and models are passed to the tests through
# KESTREL_TEST_DATA and KESTREL_TEST_MODELS (default: ../shared beside the
# checkout); tests that need them skip with a message when they are absent.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
shared=${KESTREL_SHARED:-$here/../shared}
export KESTREL_TEST_DATA=${KESTREL_TEST_DATA:-$shared/photos}
export KESTREL_TEST_MODELS=${KESTREL_TEST_MODELS:-$shared/models}
jobs=$(nproc)

"$here/scripts/setup.sh" --build-dir "$here/build" --no-models

# The report check drives Debian's Chromium with playwright-core from npm.
if ! command -v chromium >/dev/null 2>&1; then
  sudo_cmd=(); [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq || true
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    chromium || echo "test: chromium could not be installed; the browser check will be skipped"
fi
(cd "$here/tests/browser" && npm ci --no-audit --no-fund --silent) ||
  echo "test: playwright-core could not be installed; the browser check will be skipped"

ctest --test-dir "$here/build" --output-on-failure -j "$jobs"

if [ "${KESTREL_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== sanitizer suite (ASan + UBSan)"
  "$here/scripts/setup.sh" --sanitize --build-dir "$here/build-asan" --no-models
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$here/build-asan" --output-on-failure -j "$jobs"
fi
