#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Hostile file and folder names in the input.
#
# The input tree (make_hostile_tree.py) holds one small photo under 18
# names: double and single quotes, "<img src=x onerror=alert(1)>", "&" and
# "&amp;", a line feed, a carriage return, a tab and a comma, invalid UTF-8
# bytes (a stray 0xFF 0xFE, a cut-off character), "…partial.jpg", Chinese
# and an emoji, a 255-byte name; folders named with quotes, "<b>&", invalid
# UTF-8, ".partial" and a line feed; and two photos deep below 200-byte
# folder names, one whose output path still fits in PATH_MAX (4096 bytes)
# and one whose input path fits but whose output path does not. Beside them,
# files that are no photos: "photo.jpg.partial", a hidden
# ".<UUID>.partial" and ".hidden.jpg".
#
# Run in copy and in fixed mode. Passes when the run ends (exit 0); every
# photo is in the summary, delivered or failed with a message (the too-long
# output path: "File name too long"); every delivered file is complete
# (copy: the original's bytes; fixed: all outputs alike, as the input is
# one photo); the non-photos are neither read nor delivered; the four
# reports exist, are valid UTF-8 (strict decoding), parse, agree, and
# report.html holds none of the names' markup raw (the names appear
# escaped); and no hidden file is left.
#
# A second input puts one of three photos in a folder whose path is longer
# than PATH_MAX: that photo must be processed, failed with a message, or
# the run must end naming the folder — it must not silently drop out.
#
# Needs: the shared photos, python3; no root. Takes: about 5 seconds.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
rel_need_photos
bin=$(rel_batch)
photo="$rel_photos/race-small/prom.jpg"

work=$(mktemp -d "$rel_tmp/kestrel-names.XXXXXX")
trap 'rm -rf "$work"' EXIT

expected=$(python3 "$rel_here/make_hostile_tree.py" names "$work/in" "$photo")
rel_hash_tree "$work/in" > "$work/originals.sha" 2>/dev/null || true
rel_header

