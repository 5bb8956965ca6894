#!/usr/bin/env bash
# Makes two small batches with kestrel-batch (fixed mode: cropped, filtered
# and failed cards; auto mode: focus close-ups) and checks their reports in
# headless Chromium. Exit 77 (skipped) when the photos, models, Chromium or
# playwright-core are missing.
#
#   tests/browser/run_check.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=$1/bin/kestrel-batch
photos=${KESTREL_TEST_DATA:-}
models=${KESTREL_TEST_MODELS:-}
skip() { echo "SKIPPED: $*"; exit 77; }
[ -d "$photos" ] || skip "KESTREL_TEST_DATA is not set to the shared photos folder"
[ -d "$models" ] || skip "KESTREL_TEST_MODELS is not set to the shared models folder"
[ -x "${CHROMIUM:-/usr/bin/chromium}" ] || skip "chromium is not installed"
[ -d "$here/node_modules/playwright-core" ] || skip "playwright-core is not installed (npm ci in tests/browser)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
cp "$photos/race-large/0057-IMG_0080.JPG" "$photos/race-large/821-IMG_1297.JPG" "$work/in/"
mkdir -p "$work/in/small & <odd>"
cp "$photos/race-small/0040-IMG_0061.JPG" "$work/in/small & <odd>/"
cp "$photos/variants/0057-IMG_0080/not-a-jpeg-png.jpg" "$work/in/broken.jpg"

"$bin" --input "$work/in" --output "$work/out-fixed" --mode fixed --workers 2 >/dev/null 2>&1
"$bin" --input "$work/in" --output "$work/out-auto" --mode auto --workers 2 \
  --model "$models/yolo-fastest-1.1-xl/yolo-fastest-1.1-xl.cfg" --face-model "$models/face-api" \
  >/dev/null 2>&1
node "$here/check_report.mjs" "$work"/out-fixed/*/report.html "$work"/out-auto/*/report.html
