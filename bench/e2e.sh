#!/usr/bin/env bash
# End-to-end speed of kestrel-batch on a folder of photos, side by side with
# the system tools that do the same work, plus worker scaling and peak memory.
#
#   bench/e2e.sh [--photos DIR] [--copies N] [--repeat R] [--json PATH]
#                [--model PATH] [--face-model DIR] [--no-auto] [--no-scaling]
#                [--memory-check] [--memory-files SMALL,LARGE]
#                [--wait-idle S] [--short-runs K] [--scratch DIR] [--keep]
#                [--no-build] [--build-dir DIR]
#
# Variants, run in turn inside every repetition (the starting variant rotates
# from one repetition to the next) so that they all see the same page cache:
#   cp -r + sync       copy of the scratch input folder, then sync (reference for
#                      copy: Kestrel flushes every photo before naming it, so
#                      the fair baseline is a copy that has reached the disk)
#   kestrel copy       kestrel-batch --mode copy
#   jpegtran -P2       jpegtran -crop WxH+X+Y -copy all per file, two at a time
#                      (xargs -P2), each file cut to the rectangle kestrel-batch
#                      chose for it in fixed mode (reference for fixed)
#   kestrel fixed      kestrel-batch --mode fixed
#   kestrel auto       kestrel-batch --mode auto with the person and face models
#   auto --no-bibs     the same without reading race numbers: the bib reader's
#                      cost is the difference, and the median of its own stage
#                      time per photo (summary.json) is reported beside it
#   fixed/auto 1w      the same with --workers 1 (scaling; 2 workers otherwise)
# cp -r + sync and kestrel copy take about a second, so they run K times per
# repetition (--short-runs, default 3). The medians over all kept runs are
# reported. Throughput = files / wall time
# of the whole command; kestrel's own images/s (statistics.json, processing
# time only) is listed next to it. Every run writes --previews 0 so report
# previews do not count.
#
# Caches cannot be dropped without root-only knobs, so all numbers are warm
# cache: the scratch input has just been written and stays in memory. Outputs
# are not flushed inside the timing; after every run the output is deleted and
# `sync` is called (untimed) so that no run pays for an earlier one's writeback.
#
# Options:
#   --photos DIR        photos to replicate (default <repo>/../shared/photos/race-large)
#   --copies N          copies of the photos in the scratch input (default 16:
#                       14 photos give 224 files and the whole script takes
#                       about 6 minutes on an idle 2-core machine; the time
#                       grows linearly with N)
#   --repeat R          repetitions, median reported (default 3)
#   --json PATH         machine-readable results (default /tmp/kestrel-e2e-<date>.json)
#   --model PATH        person model (default <repo>/../shared/models/yolo-fastest-1.1-xl/yolo-fastest-1.1-xl.cfg)
#   --face-model DIR    face model folder (default <repo>/../shared/models/face-api)
#   --no-auto           skip the auto-mode runs (skipped anyway without models)
#   --no-scaling        skip the one-worker runs
#   --memory-check      also measure peak RSS of 2-worker auto runs on SMALL and
#                       LARGE files (default 100 and 600), alternating, R times
#                       each; adds about 2.5 minutes on an idle 2-core machine
#                       (43 copies are made when the input has fewer than LARGE)
#   --memory-files S,L  file counts of the memory check (default 100,600)
#   --wait-idle S       before every repetition wait up to S seconds for the
#                       1-minute load average to drop below 0.5, and repeat
#                       (at most twice) a run of 0.5 s or more during which other
#                       processes used more than 0.25 core (default 0: off); the table's
#                       "other" column shows how many cores other processes
#                       used during each variant either way
#   --short-runs K      runs of cp -r and kestrel copy per repetition (default 3)
#   --scratch DIR       where the scratch folders are made (default /tmp)
#   --keep              keep the scratch folders
#   --no-build          do not build; use the existing binary
#   --build-dir DIR     build directory (default <repo>/build)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
shared=$(dirname "$here")/shared

