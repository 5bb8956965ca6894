#!/usr/bin/env bash
# Sets up Kestrel (packages, models), builds what it runs and opens the
# window on the shared race photographs; without a display it processes
# them with kestrel-batch in automatic mode instead.
#
#   scripts/run.sh [INPUT [OUTPUT]] [-- extra kestrel-batch options]
#
# INPUT defaults to the shared race photographs (../shared/photos/race-large),
# OUTPUT to ~/Pictures/KestrelResults. When no person model is installed yet,
# the shared stand-in model (../shared/models/yolo-fastest-1.1-xl) is
# prepared into Models/.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
shared=${KESTREL_SHARED:-$here/../shared}
input=$shared/photos/race-large
output=""
if [ $# -gt 0 ] && [ "$1" != "--" ]; then input=$1; shift; fi
if [ $# -gt 0 ] && [ "$1" != "--" ]; then output=$1; shift; fi
[ "${1:-}" = "--" ] && shift

setup_args=(--no-build)
if [ -d "$shared/models/yolo-fastest-1.1-xl" ]; then
  setup_args+=(--models-from "$shared/models/yolo-fastest-1.1-xl")
fi
"$here/scripts/setup.sh" "${setup_args[@]}"

cmake -S "$here" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$here/build" --target kestrel kestrel-batch

# Models/ is searched under the working directory.
cd "$here"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$here/build/bin/kestrel" ${output:+--output "$output"} "$input"
fi
echo "run: no display (DISPLAY / WAYLAND_DISPLAY unset), so the batch runs in the terminal with kestrel-batch"
exec "$here/build/bin/kestrel-batch" --input "$input" \
  --output "${output:-${XDG_PICTURES_DIR:-$HOME/Pictures}/KestrelResults}" "$@"
