#!/usr/bin/env bash
# Sets up Kestrel (packages, Release build, models) and processes a folder of
# photos with kestrel-batch in automatic mode.
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
output=${XDG_PICTURES_DIR:-$HOME/Pictures}/KestrelResults
if [ $# -gt 0 ] && [ "$1" != "--" ]; then input=$1; shift; fi
if [ $# -gt 0 ] && [ "$1" != "--" ]; then output=$1; shift; fi
[ "${1:-}" = "--" ] && shift

setup_args=()
if [ -d "$shared/models/yolo-fastest-1.1-xl" ]; then
  setup_args+=(--models-from "$shared/models/yolo-fastest-1.1-xl")
fi
"$here/scripts/setup.sh" "${setup_args[@]}"

# Models/ is searched under the working directory.
cd "$here"
exec "$here/build/bin/kestrel-batch" --input "$input" --output "$output" "$@"
