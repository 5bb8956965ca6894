#!/usr/bin/env bash
# Builds the mc_jpeg libFuzzer target with clang + ASan/UBSan into
# build-fuzz/ and runs it for a fixed time on a seed corpus.
#
#   scripts/fuzz_jpeg.sh [SECONDS] [PHOTOS_DIR]     (defaults: 300, $KESTREL_TEST_DATA)
#
# The seeds are whole JPEGs, each followed by the 9 bytes from which the
# target takes its crop and region (FuzzedDataProvider reads integers from
# the end), so a seed reaches the crop and the grayscale region intact:
# small photos, whole photos of several hundred KB (the streamed crop reads
# them in many 32 KB chunks), noisy photos made with cjpeg (high entropy,
# long scans) and the first 64 KB of 24 MP photos (markers, EXIF, tables).
# -max_len admits the largest seed.
#
# Environment: KESTREL_FUZZ_ARTIFACTS  folder for crashing inputs
#              (default build-fuzz/artifacts; keep findings out of the repository).
# Exit status: 0 no finding, 1 a finding (the input is saved, libFuzzer says
# where), 77 when clang or its fuzzer runtime is missing (nothing was run).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-300}
photos=${2:-${KESTREL_TEST_DATA:-}}
build="$here/build-fuzz"
artifacts=${KESTREL_FUZZ_ARTIFACTS:-$build/artifacts}

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz_jpeg: clang++ is not installed; fuzzing skipped" >&2
  exit 77
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
  > "$probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null; then
  echo "fuzz_jpeg: clang has no libFuzzer runtime (libclang-rt-*-dev); fuzzing skipped" >&2
  exit 77
fi

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTREL_FUZZ=ON -DKESTREL_SANITIZE=ON -DKESTREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target mc_jpeg_fuzz

# Seeds are made afresh; what the fuzzer finds goes into the corpus, kept
# between runs.
seeds="$build/fuzz-seeds"
corpus="$build/fuzz-corpus"
rm -rf "$seeds"
mkdir -p "$seeds" "$corpus" "$artifacts"

# seed NAME SCALE < JPEG: the JPEG followed by the region bytes, in the order
# FuzzedDataProvider consumes them from the end (x, y, w, h: two bytes each,
# high byte last, w and h counted from -1; scale: one byte, counted from 1).
# The region is the middle three quarters of the frame read from the SOF
# marker, MCU-aligned, so the crop goes through.
seed_program='
import struct, sys
path, scale = sys.argv[1], int(sys.argv[2])
data = sys.stdin.buffer.read()
x = y = 0; w = h = -1
i = 2
while i + 9 < len(data) and data[i] == 0xFF:
    marker, length = data[i + 1], struct.unpack(">H", data[i + 2:i + 4])[0]
    if marker in (0xC0, 0xC1, 0xC2):
        height, width = struct.unpack(">HH", data[i + 5:i + 9])
        x, y = width // 8 // 16 * 16, height // 8 // 16 * 16
        w, h = max(width * 3 // 4, 1), max(height * 3 // 4, 1)
        break
    i += 2 + length
consumed = []
for value, low in ((x, 0), (y, 0), (w, -1), (h, -1)):
    raw = value - low
    consumed += [raw >> 8, raw & 0xFF]
consumed.append(scale - 1)
open(path, "wb").write(data + bytes(reversed(consumed)))
'
seed() { python3 -c "$seed_program" "$seeds/$1" "$2"; }

if [ -n "$photos" ] && [ -d "$photos" ]; then
  for f in "$photos"/orientation-set/orient1.jpg "$photos"/orientation-set/orient6.jpg \
           "$photos"/variants/0057-IMG_0080/tiny-64x48.jpg "$photos"/other/darknet-person.jpg; do
    [ -f "$f" ] && seed "$(basename "$f")" 1 < "$f"
  done
  # Whole 1367 × 2048 photos of 330–680 KB: 10–20 chunks of the streamed crop.
  for f in "$photos"/race-small/0009-IMG_0027.JPG "$photos"/race-small/0059-IMG_0082.JPG \
           "$photos"/race-small/prom.jpg; do
    [ -f "$f" ] && seed "whole-$(basename "$f")" 2 < "$f"
  done
  for f in "$photos"/race-large/0009-IMG_0027.JPG "$photos"/variants/0057-IMG_0080/exif-bigendian.jpg \
           "$photos"/other/darknet-dog.jpg; do
    [ -f "$f" ] && head -c 65536 "$f" | seed "head-$(basename "$f")" 1
  done
fi
# Noise compresses badly: a few hundred KB of entropy-coded data even for a
# small frame, in baseline 4:2:0, 4:4:4, grayscale, progressive and restart-marker form.
if command -v cjpeg >/dev/null 2>&1; then
  python3 - "$probe" <<'EOF'
import random, sys
rng = random.Random(20261206)
for name, w, h, kind in (("noise-rgb", 640, 480, "P6"), ("noise-gray", 720, 540, "P5")):
    channels = 3 if kind == "P6" else 1
    pixels = bytes(rng.getrandbits(8) for _ in range(w * h * channels))
    with open(f"{sys.argv[1]}/{name}.pnm", "wb") as out:
        out.write(f"{kind}\n{w} {h}\n255\n".encode() + pixels)
EOF
  cjpeg -quality 95 "$probe/noise-rgb.pnm" | seed noise-420.jpg 1
  cjpeg -quality 95 -sample 1x1 "$probe/noise-rgb.pnm" | seed noise-444.jpg 2
  cjpeg -quality 90 -progressive "$probe/noise-rgb.pnm" | seed noise-progressive.jpg 1
  cjpeg -quality 95 -restart 2 "$probe/noise-rgb.pnm" | seed noise-restart.jpg 1
  cjpeg -quality 95 "$probe/noise-gray.pnm" | seed noise-gray.jpg 2
fi
largest=$(find "$seeds" -type f -printf '%s\n' | sort -n | tail -1)
echo "fuzz_jpeg: $(find "$seeds" -type f | wc -l) seeds, largest ${largest:-0} bytes, ${seconds} s"

# A crash, leak, timeout or memory overrun exits 1: libFuzzer's own default
# (77) would read as "skipped".
"$build/bin/mc_jpeg_fuzz" "$corpus" "$seeds" -max_total_time="$seconds" -max_len=$(( ${largest:-200000} + 4096 )) \
  -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$artifacts/" \
  -error_exitcode=1 -timeout_exitcode=1
