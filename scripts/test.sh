#!/usr/bin/env bash
# Sets up a machine (packages, Release build) and runs the whole test suite,
# then builds with AddressSanitizer + UndefinedBehaviorSanitizer and runs the
# suite again.
#
#   scripts/test.sh            both suites
#   KESTREL_SKIP_SANITIZE=1 scripts/test.sh   the Release suite only
#   KESTREL_FUZZ_SECONDS=N scripts/test.sh   fuzz the JPEG codec layer for N s
#                                            (default 90; 0 leaves the fuzzing out)
#
# Between the two suites the codec layer is fuzzed for a fixed time
# (scripts/fuzz_jpeg.sh, clang + libFuzzer); without clang that step is
# skipped with a message. A finding fails the run; the input is kept in
# build-fuzz/artifacts/.
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

fuzz_seconds=${KESTREL_FUZZ_SECONDS:-90}
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzzing the JPEG codec layer (${fuzz_seconds} s)"
  fuzz_status=0
  "$here/scripts/fuzz_jpeg.sh" "$fuzz_seconds" "$KESTREL_TEST_DATA" > "$here/build/fuzz.log" 2>&1 ||
    fuzz_status=$?
  grep -E '^fuzz_jpeg:|^#[0-9]+[[:space:]]+DONE|^Done|stat::number_of_executed_units|stat::average_exec_per_sec|==ERROR|^artifact_prefix|Test unit written' \
    "$here/build/fuzz.log" || true
  case $fuzz_status in
    0) echo "fuzz: no finding (log: build/fuzz.log)" ;;
    77) echo "fuzz: skipped — $(tail -1 "$here/build/fuzz.log")" ;;
    *) echo "fuzz: FAILED (status $fuzz_status); see build/fuzz.log"; tail -60 "$here/build/fuzz.log"; exit 1 ;;
  esac
fi

if [ "${KESTREL_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== sanitizer suite (ASan + UBSan)"
  "$here/scripts/setup.sh" --sanitize --build-dir "$here/build-asan" --no-models
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS="suppressions=$here/tests/lsan_suppressions.txt" \
    ctest --test-dir "$here/build-asan" --output-on-failure -j "$jobs"
fi
