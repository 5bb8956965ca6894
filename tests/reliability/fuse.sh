#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Batches written to a FUSE file system without hard links and without
# renameat2(RENAME_NOREPLACE): an exFAT image mounted with exfat-fuse.
#
# A probe first records which of the two calls the mount refuses (exfat-fuse
# refuses both, so photos take the third way: an exclusive-create claim of
# the final name and a rename over it). Then the same input (6 race-large
# photos, two in a subfolder) goes through copy and fixed mode, labelled,
# onto the mount and into a normal folder, and once more (a re-run of the
# card, which rewrites the registry on the mount). Passes when the photos on
# the mount are byte-identical to those in the normal folder, the reports
# are complete and no hidden or temporary file is left anywhere on the mount.
# Then 10 fixed-mode runs on the mount are killed at random moments: every
# photo under a final name must be complete; an empty file under a final name
# (the claim, when the kill falls between the claim and the rename) is
# counted and shown, not failed.
#
# Needs: root, /dev/fuse, loop devices, exfat-fuse and exfatprogs (installed
# with apt-get when missing and possible). Exit 77 (skipped) when FUSE is
# unavailable. Takes: about 30 seconds.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
rel_need_root
rel_need_photos
bin=$(rel_batch)

skip() { echo "SKIP: $*" >&2; exit 77; }
[ -c /dev/fuse ] || skip "no /dev/fuse"
if ! command -v mount.exfat-fuse >/dev/null || ! command -v mkfs.exfat >/dev/null; then
  if command -v apt-get >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends exfat-fuse exfatprogs \
      >/dev/null 2>&1 || true
  fi
  command -v mount.exfat-fuse >/dev/null && command -v mkfs.exfat >/dev/null ||
    skip "exfat-fuse and exfatprogs are not installed"
fi
losetup -f >/dev/null 2>&1 || skip "no free loop device"

