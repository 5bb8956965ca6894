#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The output disk fills up during a run.
#
# The output root is a size-limited tmpfs that is large enough for the
# run's free-space check (free ≥ 1.15 × input + 2 GiB). The run is held at
# its card-number lock (this script holds .sunying-batches.lock), which it
# takes right after the check; then a big file fills the tmpfs up to a
# chosen amount and the lock is released, so the disk fills at a known
# point of the run. Cases:
#   room for two photos and the reports (1 worker): the run ends (exit 0), the
#       four other photos fail with "No space left on device" in summary.json
#       and files.csv;
#   room for two photos only (1 worker): the reports cannot be written, the run
#       fails with a message that names the batch directory and the photos in it;
#   room for two and a half photos, 2 workers, fixed mode;
#   a filler writing at the same time as the run (2 workers, copy mode).
# Every case checks: exit 0 or 1 (never a crash); every file the summary calls
# delivered is there with its full content and no file is there that the
# summary calls failed (or, without reports, every file there is complete and
# the message counts them); no hidden temporary file is left.
#
# Needs: root (mount), about 2.2 GB of free memory for the tmpfs, the shared photos.
# Takes: about 15 seconds.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
rel_need_root
rel_need_photos
bin=$(rel_batch)

work=$(mktemp -d "$rel_tmp/kestrel-diskfull.XXXXXX")
mnt="$work/disk"
mkdir -p "$mnt"
running=""
filler_pid=""
cleanup() {
  [ -n "$running" ] && kill -9 "$running" 2>/dev/null || true
  [ -n "$filler_pid" ] && kill -9 "$filler_pid" 2>/dev/null || true
  if mountpoint -q "$mnt"; then umount "$mnt" 2>/dev/null || umount -l "$mnt"; fi
  rm -rf "$work"
}
trap cleanup EXIT

input="$work/card"
rel_make_input "$input" 6
rel_hash_tree "$input" > "$work/originals.sha"
# What clean runs write, to compare every photo left on the full disk with.
for mode in copy fixed; do
  "$bin" --input "$input" --output "$work/ref-$mode" --mode "$mode" > "$work/ref.log" 2>&1
  python3 "$rel_check" manifest "$(rel_batch_dir "$work/ref.log")" > "$work/ref-$mode.json"
done
# Photo sizes in the run's order (byte order of the paths), in 4 KiB pages.
mapfile -t sizes < <(cd "$input" && find . -type f -printf '%P\t%s\n' | LC_ALL=C sort | cut -f2)
pages() { echo $(( ($1 + 4095) / 4096 * 4096 )); }
total=0; for s in "${sizes[@]}"; do total=$((total + s)); done
required=$(python3 -c "print(int($total * 1.15) + 2147483648)")
size_mib=$(( required / 1048576 + 48 ))
mount -t tmpfs -o "size=${size_mib}m" kestrel-diskfull "$mnt"
free_bytes() {
  local blocks block
  read -r blocks block < <(stat -f -c '%a %S' "$mnt")
  echo $((blocks * block))
}
echo "input $total bytes; check needs $required; tmpfs ${size_mib} MiB, free $(free_bytes)"

