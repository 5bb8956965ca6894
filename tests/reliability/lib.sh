# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Shared by the fault scripts of tests/reliability: where things are, the
# result table, and small helpers. Sourced, not run.
#
# Environment:
#   KESTREL_BATCH        the kestrel-batch to test (default build/bin/kestrel-batch,
#                        built in Release when missing)
#   KESTREL_SHARED       the shared folder with photos/ and models/ (default ../shared)
#   RELIABILITY_TABLE    a file that result lines are appended to (run_all.sh sets it)
#   RELIABILITY_TMP      where the scripts make their scratch folders (default /tmp)

rel_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
rel_here="$rel_root/tests/reliability"
rel_shared=${KESTREL_SHARED:-$rel_root/../shared}
rel_photos="$rel_shared/photos"
rel_models="$rel_shared/models"
rel_check="$rel_here/batchcheck.py"
rel_tmp=${RELIABILITY_TMP:-/tmp}
rel_failures=0

rel_model_args=(--model "$rel_models/yolo-fastest-1.1-xl/yolo-fastest-1.1-xl.cfg"
                --face-model "$rel_models/face-api")

# The program under test, built in Release when it is not there yet.
rel_batch() {
  if [ -n "${KESTREL_BATCH:-}" ]; then
    echo "$KESTREL_BATCH"
    return
  fi
  local bin="$rel_root/build/bin/kestrel-batch"
  if [ ! -x "$bin" ]; then
    echo "building kestrel-batch (Release) into build/" >&2
    cmake -S "$rel_root" -B "$rel_root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DKESTREL_BUILD_BENCH=OFF >/dev/null && cmake --build "$rel_root/build" --target kestrel-batch >&2
  fi
  echo "$bin"
}

# Exits 77 (skipped) with a message when the shared race photos are missing.
rel_need_photos() {
  if [ ! -d "$rel_photos/race-large" ]; then
    echo "SKIP: the shared photos are missing ($rel_photos/race-large)" >&2
    exit 77
  fi
}

rel_need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: $(basename "$0") needs root (mounts, users)" >&2
    exit 77
  fi
}

# rel_result FAULT RUNS OUTCOME VERDICT — one line of the result table.
rel_result() {
  local line
  line=$(printf '%-44s | %5s | %-70s | %s' "$1" "$2" "$3" "$4")
  echo "RESULT | $line"
  if [ -n "${RELIABILITY_TABLE:-}" ]; then echo "$line" >> "$RELIABILITY_TABLE"; fi
  if [ "$4" = FAIL ]; then rel_failures=$((rel_failures + 1)); fi
}

rel_header() {
  printf 'RESULT | %-44s | %5s | %-70s | %s\n' fault runs outcome verdict
}

# The sha256 list of every file below a folder, for "originals only read".
rel_hash_tree() {
  (cd "$1" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum)
}

# Copies N race-large photos into DIR (two of them into a subfolder "sub").
rel_make_input() {
  local dir=$1 n=${2:-6} i=0 f
  mkdir -p "$dir/sub"
  for f in "$rel_photos"/race-large/*.JPG; do
    [ $i -ge "$n" ] && break
    if [ $i -lt 2 ]; then cp "$f" "$dir/sub/"; else cp "$f" "$dir/"; fi
    i=$((i + 1))
  done
  chmod -R u+w "$dir"
  [ "$(ls "$dir/sub")" ] || rmdir "$dir/sub"
}

# The batch directory a run printed on stdout ("批次目录：PATH").
rel_batch_dir() {
  sed -n 's/^批次目录：//p' "$1" | tail -1
}

# How a process ended, from its exit status: "exit N" or "signal NAME".
rel_status_text() {
  if [ "$1" -gt 128 ]; then echo "signal $(kill -l $(($1 - 128)) 2>/dev/null || echo $(($1 - 128)))"; else echo "exit $1"; fi
}