work=$(mktemp -d "$rel_tmp/kestrel-fuse.XXXXXX")
mnt="$work/exfat"
mkdir -p "$mnt"
device=""
running=""
cleanup() {
  [ -n "$running" ] && kill -9 "$running" 2>/dev/null || true
  if mountpoint -q "$mnt"; then umount "$mnt" 2>/dev/null || umount -l "$mnt"; fi
  [ -n "$device" ] && losetup -d "$device" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# 3 GiB, sparse: the free-space check wants 2 GiB beside the photos.
truncate -s 3G "$work/exfat.img"
device=$(losetup -f --show "$work/exfat.img")
mkfs.exfat -L KESTREL "$device" >/dev/null
mount.exfat-fuse "$device" "$mnt" 2>/dev/null || skip "exfat-fuse cannot mount here"
mount | grep -q " $mnt type fuse" || skip "the mount is not FUSE"

probe=$(python3 - "$mnt" <<'EOF'
import ctypes, errno, os, sys
d = sys.argv[1]
libc = ctypes.CDLL(None, use_errno=True)
open(f"{d}/probe-a", "w").close()
r = libc.renameat2(-100, f"{d}/probe-a".encode(), -100, f"{d}/probe-b".encode(), 1)
rename = "renameat2 NOREPLACE works" if r == 0 else f"renameat2 NOREPLACE refused ({errno.errorcode[ctypes.get_errno()]})"
src = f"{d}/probe-b" if r == 0 else f"{d}/probe-a"
try:
    os.link(src, f"{d}/probe-l")
    link = "link works"
except OSError as e:
    link = f"link refused ({errno.errorcode[e.errno]})"
for name in ("probe-a", "probe-b", "probe-l"):
    try:
        os.unlink(f"{d}/{name}")
    except FileNotFoundError:
        pass
print(f"{rename}, {link}")
EOF
)
echo "FUSE exFAT: $probe"

input="$work/card"
rel_make_input "$input" 6
rel_hash_tree "$input" > "$work/originals.sha"
rel_header

problems=()
for mode in copy fixed; do
  "$bin" --input "$input" --output "$work/normal" --mode "$mode" --event 外接盘 --date 20260405 \
    > "$work/o" 2>&1
  python3 "$rel_check" manifest "$(rel_batch_dir "$work/o")" > "$work/ref-$mode.json"
  for attempt in 1 2; do
    status=0
    "$bin" --input "$input" --output "$mnt/results" --mode "$mode" --event 外接盘 --date 20260405 \
      > "$work/o" 2> "$work/e" || status=$?
    if [ "$status" -ne 0 ]; then
      problems+=("$mode run $attempt on FUSE: $(rel_status_text $status): $(tail -1 "$work/e")")
      continue
    fi
    batch=$(rel_batch_dir "$work/o")
    python3 "$rel_check" manifest "$batch" | cmp -s - "$work/ref-$mode.json" ||
      problems+=("$mode run $attempt: photos on FUSE differ from the normal folder")
    python3 "$rel_check" reports "$batch" > "$work/c" || problems+=("$(grep VIOLATION "$work/c" | head -2)")
    python3 "$rel_check" delivered "$batch" --ref "$work/ref-$mode.json" > "$work/c" ||
      problems+=("$(grep VIOLATION "$work/c" | head -2)")
  done
done
leftovers=$(find "$mnt" -name '.*' ! -name '.sunying-batches.*' | wc -l)
[ "$leftovers" -eq 0 ] || problems+=("$leftovers hidden or temporary files left on the mount")
python3 "$rel_check" registry "$mnt/results" > "$work/c" || problems+=("registry: $(grep VIOLATION "$work/c")")
dirs=$(cd "$mnt/results" && ls -d 外接盘-* | tr '\n' ' ')
[ "$dirs" = "外接盘-20260405-卡1 外接盘-20260405-卡1-重跑2 外接盘-20260405-卡1-重跑3 外接盘-20260405-卡1-重跑4 " ] ||
  problems+=("batch directories on the mount: $dirs")
rel_hash_tree "$input" | cmp -s - "$work/originals.sha" || problems+=("originals changed")
[ ${#problems[@]} -eq 0 ] || printf '   FAULT: %s\n' "${problems[@]}"
rel_result "FUSE exFAT: copy and fixed, 2 runs each" 4 "$probe; identical to a normal folder, no temporary files" \
  "$([ ${#problems[@]} -eq 0 ] && echo PASS || echo FAIL)"

# --- kill -9 on the mount
RANDOM=${KILL_SEED:-20261206}
start=$(date +%s%3N)
"$bin" --input "$input" --output "$mnt/kills" --mode fixed --event 断电 --date 20260405 > /dev/null 2>&1
span=$(( ($(date +%s%3N) - start) * 11 / 10 ))
kills=10 bad=0 claims=0 phases=""
for i in $(seq $kills); do
  delay=$(( (RANDOM * 32768 + RANDOM) % span ))
  before=$(ls "$mnt/kills" | sort)
  "$bin" --input "$input" --output "$mnt/kills" --mode fixed --event 断电 --date 20260405 > /dev/null 2>&1 &
  running=$!
  sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
  kill -9 "$running" 2>/dev/null || true
  { wait "$running"; } 2>/dev/null || true
  running=""
  batch=$(comm -13 <(echo "$before") <(ls "$mnt/kills" | sort) | grep -v '^\.' | head -1 || true)
  [ -n "$batch" ] || { phases+="nothing, "; continue; }
  if python3 "$rel_check" killed "$mnt/kills/$batch" "$work/ref-fixed.json" --empty-claims-allowed > "$work/c"; then
    c=$(python3 -c 'import json,sys; print(json.loads(sys.stdin.readlines()[-1])["claims"])' < "$work/c")
    claims=$((claims + c))
    phases+="$(python3 -c 'import json,sys; print(json.loads(sys.stdin.readlines()[-1])["phase"].split()[0])' < "$work/c"), "
  else
    bad=$((bad + 1))
    grep VIOLATION "$work/c" | sed 's/^/   FAULT: /'
  fi
  python3 "$rel_check" registry "$mnt/kills" > "$work/c" || { bad=$((bad + 1)); grep VIOLATION "$work/c"; }
done
phases=$(tr ',' '\n' <<< "${phases%, }" | sed 's/^ //' | sort | uniq -c | awk '{printf "%s %s, ", $2, $1}')
rel_result "FUSE exFAT: kill -9 during fixed runs" "$kills" "${phases%, }; $claims empty claims under final names; $bad bad" \
  "$([ "$bad" -eq 0 ] && echo PASS || echo FAIL)"
rel_hash_tree "$input" | cmp -s - "$work/originals.sha" || rel_result "FUSE exFAT: originals" 1 "changed" FAIL

[ "$rel_failures" -eq 0 ]
