#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# kill -9 at random moments of labelled fixed- and auto-mode batch runs.
#
# Shows: a run killed at any moment (scanning, reserving the card number,
# writing photos, writing previews or reports) leaves the originals
# untouched; in its batch directory every non-hidden photo under photos/,
# filtered/ and review/ is byte-identical to what a clean run of the same
# mode writes, everything else is a hidden ".<UUID>.partial" file or a
# complete report or preview; the registry stays valid JSON of the right
# shape; and the next run of the same source gets the next re-run directory
# (…-卡1-重跑k) and completes with the clean run's output. Every sixth kill
# hits the first run of a new source (a hard-linked copy of the card), so the
# allocation of a new card number is killed too.
#
# Needs: the shared race-large photos and models, python3; no root.
# Takes: about 4 minutes for the default 60 kills (2 cores).
#
#   tests/reliability/kill_test.sh [KILLS_PER_MODE]      (default 30; seed: KILL_SEED, default 20261206)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
rel_need_photos

kills_per_mode=${1:-30}
seed=${KILL_SEED:-20261206}
bin=$(rel_batch)
label=断电演练
date=20260405

work=$(mktemp -d "$rel_tmp/kestrel-kill.XXXXXX")
running=""
cleanup() {
  if [ -n "$running" ]; then kill -9 "$running" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

card="$work/card"
rel_make_input "$card" 6
rel_hash_tree "$card" > "$work/originals.sha"
out="$work/out"
mkdir -p "$out"

# Milliseconds since the epoch.
now_ms() { date +%s%3N; }

# Reference outputs of clean runs, and how long a clean labelled run takes.
declare -A duration
for mode in fixed auto; do
  extra=(); [ "$mode" = auto ] && extra=("${rel_model_args[@]}")
  for r in 1 2; do
    "$bin" --input "$card" --output "$work/ref-$mode-$r" --mode "$mode" "${extra[@]}" \
      > "$work/ref.log" 2>&1 || { cat "$work/ref.log"; echo "reference run failed" >&2; exit 1; }
    python3 "$rel_check" manifest "$(rel_batch_dir "$work/ref.log")" > "$work/ref-$mode-$r.json"
  done
  if ! cmp -s "$work/ref-$mode-1.json" "$work/ref-$mode-2.json"; then
    rel_result "two clean $mode runs" 2 "outputs differ: the reference is not repeatable" FAIL
  fi
  cp "$work/ref-$mode-1.json" "$work/ref-$mode.json"
  start=$(now_ms)
  "$bin" --input "$card" --output "$out" --mode "$mode" --event "$label" --date "$date" "${extra[@]}" \
    > "$work/first.log" 2>&1
  duration[$mode]=$(( $(now_ms) - start ))
  python3 "$rel_check" manifest "$(rel_batch_dir "$work/first.log")" | cmp -s - "$work/ref-$mode.json" ||
    { echo "the first labelled $mode run differs from the reference" >&2; exit 1; }
  echo "clean $mode run: ${duration[$mode]} ms, $(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))))' "$work/ref-$mode.json") photos"
done

RANDOM=$seed
declare -A phases violations finished_early
violations[fixed]=0; violations[auto]=0; finished_early[fixed]=0; finished_early[auto]=0
next_runs=0; next_bad=0; rerun_names=0; new_numbers=0; lost_numbers=0
total=$((2 * kills_per_mode))

for i in $(seq 1 "$total"); do
  if [ $((i % 2)) -eq 1 ]; then mode=fixed; else mode=auto; fi
  extra=(); [ "$mode" = auto ] && extra=("${rel_model_args[@]}")
  src="$card"
  fresh=0
  if [ $((i % 6)) -eq 0 ]; then
    fresh=1
    src="$work/cards/new-$i"
    mkdir -p "$src"
    cp -al "$card/." "$src/"
  fi
  identity="folder:$(realpath "$src")"
  # Uniform over a clean run's length (the last one measured, so the spread
  # follows the machine's load); every fifth kill within the first 150 ms,
  # where the card number is reserved.
  span=${duration[$mode]}
  [ $((i % 5)) -eq 3 ] && span=150
  delay=$(( (RANDOM * 32768 + RANDOM) % span ))
  ls -A "$out" | sort > "$work/before"

  "$bin" --input "$src" --output "$out" --mode "$mode" --event "$label" --date "$date" "${extra[@]}" \
    > "$work/killed.log" 2>&1 &
  running=$!
  sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
  kill -9 "$running" 2>/dev/null || true
  status=0
  { wait "$running"; } 2>/dev/null || status=$?
  running=""

  problems=()
  [ "$status" -eq 0 ] && finished_early[$mode]=$((finished_early[$mode] + 1))
  if [ "$status" -ne 0 ] && [ "$status" -ne 137 ]; then problems+=("killed run ended with $(rel_status_text "$status")"); fi
  rel_hash_tree "$card" | cmp -s - "$work/originals.sha" || problems+=("originals changed")

  ls -A "$out" | sort > "$work/after"
  mapfile -t new_entries < <(comm -13 "$work/before" "$work/after")
  batch=""
  for entry in "${new_entries[@]}"; do
    if [[ "$entry" =~ ^\.[0-9A-F-]{36}\.partial$ ]]; then continue; fi
    if [ -z "$batch" ] && [ -d "$out/$entry" ] && [[ "$entry" == "$label-$date-卡"* ]]; then
      batch="$out/$entry"
    else
      problems+=("unexpected entry in the output root: $entry")
    fi
  done
  if ! python3 "$rel_check" registry "$out" > "$work/registry.txt"; then
    problems+=("registry: $(grep VIOLATION "$work/registry.txt" | head -3 | tr '\n' ' ')")
  fi
  registered=$(python3 -c '
import hashlib, json, sys
reg = json.load(open(sys.argv[1])) if sys.argv[1] else {}
print(1 if hashlib.sha256(sys.argv[3].encode()).hexdigest() in reg.get("cards", {}).get(sys.argv[2], {}) else 0)
' "$out/.sunying-batches.json" "$label-$date-卡" "$identity")
  phase="nothing created"
  if [ -n "$batch" ]; then
    if python3 "$rel_check" killed "$batch" "$work/ref-$mode.json" > "$work/killed.txt"; then
      phase=$(python3 -c 'import json,sys; print(json.loads(sys.stdin.readlines()[-1])["phase"])' < "$work/killed.txt")
    else
      phase="violations"
      while read -r line; do problems+=("$line"); done < <(grep VIOLATION "$work/killed.txt")
    fi
    if [ "$fresh" = 1 ] && [ "$registered" = 0 ]; then
      lost_numbers=$((lost_numbers + 1))
      phase="$phase (number not yet registered)"
    fi
  fi
  [ "$status" -eq 0 ] && phase="finished before the kill"
  key="$mode|${phase%% *}"
  phases[$key]=$(( ${phases[$key]:-0} + 1 ))

  # The next run of the same source: the expected directory, and a complete batch.
  kill_problems=${#problems[@]}
  expected=$(python3 "$rel_check" next-name "$out" "$label" "$date" "$identity")
  next_runs=$((next_runs + 1))
  start=$(now_ms)
  if "$bin" --input "$src" --output "$out" --mode "$mode" --event "$label" --date "$date" "${extra[@]}" \
    > "$work/next.log" 2>&1; then
    duration[$mode]=$(( $(now_ms) - start ))
    next=$(rel_batch_dir "$work/next.log")
    if [ "$next" != "$out/$expected" ]; then
      problems+=("next run went to $(basename "$next"), expected $expected")
    fi
    if [ "$fresh" = 0 ] && [[ "$next" != *-重跑* ]]; then problems+=("next run of a known card is no re-run: $next"); fi
    if [[ "$next" == *-重跑* ]]; then rerun_names=$((rerun_names + 1)); else new_numbers=$((new_numbers + 1)); fi
    python3 "$rel_check" manifest "$next" | cmp -s - "$work/ref-$mode.json" ||
      problems+=("next run's photos differ from the clean run")
    python3 "$rel_check" reports "$next" > "$work/next-reports.txt" || problems+=("next run's reports: $(grep VIOLATION "$work/next-reports.txt" | head -2 | tr '\n' ' ')")
    python3 "$rel_check" strays "$next" > /dev/null || problems+=("next run left hidden files")
    find "$next" -mindepth 1 -delete
  else
    problems+=("next run failed: $(tail -2 "$work/next.log" | tr '\n' ' ')")
  fi
  [ ${#problems[@]} -eq "$kill_problems" ] || next_bad=$((next_bad + 1))
  if [ -n "$batch" ]; then find "$batch" -mindepth 1 -delete; fi

  printf 'kill %2d %-5s after %4d ms: %-32s next: %s\n' "$i" "$mode" "$delay" "$phase" "${expected:-}"
  if [ "$kill_problems" -gt 0 ]; then violations[$mode]=$((violations[$mode] + 1)); fi
  if [ ${#problems[@]} -gt 0 ]; then
    printf '   FAULT: %s\n' "${problems[@]}"
    cp "$work/killed.log" "$rel_tmp/kestrel-kill-$i-killed.log" 2>/dev/null || true
  fi
done

rel_header
for mode in fixed auto; do
  summary=""
  for key in $(printf '%s\n' "${!phases[@]}" | sort); do
    [[ "$key" == "$mode|"* ]] || continue
    summary+="${key#*|}: ${phases[$key]}, "
  done
  verdict=PASS; [ "${violations[$mode]}" -eq 0 ] || verdict=FAIL
  rel_result "kill -9 during a labelled $mode run" "$kills_per_mode" \
    "${summary%, }; ${violations[$mode]} with faults" "$verdict"
done
verdict=PASS; [ "$next_bad" -eq 0 ] || verdict=FAIL
rel_result "run after a kill (same source)" "$next_runs" \
  "$rerun_names re-run dirs, $new_numbers new numbers ($lost_numbers killed before registering); $next_bad bad" "$verdict"
[ "$rel_failures" -eq 0 ]
