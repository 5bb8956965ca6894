#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Four labelled batches of one event started at the same moment into one
# output root, from four different source folders.
#
# Two ways of starting them together, each repeated (default 5 times):
#   start line: the four processes wait on a shared lock that this script
#       holds, and are released at once;
#   lock held: as above, and this script also holds the card-number lock
#       (.sunying-batches.lock) until all four have opened it, so that all
#       four contend for the registry at the same instant.
# Passes when every round gives four directories <event>-<date>-卡1 … 卡4
# (no re-run directory, no number twice, none lost), a valid registry with
# exactly four entries, each the SHA-256 of "folder:" + the source's path and
# each pointing at the number of the directory that source's run got, and
# four complete batches.
#
# Needs: the shared photos; no root. Takes: about 20 seconds.
#
#   tests/reliability/concurrency.sh [ROUNDS]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
rel_need_photos
bin=$(rel_batch)
rounds=${1:-5}
label=同时开跑
date=20260405

work=$(mktemp -d "$rel_tmp/kestrel-conc.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Four sources of two photos each.
photos=("$rel_photos"/race-large/*.JPG)
for c in 1 2 3 4; do
  mkdir -p "$work/card$c"
  cp "${photos[$((2 * c - 2))]}" "${photos[$((2 * c - 1))]}" "$work/card$c/"
done

# How many other processes have the file $1 open (the runs are children of
# the flock commands, so all processes are looked at).
openers() {
  find /proc/[0-9]*/fd -lname "$1" 2>/dev/null | grep -vc "^/proc/$$/" || true
}

# One round: four runs released together; prints problems, returns non-zero on any.
round() { # ROOT HOLD_REGISTRY_LOCK
  local root=$1 hold=$2 gate="$work/gate" i c status problems=()
  mkdir -p "$root"
  : > "$gate"
  exec 7>"$gate"
  flock -x 7
  if [ "$hold" = 1 ]; then
    exec 8>"$root/.sunying-batches.lock"
    flock -x 8
  fi
  pids=()
  for c in 1 2 3 4; do
    flock -s "$gate" "$bin" --input "$work/card$c" --output "$root" --mode copy \
      --event "$label" --date "$date" > "$work/run$c.out" 2> "$work/run$c.err" 7>&- 8>&- &
    pids+=($!)
  done
  # All four wait at the gate: release them together.
  for i in $(seq 200); do
    [ "$(grep -cE "FLOCK.*:$(stat -c %i "$gate") " /proc/locks 2>/dev/null || true)" -ge 5 ] && break
    sleep 0.01
  done
  flock -u 7
  exec 7>&-
  if [ "$hold" = 1 ]; then
    local reached=0
    for i in $(seq 3000); do
      n=$(openers "$root/.sunying-batches.lock")
      if [ "$n" -ge 4 ]; then reached=1; break; fi
      sleep 0.01
    done
    [ "$reached" = 1 ] || problems+=("only $n of four reached the lock in 30 s")
    flock -u 8
    exec 8>&-
  fi
  for c in 1 2 3 4; do
    status=0
    wait "${pids[$((c - 1))]}" || status=$?
    [ "$status" -eq 0 ] || problems+=("run $c: $(rel_status_text $status): $(tail -1 "$work/run$c.err")")
  done
  pids=()
  python3 - "$root" "$label-$date-卡" "$work" <<'EOF' || problems+=("see above")
import hashlib, json, os, sys
root, prefix, work = sys.argv[1:]
bad = []
dirs = sorted(d for d in os.listdir(root) if not d.startswith("."))
if dirs != [f"{prefix}{n}" for n in (1, 2, 3, 4)]:
    bad.append(f"directories {dirs}")
reg = json.load(open(os.path.join(root, ".sunying-batches.json"), encoding="utf-8"))
if set(reg) != {"cards", "schema"} or reg["schema"] != 1 or set(reg["cards"]) != {prefix}:
    bad.append(f"registry shape {reg}")
entries = reg["cards"].get(prefix, {})
if sorted(entries.values()) != [1, 2, 3, 4]:
    bad.append(f"registry numbers {sorted(entries.values())}")
for c in (1, 2, 3, 4):
    out = open(f"{work}/run{c}.out", encoding="utf-8").read()
    batch = [l.split("：", 1)[1] for l in out.splitlines() if l.startswith("批次目录：")]
    source = os.path.realpath(f"{work}/card{c}")
    digest = hashlib.sha256(f"folder:{source}".encode()).hexdigest()
    if not batch:
        bad.append(f"run {c} printed no batch directory")
        continue
    number = int(batch[0].rsplit("卡", 1)[1])
    if entries.get(digest) != number:
        bad.append(f"card{c} got 卡{number} but the registry says {entries.get(digest)}")
    summary = json.load(open(os.path.join(batch[0], "summary.json"), encoding="utf-8"))
    if summary["processed"] != 2 or summary["failed"] != 0:
        bad.append(f"run {c} processed {summary['processed']}, failed {summary['failed']}")
for text in bad:
    print("   FAULT: " + text)
sys.exit(1 if bad else 0)
EOF
  if [ ${#problems[@]} -gt 0 ]; then
    printf '   FAULT: %s\n' "${problems[@]}"
    return 1
  fi
}

rel_header
for hold in 0 1; do
  good=0
  for r in $(seq "$rounds"); do
    if round "$work/out-$hold-$r" "$hold"; then good=$((good + 1)); fi
    rm -rf "$work/out-$hold-$r"
  done
  name="4 labelled runs released at once"
  [ "$hold" = 1 ] && name="4 labelled runs released at the card lock"
  rel_result "$name" "$rounds" "$good of $rounds rounds: 卡1–卡4, registry of 4, 4 complete batches" \
    "$([ "$good" -eq "$rounds" ] && echo PASS || echo FAIL)"
done
[ "$rel_failures" -eq 0 ]