for mode in copy fixed; do
  status=0
  "$bin" --input "$work/in" --output "$work/out-$mode" --mode "$mode" > "$work/o" 2> "$work/e" || status=$?
  problems=()
  outcome="$(rel_status_text $status)"
  batch=$(rel_batch_dir "$work/o")
  if [ "$status" -ne 0 ] || [ -z "$batch" ]; then
    problems+=("the run ended with $outcome: $(tail -c 300 "$work/e")")
  else
    python3 "$rel_check" reports "$batch" "<img src=x" "<b>&" '"quoted" <b>' > "$work/c" ||
      problems+=("$(grep VIOLATION "$work/c" | head -3)")
    python3 "$rel_check" strays "$batch" > "$work/c" || problems+=("$(grep VIOLATION "$work/c" | head -3)")
    result=$(python3 - "$batch" "$work/in" "$mode" "$expected" <<'EOF'
import json, os, sys
batch, top, mode, expected = sys.argv[1], os.fsencode(sys.argv[2]), sys.argv[3], int(sys.argv[4])
bad = []
s = json.load(open(os.path.join(batch, "summary.json"), encoding="utf-8"))
if s["discovered"] != expected or s["processed"] != expected:
    bad.append(f"discovered {s['discovered']}, processed {s['processed']} of {expected} photos")
failed = [f for f in s["files"] if "error" in f]
for f in failed:
    if not f["error"].strip():
        bad.append(f"empty failure message for {f['relativePath']!r}")
    elif "deep-output-too-long" in f["relativePath"] and "File name too long" not in f["error"]:
        bad.append(f"too-long output path failed with {f['error'][-80:]!r}")
    elif "deep-output-too-long" not in f["relativePath"]:
        bad.append(f"{f['relativePath'][:80]!r} failed: {f['error'][-120:]!r}")
if not any("deep-output-too-long" in f["relativePath"] for f in failed):
    bad.append("the photo whose output path exceeds PATH_MAX did not fail")
# Every delivered file, walked by bytes: complete, and as expected.
photo = open(os.path.join(top, b"quote\"double.jpg"), "rb").read()
outputs = []
for folder in (b"photos", b"filtered", b"review"):
    base = os.path.join(os.fsencode(batch), folder)
    for d, dirs, files in os.walk(base):
        for name in files:
            data = open(os.path.join(d, name), "rb").read()
            rel = os.path.relpath(os.path.join(d, name), base)
            if name.endswith(b".partial") and not name.endswith(b".partial.jpg"):
                bad.append(f"a .partial name was delivered: {rel!r}")
            if name.startswith(b"."):
                bad.append(f"a hidden file was delivered: {rel!r}")
            if mode == "copy" and data != photo:
                bad.append(f"{rel[-60:]!r} differs from the original")
            if not (data[:2] == b"\xff\xd8" and data[-2:] == b"\xff\xd9"):
                bad.append(f"{rel[-60:]!r} is not a complete JPEG")
            outputs.append(data)
if len(set(outputs)) > 1:
    bad.append("the outputs of one photo differ from each other")
if len(outputs) != s["processed"] - s["failed"]:
    bad.append(f"{len(outputs)} files delivered, the summary says {s['processed'] - s['failed']}")
html = open(os.path.join(batch, "report.html"), encoding="utf-8").read()
if "&lt;img src=x onerror=alert(1)&gt;" not in html:
    bad.append("report.html does not show the <img …> name escaped")
for text in bad:
    print("BAD " + text)
print(f"{len(outputs)} delivered, {len(failed)} failed ({'File name too long' if any('File name too long' in f['error'] for f in failed) else ''})")
EOF
) || problems+=("the check crashed")
    while IFS= read -r line; do
      [[ "$line" == BAD* ]] && problems+=("${line#BAD }")
    done <<< "$result"
    outcome="exit 0; $(tail -1 <<< "$result"); reports valid UTF-8, names escaped"
  fi
  rel_hash_tree "$work/in" 2>/dev/null | cmp -s - "$work/originals.sha" || problems+=("the input tree changed")
  [ ${#problems[@]} -eq 0 ] || printf '   FAULT: %s\n' "${problems[@]}"
  rel_result "hostile names, $mode mode ($expected photos)" 1 "$outcome" \
    "$([ ${#problems[@]} -eq 0 ] && echo PASS || echo FAIL)"
done

# --- a photo in a folder beyond PATH_MAX
python3 "$rel_here/make_hostile_tree.py" beyond "$work/beyond" "$photo" > /dev/null
status=0
"$bin" --input "$work/beyond" --output "$work/out-beyond" --mode copy > "$work/o" 2> "$work/e" || status=$?
problems=()
if [ "$status" -eq 0 ]; then
  batch=$(rel_batch_dir "$work/o")
  found=$(python3 -c 'import json,sys; s=json.load(open(sys.argv[1])); print(s["discovered"], s["failed"])' "$batch/summary.json")
  outcome="exit 0: discovered ${found%% *} of 3, failed ${found#* }"
  [ "${found%% *}" -eq 3 ] || problems+=("the photo below PATH_MAX+ was skipped without a message")
elif [ "$status" -eq 1 ]; then
  message=$(tail -1 "$work/e")
  outcome="exit 1: ${message:0:60}…${message: -40}"
  [[ "$message" == *"deep"* ]] || problems+=("the message does not name the folder")
else
  outcome="$(rel_status_text $status)"
  problems+=("the run ended with $outcome")
fi
[ ${#problems[@]} -eq 0 ] || printf '   FAULT: %s\n' "${problems[@]}"
rel_result "photo in a folder beyond PATH_MAX" 1 "$outcome" "$([ ${#problems[@]} -eq 0 ] && echo PASS || echo FAIL)"

[ "$rel_failures" -eq 0 ]
