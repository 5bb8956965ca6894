#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Permission faults, with kestrel-batch running as the unprivileged user
# "nobody" (setpriv) on input and output folders that belong to nobody.
#
# Cases and what passes:
#   an unreadable photo (mode 000): the run ends (exit 0), that photo fails
#       with "Permission denied" and its path, the others are delivered;
#   an unreadable subfolder (mode 000): the run ends with exit 1 and a message
#       naming that folder before anything is created in the output root;
#   a subfolder that can be listed but not entered (mode 444): exit 0 with its
#       photos failed (each with a message), or exit 1 naming it; a photo that
#       silently drops out of the batch fails the case;
#   a read-only output root, labelled and unlabelled, and a missing output
#       root under a read-only folder: exit 1 with a message carrying
#       "Permission denied", nothing created;
#   the output root removed during a run (its parent writable), and removed
#       with its parent made read-only: no crash, exit 0 or 1, the photos that
#       can no longer be written fail with a message naming the system's
#       error, and the removed folders are not silently made again and
#       written into.
#
# Needs: root (to switch to nobody with setpriv and to set up owners), the
# shared photos. Takes: about 10 seconds.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
rel_need_root
rel_need_photos
bin=$(rel_batch)
command -v setpriv >/dev/null || { echo "SKIP: setpriv (util-linux) is missing" >&2; exit 77; }

work=$(mktemp -d "$rel_tmp/kestrel-perm.XXXXXX")
chmod 755 "$work"
running=""
cleanup() {
  [ -n "$running" ] && kill -9 "$running" 2>/dev/null || true
  chmod -R u+rwx "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Runs a command as nobody:nogroup with a clean environment.
as_nobody() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
    env -i PATH=/usr/bin:/bin HOME="$work" LANG=C.UTF-8 "$@"
}
if ! as_nobody test -x "$bin"; then
  echo "SKIP: nobody cannot run $bin (a folder above it is closed to others)" >&2
  exit 77
fi

# A fresh input folder (6 photos, two in sub/) owned by nobody.
new_input() {
  local dir="$work/$1"
  rel_make_input "$dir" 6
  chown -R nobody:nogroup "$dir"
  echo "$dir"
}
new_folder() {
  mkdir -p "$work/$1"
  chown nobody:nogroup "$work/$1"
  echo "$work/$1"
}