photos=$shared/photos/race-large
copies=16
repeat=3
json_out=/tmp/kestrel-e2e-$(date +%Y%m%d-%H%M%S).json
model=$shared/models/yolo-fastest-1.1-xl/yolo-fastest-1.1-xl.cfg
face_model=$shared/models/face-api
do_auto=1
do_scaling=1
memory_check=0
memory_files=100,600
scratch_parent=${TMPDIR:-/tmp}
idle_wait=0
short_runs=3
keep=0
do_build=1
build_dir=$here/build

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; }

while [ $# -gt 0 ]; do
  case "$1" in
    --photos) photos=$2; shift ;;
    --copies) copies=$2; shift ;;
    --repeat) repeat=$2; shift ;;
    --json) json_out=$2; shift ;;
    --model) model=$2; shift ;;
    --face-model) face_model=$2; shift ;;
    --no-auto) do_auto=0 ;;
    --no-scaling) do_scaling=0 ;;
    --memory-check) memory_check=1 ;;
    --memory-files) memory_files=$2; shift ;;
    --scratch) scratch_parent=$2; shift ;;
    --wait-idle) idle_wait=$2; shift ;;
    --short-runs) short_runs=$2; shift ;;
    --keep) keep=1 ;;
    --no-build) do_build=0 ;;
    --build-dir) build_dir=$2; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "e2e.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

