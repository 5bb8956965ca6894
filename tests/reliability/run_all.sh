#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every fault script of tests/reliability and prints one combined table.
# Not part of scripts/test.sh: it needs root, loop devices, FUSE, about 2.2 GB
# of memory for a tmpfs, and about 6.5 minutes (2 cores).
#
#   tests/reliability/run_all.sh [SCRIPT...]     (default: all, in the order below)
#
# Environment: KILLS_PER_MODE (default 30), KILL_SEED, CONCURRENCY_ROUNDS
# (default 5), FUZZ_SECONDS (default 60; 0 leaves the fuzzing out),
# RELIABILITY_LOGS (default /tmp/kestrel-reliability-logs) for each script's
# whole output. A script that exits 77 is listed as skipped. Exit status: 0
# when nothing failed.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
logs=${RELIABILITY_LOGS:-/tmp/kestrel-reliability-logs}
mkdir -p "$logs"
export RELIABILITY_TABLE="$logs/table.txt"
: > "$RELIABILITY_TABLE"

scripts=("$@")
[ ${#scripts[@]} -gt 0 ] || scripts=(kill_test disk_full permissions card_pulled concurrency hostile_names fuse fuzz)
failed=0
for name in "${scripts[@]}"; do
  name=${name%.sh}
  args=()
  case $name in
    kill_test) args=("${KILLS_PER_MODE:-30}") ;;
    concurrency) args=("${CONCURRENCY_ROUNDS:-5}") ;;
  esac
  start=$(date +%s)
  echo "== $name"
  status=0
  if [ "$name" = fuzz ]; then
    seconds=${FUZZ_SECONDS:-60}
    [ "$seconds" -gt 0 ] || continue
    "$root/scripts/fuzz_jpeg.sh" "$seconds" "${KESTREL_TEST_DATA:-$root/../shared/photos}" > "$logs/fuzz.log" 2>&1 || status=$?
    stats=$(awk '/stat::number_of_executed_units/{n=$2} /stat::average_exec_per_sec/{r=$2} /DONE/{c=$4} END{printf "%s execs, %s/s, cov %s", n, r, c}' "$logs/fuzz.log")
    case $status in
      0) line="no finding; $stats" verdict=PASS ;;
      77) line="skipped: $(tail -1 "$logs/fuzz.log")" verdict=SKIP ;;
      *) line="finding (status $status), see $logs/fuzz.log" verdict=FAIL ;;
    esac
    printf '%-44s | %5s | %-70s | %s\n' "libFuzzer on the codec layer (${seconds} s)" 1 "$line" "$verdict" >> "$RELIABILITY_TABLE"
  else
    "$here/$name.sh" "${args[@]}" > "$logs/$name.log" 2>&1 || status=$?
    if [ "$status" -eq 77 ]; then
      printf '%-44s | %5s | %-70s | %s\n' "$name" - "skipped: $(grep -m1 SKIP "$logs/$name.log")" SKIP >> "$RELIABILITY_TABLE"
    fi
  fi
  case $status in 0|77) ;; *) failed=$((failed + 1)) ;; esac
  grep '^RESULT' "$logs/$name.log" 2>/dev/null | grep -v '| fault ' || true
  grep 'FAULT:' "$logs/$name.log" 2>/dev/null | head -10 || true
  echo "   ($name: status $status, $(( $(date +%s) - start )) s, log $logs/$name.log)"
done

echo
echo "== reliability results"
printf '%-44s | %5s | %-70s | %s\n' fault runs outcome verdict
cat "$RELIABILITY_TABLE"
echo "$(grep -c '| PASS$' "$RELIABILITY_TABLE") passed, $(grep -c '| FAIL$' "$RELIABILITY_TABLE") failed, $(grep -c '| SKIP$' "$RELIABILITY_TABLE") skipped"
[ "$failed" -eq 0 ]
