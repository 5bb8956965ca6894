#!/usr/bin/env bash
# Builds the mc_jpeg libFuzzer target with clang + ASan/UBSan into
# build-fuzz/ and runs it on a seed corpus made from the shared photos.
#
#   scripts/fuzz_jpeg.sh [SECONDS] [PHOTOS_DIR]     (defaults: 300, $KESTREL_TEST_DATA)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-300}
photos=${2:-${KESTREL_TEST_DATA:-}}
build="$here/build-fuzz"

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTREL_FUZZ=ON -DKESTREL_SANITIZE=ON -DKESTREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target mc_jpeg_fuzz

corpus="$build/fuzz-corpus"
mkdir -p "$corpus"
if [ -n "$photos" ] && [ -d "$photos" ]; then
  # Small whole JPEGs plus the header part (markers, EXIF, tables) of large ones.
  for f in "$photos"/orientation-set/orient1.jpg "$photos"/orientation-set/orient6.jpg \
           "$photos"/variants/0057-IMG_0080/tiny-64x48.jpg "$photos"/other/darknet-person.jpg; do
    [ -f "$f" ] && cp "$f" "$corpus/$(basename "$f")"
  done
  for f in "$photos"/race-large/0009-IMG_0027.JPG "$photos"/race-small/0009-IMG_0027.JPG \
           "$photos"/variants/0057-IMG_0080/exif-bigendian.jpg "$photos"/other/darknet-dog.jpg; do
    [ -f "$f" ] && head -c 65536 "$f" > "$corpus/head-$(basename "$f")"
  done
fi

"$build/bin/mc_jpeg_fuzz" "$corpus" -max_total_time="$seconds" -max_len=200000 \
  -rss_limit_mb=4096 -print_final_stats=1