is_count() { [[ $1 =~ ^[1-9][0-9]*$ ]]; }
is_count "$copies" || { echo "e2e.sh: --copies needs a positive integer" >&2; exit 2; }
is_count "$repeat" || { echo "e2e.sh: --repeat needs a positive integer" >&2; exit 2; }
is_count "$short_runs" || { echo "e2e.sh: --short-runs needs a positive integer" >&2; exit 2; }
[[ $idle_wait =~ ^[0-9]+$ ]] || { echo "e2e.sh: --wait-idle needs seconds" >&2; exit 2; }
mem_small=${memory_files%,*}
mem_large=${memory_files#*,}
if ! is_count "$mem_small" || ! is_count "$mem_large" || [ "$mem_small" -ge "$mem_large" ]; then
  echo "e2e.sh: --memory-files needs SMALL,LARGE with SMALL < LARGE" >&2; exit 2
fi
[ -d "$photos" ] || { echo "e2e.sh: no photo folder $photos" >&2; exit 2; }

for tool in jpegtran python3 xargs; do
  command -v "$tool" >/dev/null || { echo "e2e.sh: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
gnu_time=/usr/bin/time
if ! "$gnu_time" -f %M true >/dev/null 2>&1; then
  echo "e2e.sh: GNU time is missing; install the Debian package 'time'" >&2; exit 1
fi

# --- Build ------------------------------------------------------------------
if [ "$do_build" = 1 ]; then
  if [ -f "$build_dir/CMakeCache.txt" ]; then
    build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build_dir/CMakeCache.txt")
    if [ "$build_type" != Release ]; then
      echo "e2e.sh: $build_dir is a '$build_type' build; timings need Release (scripts/setup.sh --build-dir DIR)" >&2
      exit 1
    fi
    # Only the binary under test: an unrelated broken test target must not stop the run.
    if ! cmake --build "$build_dir" --target kestrel-batch >"$build_dir/e2e-build.log" 2>&1; then
      tail -n 30 "$build_dir/e2e-build.log" >&2
      echo "e2e.sh: building kestrel-batch failed (log $build_dir/e2e-build.log)" >&2
      exit 1
    fi
  elif [ "$build_dir" = "$here/build" ]; then
    "$here/scripts/setup.sh" --no-models
  else
    "$here/scripts/setup.sh" --no-models --build-dir "$build_dir"
  fi
fi
kestrel=$build_dir/bin/kestrel-batch
[ -x "$kestrel" ] || { echo "e2e.sh: $kestrel not found" >&2; exit 1; }

if [ "$do_auto" = 1 ] && { [ ! -f "$model" ] || [ ! -d "$face_model" ]; }; then
  echo "e2e.sh: auto mode skipped — model $model or face model $face_model is missing"
  do_auto=0
fi
auto_args=(--model "$model" --face-model "$face_model")

# --- Scratch input ----------------------------------------------------------
scratch=$(mktemp -d "$scratch_parent/kestrel-e2e.XXXXXX")
cleanup() {
  if [ "$keep" = 1 ]; then echo "e2e.sh: scratch kept in $scratch"; else rm -rf "$scratch"; fi
}
trap cleanup EXIT

mapfile -t sources < <(find "$photos" -maxdepth 1 -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) | sort)
[ ${#sources[@]} -gt 0 ] || { echo "e2e.sh: no JPEG files in $photos" >&2; exit 2; }

# Fills folder $1 with $2 copies of the photos, flat, as cNNN-<name>.
replicate() {
  local dir=$1 n=$2 c f
  mkdir -p "$dir"
  for ((c = 1; c <= n; c++)); do
    for f in "${sources[@]}"; do
      cp --reflink=never "$f" "$dir/$(printf 'c%03d' "$c")-$(basename "$f")"
    done
  done
}

input=$scratch/input
replicate "$input" "$copies"
files=$(find "$input" -type f | wc -l)
meta=$scratch/meta
mkdir -p "$meta"
raw=$scratch/raw.tsv
printf 'variant\trep\tfiles\twall_s\trss_kb\tcpu_s\tother_cores\tmeta\tkept\n' >"$raw"
ticks=$(getconf CLK_TCK)

echo "Kestrel end-to-end: $files files (${#sources[@]} photos × $copies) from $photos, $repeat repetitions"
echo "binary $kestrel; scratch $scratch"

# Sums the busy CPU ticks of the whole machine (USER_HZ, /proc/stat).
machine_busy_ticks() {
  local _ user nice system idle iowait irq softirq steal
  read -r _ user nice system idle iowait irq softirq steal _ </proc/stat
  echo $((user + nice + system + irq + softirq + steal))
}

# Runs one timed command: $1 variant, $2 repetition, $3 file count, rest the
# command. The wall time is taken around GNU time, which gives the peak
# resident set size of the command (the largest of its processes) and its CPU
# seconds. The machine's busy time over the same interval minus the command's
# own CPU time is what other processes used: reported as "other cores", it
# shows when a run was disturbed.
timed() {
  local variant=$1 rep=$2 n=$3; shift 3
  local tfile=$scratch/time.txt t0 t1 b0 b1
  b0=$(machine_busy_ticks)
  t0=$EPOCHREALTIME
  "$gnu_time" -f '%M %U %S' -o "$tfile" "$@"
  t1=$EPOCHREALTIME
  b1=$(machine_busy_ticks)
  read -r last_rss last_user last_sys < <(tail -n 1 "$tfile")
  read -r last_wall last_other < <(python3 -c "
w = $t1 - $t0
print(f'{w:.4f}', f'{max(0.0, ($b1 - $b0) / $ticks - $last_user - $last_sys) / w:.2f}')")
  last_variant=$variant last_rep=$rep last_files=$n
}

# Remembers the last timed run's row; `measure` decides whether it is kept.
record() { # $1 meta prefix or "-"
  last_row=$(printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s' "$last_variant" "$last_rep" "$last_files" \
    "$last_wall" "$last_rss" "$(python3 -c "print($last_user + $last_sys)")" "$last_other" "$1")
  printf '  %-12s rep %-4s %4d files  %8.2f s  %6d MB  other cores %s' "$last_variant" "$last_rep" \
    "$last_files" "$last_wall" $((last_rss / 1024)) "$last_other"
}

# Runs "$@" (one timed run that calls record). With --wait-idle, a run during
# which other processes used more than 0.25 core is logged as disturbed and
# made again after waiting for an idle machine, at most twice. Runs shorter
# than half a second are kept: at 100 ticks a second their share is too coarse.
measure() {
  local attempt
  for attempt in 1 2 3; do
    "$@"
    if [ "$idle_wait" -gt 0 ] && [ "$attempt" -lt 3 ] &&
       awk -v o="$last_other" -v w="$last_wall" 'BEGIN { exit !(o > 0.25 && w >= 0.5) }'; then
      echo "  (disturbed, again)"
      printf '%s\t0\n' "$last_row" >>"$raw"
      wait_idle
      continue
    fi
    echo
    printf '%s\t1\n' "$last_row" >>"$raw"
    return 0
  done
}

# Waits up to --wait-idle seconds for the 1-minute load average to fall below 0.5.
wait_idle() {
  local waited=0 load
  while [ "$waited" -lt "$idle_wait" ]; do
    read -r load _ </proc/loadavg
    python3 -c "import sys; sys.exit(0 if $load < 0.5 else 1)" && return 0
    [ "$waited" = 0 ] && echo "  waiting for the machine to become idle (load $load)"
    sleep 5
    waited=$((waited + 5))
  done
}

fresh_output() { rm -rf "$scratch/out"; sync; mkdir -p "$scratch/out"; }

# Runs kestrel-batch timed and keeps its summary.json and statistics.json.
# $1 variant, $2 repetition, $3 expected files, $4 input, rest extra options.
run_kestrel() {
  local variant=$1 rep=$2 n=$3 in=$4; shift 4
  fresh_output
  timed "$variant" "$rep" "$n" "$kestrel" --input "$in" --output "$scratch/out" \
    --previews 0 "$@" >"$scratch/stdout.txt" 2>"$scratch/stderr.txt" || {
    echo "e2e.sh: kestrel-batch failed ($variant):" >&2; tail -n 5 "$scratch/stderr.txt" >&2; exit 1; }
  local dir
  dir=$(sed -n 's/^批次目录：//p' "$scratch/stdout.txt")
  [ -f "$dir/summary.json" ] || { echo "e2e.sh: no summary.json after $variant" >&2; exit 1; }
  cp "$dir/summary.json" "$meta/$variant-$rep-summary.json"
  cp "$dir/statistics.json" "$meta/$variant-$rep-statistics.json"
  record "$meta/$variant-$rep"
}

run_cp() {
  fresh_output
  timed cp_r "$1" "$files" sh -c 'cp -r "$1" "$2" && sync' sh "$input" "$scratch/out/copy"
  record -
}

# The output folder must exist before the clock starts; every file must come out.
run_jpegtran() {
  fresh_output
  mkdir -p "$scratch/out/jpegtran"
  timed jpegtran "$1" "$files" xargs -0 -n 7 -P 2 jpegtran <"$scratch/jpegtran.args"
  local made
  made=$(find "$scratch/out/jpegtran" -type f | wc -l)
  [ "$made" = "$files" ] || { echo "e2e.sh: jpegtran loop wrote $made of $files files" >&2; exit 1; }
  record -
}

# --- Warm-up and crop rectangles --------------------------------------------
# One untimed fixed run gives the rectangle chosen for every file; the
# jpegtran loop cuts the same rectangles. Its arguments are prepared once as
# NUL-separated groups of seven: -crop GEOMETRY -copy all -outfile OUT IN.
echo "warm-up: fixed run for the crop rectangles"
fresh_output
"$kestrel" --input "$input" --output "$scratch/out" --previews 0 --mode fixed \
  >"$scratch/stdout.txt" 2>"$scratch/stderr.txt"
warm_dir=$(sed -n 's/^批次目录：//p' "$scratch/stdout.txt")
python3 - "$warm_dir/summary.json" "$input" "$scratch/out" "$scratch/jpegtran.args" "$files" <<'EOF'
import json, os, sys
summary, src, out, args, expected = sys.argv[1:6]
files = json.load(open(summary, encoding="utf-8"))["files"]
if len(files) != int(expected):
    sys.exit(f"e2e.sh: fixed run processed {len(files)} of {expected} files")
with open(args, "wb") as f:
    for r in files:
        rel = r["relativePath"]
        c = r.get("decision", {}).get("crop")
        if c is None:  # not cropped: the whole frame, so the file is still transcoded losslessly
            c = {"x": 0, "y": 0, "width": r["info"]["width"], "height": r["info"]["height"]}
        geometry = f'{c["width"]}x{c["height"]}+{c["x"]}+{c["y"]}'
        name = rel.replace("/", "_")
        for a in ("-crop", geometry, "-copy", "all", "-outfile", os.path.join(out, "jpegtran", name), os.path.join(src, rel)):
            f.write(a.encode() + b"\0")
EOF
if [ "$do_auto" = 1 ]; then
  echo "warm-up: auto run on 4 files (model files into the cache)"
  fresh_output
  "$kestrel" --input "$input" --output "$scratch/out" --previews 0 --mode auto --limit 4 \
    "${auto_args[@]}" >/dev/null 2>&1
fi

# --- Timed repetitions --------------------------------------------------------
variants=(cp_r copy jpegtran fixed)
[ "$do_auto" = 1 ] && variants+=(auto auto_nobibs)
if [ "$do_scaling" = 1 ]; then
  variants+=(fixed_w1)
  [ "$do_auto" = 1 ] && variants+=(auto_w1)
fi

run_variant() { # $1 variant, $2 repetition
  case "$1" in
    cp_r) run_cp "$2" ;;
    copy) run_kestrel copy "$2" "$files" "$input" --mode copy --workers 2 ;;
    jpegtran) run_jpegtran "$2" ;;
    fixed) run_kestrel fixed "$2" "$files" "$input" --mode fixed --workers 2 ;;
    auto) run_kestrel auto "$2" "$files" "$input" --mode auto --workers 2 "${auto_args[@]}" ;;
    auto_nobibs) run_kestrel auto_nobibs "$2" "$files" "$input" --mode auto --workers 2 --no-bibs \
      "${auto_args[@]}" ;;
    fixed_w1) run_kestrel fixed_w1 "$2" "$files" "$input" --mode fixed --workers 1 ;;
    auto_w1) run_kestrel auto_w1 "$2" "$files" "$input" --mode auto --workers 1 "${auto_args[@]}" ;;
  esac
}
started=$EPOCHREALTIME
nv=${#variants[@]}
for ((r = 1; r <= repeat; r++)); do
  wait_idle
  echo "repetition $r/$repeat (load average $(cut -d' ' -f1-3 /proc/loadavg))"
  for ((i = 0; i < nv; i++)); do
    v=${variants[$(((i + r - 1) % nv))]}
    case "$v" in
      cp_r|copy) for ((k = 1; k <= short_runs; k++)); do measure run_variant "$v" "$r.$k"; done ;;
      *) measure run_variant "$v" "$r" ;;
    esac
  done
