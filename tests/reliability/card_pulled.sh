#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A camera card pulled during a run, and an output disk that goes away.
#
# Card: the input is a loop-mounted ext4 image with DCIM/100CANON and
# DCIM/101CANON (the 14 race-large photos in each, 28 files). A fixed-mode run
# starts and, once 5 files are done, the card is unmounted lazily
# (umount -l, what the desktop does when a card is pulled). Passes when the
# run ends with exit 0 and its reports; every file is in the summary; the
# photos finished before the pull are delivered, byte-identical to a run on
# the mounted card; the files not yet read failed with the system's text; and
# the loop device is released afterwards.
#
# Output disk: the output root is on a loop-mounted ext4 image (3 GiB, sparse:
# the free-space check wants 2 GiB spare) that is unmounted lazily after the
# first photo, its mount point staying behind as an empty folder. Passes
# when the photos that could no longer be written fail clearly and nothing
# is written into the empty mount point folder (that is, onto the disk that
# holds the mount point).
#
# Needs: root, loop devices (losetup, mkfs.ext4), the shared photos.
# Takes: about 15 seconds.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
rel_need_root
rel_need_photos
bin=$(rel_batch)
if ! losetup -f >/dev/null 2>&1; then
  echo "SKIP: no free loop device" >&2
  exit 77
fi

work=$(mktemp -d "$rel_tmp/kestrel-card.XXXXXX")
card="$work/card"
disk="$work/disk"
mkdir -p "$card" "$disk"
running=""
cleanup() {
  [ -n "$running" ] && kill -9 "$running" 2>/dev/null || true
  for m in "$card" "$disk"; do
    if mountpoint -q "$m"; then umount "$m" 2>/dev/null || umount -l "$m"; fi
  done
  for image in "$work/card.img" "$work/disk.img"; do
    losetup -j "$image" 2>/dev/null | cut -d: -f1 | while read -r dev; do losetup -d "$dev" || true; done
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits until the run's stderr shows N finished files ("[N/TOTAL] …").
wait_for_progress() { # PID N LOG
  local i
  for i in $(seq 1500); do
    if grep -q "^\[$2/" "$3" 2>/dev/null; then return 0; fi
    kill -0 "$1" 2>/dev/null || return 1
    sleep 0.01
  done
  return 1
}

loop_released() { # IMAGE — true when no loop device is left on it
  local i
  for i in $(seq 50); do
    [ -z "$(losetup -j "$1")" ] && return 0
    sleep 0.1
  done
  return 1
}

rel_header

# --- the card
truncate -s 512M "$work/card.img"
mkfs.ext4 -q -F -L EOS_DIGITAL "$work/card.img"
mount -o loop "$work/card.img" "$card"
mkdir -p "$card/DCIM/100CANON" "$card/DCIM/101CANON"
cp "$rel_photos"/race-large/*.[Jj][Pp][Gg] "$card/DCIM/100CANON/"
cp "$rel_photos"/race-large/*.[Jj][Pp][Gg] "$card/DCIM/101CANON/"
total=$(find "$card/DCIM" -type f | wc -l)
sync
# The reference: a run on the mounted card.
"$bin" --input "$card/DCIM" --output "$work/ref" --mode fixed > "$work/ref.log" 2>&1
python3 "$rel_check" manifest "$(rel_batch_dir "$work/ref.log")" > "$work/ref.json"
# Cold caches, as on a card just inserted.
echo 3 > /proc/sys/vm/drop_caches

status=0
"$bin" --input "$card/DCIM" --output "$work/out" --mode fixed --workers 2 \
  --event 拔卡 --date 20260405 > "$work/run.out" 2> "$work/run.err" &
running=$!
wait_for_progress "$running" 5 "$work/run.err" || true
umount -l "$card"
{ wait "$running"; } 2>/dev/null || status=$?
running=""
problems=()
outcome="$(rel_status_text $status)"
if [ "$status" -eq 0 ]; then
  batch=$(rel_batch_dir "$work/run.out")
  python3 "$rel_check" reports "$batch" > "$work/c" || problems+=("$(grep VIOLATION "$work/c" | head -3)")
  python3 "$rel_check" delivered "$batch" --ref "$work/ref.json" > "$work/c" || problems+=("$(grep VIOLATION "$work/c" | head -3)")
  python3 "$rel_check" strays "$batch" > "$work/c" || problems+=("$(grep VIOLATION "$work/c" | head -3)")
  counts=$(python3 - "$batch/summary.json" "$total" <<'EOF'
import json, sys
s = json.load(open(sys.argv[1], encoding="utf-8"))
errors = [f["error"] for f in s["files"] if "error" in f]
unclear = [e for e in errors if "No such file or directory" not in e]
done = s["processed"] - s["failed"]
print(f"{done} {len(errors)} {s['discovered']} {len(unclear)} {(unclear or errors or [''])[0]}")
EOF
)
  read -r delivered failed discovered unclear example <<< "$counts"
  [ "$discovered" -eq "$total" ] || problems+=("discovered $discovered of $total")
  [ "$delivered" -ge 5 ] || problems+=("only $delivered delivered although 5 were done before the pull")
  [ "$failed" -ge 1 ] || problems+=("no file failed: the pull came too late")
  [ "$unclear" -eq 0 ] || problems+=("$unclear failures without the system's text, e.g. $example")
  outcome="exit 0 with reports: $delivered delivered, $failed failed (\"${example##*: }\")"
else
  problems+=("the run ended with $outcome: $(tail -1 "$work/run.err")")
fi
loop_released "$work/card.img" || problems+=("the loop device of the card stays attached")
[ ${#problems[@]} -eq 0 ] || printf '   FAULT: %s\n' "${problems[@]}"
rel_result "card unmounted lazily mid-run (fixed, 2 workers)" 1 "$outcome" "$([ ${#problems[@]} -eq 0 ] && echo PASS || echo FAIL)"

# --- the output disk
input="$work/input"
rel_make_input "$input" 6
truncate -s 3G "$work/disk.img"
mkfs.ext4 -q -F -m 0 "$work/disk.img"
mount -o loop "$work/disk.img" "$disk"
status=0
"$bin" --input "$input" --output "$disk/results" --mode fixed --workers 1 \
  --event 拔盘 --date 20260405 > "$work/run.out" 2> "$work/run.err" &
running=$!
wait_for_progress "$running" 1 "$work/run.err" || true
umount -l "$disk"
{ wait "$running"; } 2>/dev/null || status=$?
running=""
problems=()
message=$(tail -1 "$work/run.err")
leaked=$(find "$disk" -type f | wc -l)
case $status in
  0) outcome="exit 0" ;;
  1) outcome="exit 1: ${message:0:120}" ;;
  *) outcome="$(rel_status_text $status)"; problems+=("the run ended with $outcome: $message") ;;
esac
if [ "$leaked" -gt 0 ]; then
  problems+=("$leaked files were written into the empty mount point folder on the disk below it:" \
             "$(cd "$disk" && find . -type f | sed 's|^\./||' | head -4 | tr '\n' ' ')")
  outcome+="; $leaked files written under the bare mount point"
fi
loop_released "$work/disk.img" || problems+=("the loop device of the output disk stays attached")
[ ${#problems[@]} -eq 0 ] || printf '   FAULT: %s\n' "${problems[@]}"
rel_result "output disk unmounted lazily mid-run" 1 "$outcome" "$([ ${#problems[@]} -eq 0 ] && echo PASS || echo FAIL)"

[ "$rel_failures" -eq 0 ]