report() { # NAME VERDICT OUTCOME [PROBLEMS...]
  local name=$1 verdict=$2 outcome=$3
  shift 3
  if [ $# -gt 0 ]; then printf '   FAULT: %s\n' "$@"; verdict=FAIL; fi
  rel_result "$name" 1 "$outcome" "$verdict"
}

rel_header

# --- an unreadable photo
input=$(new_input in-photo)
chmod 000 "$input/0057-IMG_0080.JPG"
out=$(new_folder out-photo)
status=0
as_nobody "$bin" --input "$input" --output "$out" --mode copy > "$work/o" 2> "$work/e" || status=$?
problems=()
batch=$(rel_batch_dir "$work/o")
if [ "$status" -ne 0 ] || [ -z "$batch" ]; then
  problems+=("$(rel_status_text $status): $(tail -1 "$work/e")")
else
  python3 "$rel_check" reports "$batch" > "$work/c" || problems+=("$(grep VIOLATION "$work/c")")
  chmod 644 "$input/0057-IMG_0080.JPG"
  python3 "$rel_check" delivered "$batch" --input "$input" > "$work/c" || problems+=("$(grep VIOLATION "$work/c")")
  error=$(python3 -c 'import json,sys; print([f.get("error","") for f in json.load(open(sys.argv[1]))["files"] if "error" in f])' "$batch/summary.json")
  [[ "$error" == *"0057-IMG_0080.JPG: Permission denied"* ]] || problems+=("failure not recorded with the path and the system text: $error")
  [ "$(grep -c '"failed": 1' "$batch/summary.json")" -ge 1 ] || problems+=("failed count is not 1")
fi
report "unreadable photo (000)" PASS "exit $status; 5 delivered, 1 failed: ${error:-?}" "${problems[@]}"

# --- an unreadable subfolder
for mode in 000 444; do
  input=$(new_input "in-sub-$mode")
  chmod "$mode" "$input/sub"
  out="$work/out-sub-$mode"   # not created beforehand: a refused run creates nothing
  chmod 777 "$work"
  status=0
  as_nobody "$bin" --input "$input" --output "$out" --mode copy > "$work/o" 2> "$work/e" || status=$?
  chmod 755 "$work"
  message=$(tail -1 "$work/e")
  problems=()
  if [ "$status" -eq 1 ]; then
    [[ "$message" == *"$input/sub"* ]] || problems+=("message does not name the folder: $message")
    [ ! -e "$out" ] || problems+=("the output root was created although the run was refused")
    outcome="exit 1 before any output: $message"
  elif [ "$status" -eq 0 ]; then
    batch=$(rel_batch_dir "$work/o")
    python3 "$rel_check" reports "$batch" > "$work/c" || problems+=("$(grep VIOLATION "$work/c")")
    found=$(python3 -c 'import json,sys; s=json.load(open(sys.argv[1])); print(s["discovered"], s["failed"])' "$batch/summary.json")
    # Six photos in the input: each one is processed or failed with a message.
    [ "${found%% *}" -eq 6 ] ||
      problems+=("only ${found%% *} of 6 photos in the batch: the photos of sub/ were skipped without a message")
    outcome="exit 0: discovered ${found%% *} of 6, failed ${found#* }"
  else
    problems+=("$(rel_status_text $status): $message")
    outcome="$(rel_status_text $status)"
  fi
  chmod 755 "$input/sub"
  report "unreadable subfolder ($mode)" PASS "$outcome" "${problems[@]}"
done

# --- read-only output roots
input=$(new_input in-ro)
for variant in labelled unlabelled missing; do
  out=$(new_folder "out-ro-$variant")
  target="$out"
  [ "$variant" = missing ] && target="$out/new/root"
  chmod 555 "$out"
  args=(); [ "$variant" = labelled ] && args=(--event 只读 --date 20260405)
  status=0
  as_nobody "$bin" --input "$input" --output "$target" --mode copy "${args[@]}" > "$work/o" 2> "$work/e" || status=$?
  message=$(tail -1 "$work/e")
  problems=()
  [ "$status" -eq 1 ] || problems+=("$(rel_status_text $status), expected exit 1")
  [[ "$message" == *"Permission denied"* ]] || problems+=("message lacks the system text: $message")
  [ -z "$(ls -A "$out")" ] || problems+=("something was created: $(ls -A "$out" | head -3 | tr '\n' ' ')")
  chmod 755 "$out"
  report "read-only output root ($variant)" PASS "exit $status: $message" "${problems[@]}"
done

# --- the output root removed during a run
# Fixed mode with one worker takes about 0.2 s per photo; the root goes once
# the first photo is in place.
remove_during_run() { # VARIANT
  local variant=$1 parent root status=0 i problems=() outcome
  input=$(new_input "in-rm-$variant")
  parent=$(new_folder "out-rm-$variant")
  root="$parent/root"
  as_nobody mkdir "$root"
  as_nobody "$bin" --input "$input" --output "$root" --mode fixed --workers 1 \
    --event 删除 --date 20260405 > "$work/o" 2> "$work/e" &
  running=$!
  for i in $(seq 300); do
    if find "$root" -path '*/photos/*' -type f ! -name '.*' 2>/dev/null | grep -q .; then break; fi
    sleep 0.02
  done
  rm -rf "$root"
  [ "$variant" = "parent read-only" ] && chmod 555 "$parent"
  { wait "$running"; } 2>/dev/null || status=$?
  running=""
  chmod 755 "$parent"
  local message present claimed
  message=$(tail -1 "$work/e")
  present=$( (find "$root" -path '*/photos/*' -type f ! -name '.*' 2>/dev/null || true) | wc -l)
  if [ "$status" -eq 0 ]; then
    batch=$(rel_batch_dir "$work/o")
    claimed=$(python3 -c 'import json,sys; s=json.load(open(sys.argv[1])); print(s["processed"]-s["failed"])' "$batch/summary.json")
    outcome="exit 0; reports in a re-created batch directory: $claimed called delivered, $present there"
    [ "$claimed" -eq "$present" ] || outcome+=" (the rest were removed with the root)"
    # The batch directory was gone: going on in a new one of the same name
    # hides the loss (and, for a vanished disk, writes to the disk below).
    [ -d "$root" ] && problems+=("the removed output root and batch directory were re-created and written into; the summary calls $claimed photos delivered, $present are there")
  elif [ "$status" -eq 1 ]; then
    outcome="exit 1: ${message:0:160}"
    [[ "$message" == *"No such file or directory"* || "$message" == *"Permission denied"* ]] ||
      problems+=("unclear message: $message")
  else
    problems+=("$(rel_status_text $status): $message")
    outcome="$(rel_status_text $status)"
  fi
  echo "  removed root, $variant: $outcome"
  report "output root removed mid-run ($variant)" PASS "$outcome" "${problems[@]}"
}
remove_during_run "parent writable"
remove_during_run "parent read-only"

[ "$rel_failures" -eq 0 ]