done

# --- Memory check -------------------------------------------------------------
if [ "$memory_check" = 1 ]; then
  if [ "$do_auto" = 1 ]; then
    mem_input=$input
    if [ "$files" -lt "$mem_large" ]; then
      mem_input=$scratch/input-memory
      replicate "$mem_input" $(((mem_large + ${#sources[@]} - 1) / ${#sources[@]}))
    fi
    echo "memory check: 2-worker auto on $mem_small and $mem_large files"
    for ((r = 1; r <= repeat; r++)); do
      wait_idle
      measure run_kestrel mem_small "$r" "$mem_small" "$mem_input" --mode auto --workers 2 --limit "$mem_small" "${auto_args[@]}"
      measure run_kestrel mem_large "$r" "$mem_large" "$mem_input" --mode auto --workers 2 --limit "$mem_large" "${auto_args[@]}"
    done
    [ "$mem_input" = "$input" ] || rm -rf "$mem_input"
  else
    echo "memory check skipped: it uses auto mode, which is off"
  fi
fi
rm -rf "$scratch/out"
elapsed=$(python3 -c "print(f'{$EPOCHREALTIME - $started:.0f}')")

# --- Report -------------------------------------------------------------------
mkdir -p "$(dirname "$json_out")"
python3 "$here/bench/e2e_report.py" --raw "$raw" --json "$json_out" \
  --files "$files" --photos "$photos" --copies "$copies" --repeat "$repeat" \
  --timed-seconds "$elapsed" --binary "$kestrel" \
  --auto "$do_auto" --model "$model" --face-model "$face_model"
echo "JSON: $json_out"