# Waits until process $1 has the lock file open (it has passed the check and
# waits for the lock), at most 60 s.
wait_for_lock_open() {
  local pid=$1 i
  for i in $(seq 600); do
    if ls -l /proc/"$pid"/fd 2>/dev/null | grep -q 'sunying-batches.lock'; then return 0; fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# run_case NAME MODE WORKERS FILL
#   FILL = "leave BYTES": fill the disk so that BYTES stay free, then release the run;
#   FILL = "race BYTES": leave BYTES free, release the run and 0.2 s later
#          write a second filler until the disk is full.
run_case() {
  local name=$1 mode=$2 workers=$3 fill=$4
  local root="$mnt/out-$RANDOM$RANDOM" status=0 problems=() outcome
  rm -f "$mnt/filler" "$mnt/filler2"
  mkdir -p "$root"
  # The run must not inherit this descriptor: its own open of the lock file
  # is the sign that it has passed the free-space check.
  exec 8>"$root/.sunying-batches.lock"
  flock -x 8
  "$bin" --input "$input" --output "$root" --mode "$mode" --workers "$workers" \
    --event 满盘 --date 20260405 > "$work/run.out" 2> "$work/run.err" 8>&- &
  running=$!
  if ! wait_for_lock_open "$running"; then
    exec 8>&-
    { wait "$running"; } 2>/dev/null || true
    running=""
    rel_result "disk full: $name" 1 "run did not reach the lock: $(tail -1 "$work/run.err")" FAIL
    return
  fi
  local leave=${fill#* } avail
  avail=$(free_bytes)
  fallocate -l $(( avail - leave )) "$mnt/filler"
  echo "  $name: $(free_bytes) bytes left free for the run"
  flock -u 8; exec 8>&-
  if [ "${fill%% *}" = race ]; then
    (sleep 0.2; exec dd if=/dev/zero of="$mnt/filler2" bs=64K status=none 2>/dev/null) &
    filler_pid=$!
  fi
  { wait "$running"; } 2>/dev/null || status=$?
  running=""
  if [ -n "$filler_pid" ]; then wait "$filler_pid" 2>/dev/null || true; filler_pid=""; fi

  local batch
  batch=$(find "$root" -mindepth 1 -maxdepth 1 -type d -name '满盘-*' | head -1)
  rel_hash_tree "$input" | cmp -s - "$work/originals.sha" || problems+=("originals changed")
  if [ -z "$batch" ]; then
    problems+=("no batch directory ($(rel_status_text $status): $(tail -1 "$work/run.err"))")
  elif [ "$status" -eq 0 ]; then
    python3 "$rel_check" reports "$batch" > "$work/check.txt" || problems+=("$(grep VIOLATION "$work/check.txt" | head -2)")
    python3 "$rel_check" delivered "$batch" --ref "$work/ref-$mode.json" > "$work/check.txt" || problems+=("$(grep VIOLATION "$work/check.txt" | head -3)")
    local errors
    errors=$(python3 - "$batch" <<'EOF'
import csv, json, sys
s = json.load(open(sys.argv[1] + "/summary.json", encoding="utf-8"))
rows = list(csv.reader(open(sys.argv[1] + "/files.csv", encoding="utf-8", newline="")))[1:]
failed = [f for f in s["files"] if "error" in f]
bad = [f["error"] for f in failed if "No space left on device" not in f["error"]]
bad += [r[21] for r in rows if r[2] == "error" and "No space left on device" not in r[21]]
print(f"{len(s['files']) - len(failed)} delivered, {len(failed)} failed with ENOSPC" if not bad else "BAD " + " | ".join(bad[:2]))
EOF
)
    [[ "$errors" == BAD* ]] && problems+=("failure text: ${errors#BAD }")
    outcome="exit 0, reports written: $errors"
  elif [ "$status" -eq 1 ]; then
    local message photos_on_disk
    message=$(tail -1 "$work/run.err")
    photos_on_disk=$(find "$batch/photos" -type f ! -name '.*' 2>/dev/null | wc -l)
    # Every photo there is complete, as a clean run writes it.
    python3 "$rel_check" killed "$batch" "$work/ref-$mode.json" > "$work/check.txt" ||
      problems+=("$(grep VIOLATION "$work/check.txt" | head -3)")
    [[ "$message" == *"批次报告未能写出"* ]] || problems+=("unclear message: $message")
    [[ "$message" == *"No space left on device"* ]] || problems+=("message lacks the system text: $message")
    [[ "$message" == *"$batch"* ]] || problems+=("message does not name the batch directory")
    [[ "$message" == *"photos/ $photos_on_disk 张"* ]] || problems+=("message does not count the $photos_on_disk photos there: $message")
    echo "  message: $message"
    outcome="exit 1, no reports; message names $photos_on_disk photos in photos/"
  else
    problems+=("ended with $(rel_status_text "$status"): $(tail -2 "$work/run.err" | tr '\n' ' ')")
    outcome="$(rel_status_text "$status")"
  fi
  if [ -n "$batch" ]; then
    python3 "$rel_check" strays "$batch" > "$work/check.txt" || problems+=("$(grep VIOLATION "$work/check.txt" | head -3)")
  fi
  if find "$root" -maxdepth 1 -name '.*.partial' | grep -q .; then problems+=("temporary registry file left"); fi
  if [ ${#problems[@]} -eq 0 ]; then
    rel_result "disk full: $name" 1 "$outcome" PASS
  else
    printf '   FAULT: %s\n' "${problems[@]}"
    echo "   stderr: $(tail -1 "$work/run.err")"
    rel_result "disk full: $name" 1 "${outcome:-?}; ${#problems[@]} faults" FAIL
  fi
  rm -rf "$root" "$mnt/filler" "$mnt/filler2"
}

two=$(( $(pages "${sizes[0]}") + $(pages "${sizes[1]}") ))
# Room for the reports and previews (under 1 MiB with two photos) but for no
# further photo.
smallest_rest=$(printf '%s\n' "${sizes[@]:2}" | sort -n | head -1)
reports_room=$(( (smallest_rest - 262144) / 4096 * 4096 ))
rel_header
# The registry takes one page.
run_case "room for 2 photos + reports, copy" copy 1 "leave $(( two + 4096 + reports_room ))"
run_case "room for 2 photos, none for reports" copy 1 "leave $(( two + 4096 ))"
run_case "room for 2.5 photos, fixed, 2 workers" fixed 2 "leave $(( two + sizes[2] / 2 ))"
run_case "filler writing during the run, fixed, 2 workers" fixed 2 "race $(( 16 * 1048576 ))"
[ "$rel_failures" -eq 0 ]
