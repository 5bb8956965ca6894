#!/usr/bin/env bash
# Builds Kestrel's Debian package, kestrel_<version>_<arch>.deb, installing
# under /usr: both programs, the desktop entry, icon, AppStream metadata,
# manual pages, bash completion and, when they are prepared, the models.
#
#   scripts/package.sh [--build-dir DIR] [--models-dir DIR] [--output DIR]
#
#   --build-dir DIR   the build to package, built first (default build/;
#                     configured for Release under /usr when new)
#   --models-dir DIR  the prepared models (default Models/); a package made
#                     without them needs --model and --face-model
#   --output DIR      where the package goes (default dist/)
#
# The library dependencies come from dpkg-shlibdeps (dpkg-dev) and need
# `file`; scripts/setup.sh installs both.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="$here/build"
models_dir="$here/Models"
output="$here/dist"

while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$2; shift ;;
    --models-dir) models_dir=$2; shift ;;
    --output) output=$2; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "package.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

for tool in cmake cpack dpkg-shlibdeps file; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "package.sh: $tool is missing; scripts/setup.sh installs it" >&2
    exit 1
  fi
done

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/usr -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_BENCH=OFF
fi
cmake --build "$build_dir"

models_dir=$(cd "$models_dir" 2>/dev/null && pwd || echo "$models_dir")
for model in YOLOv3TinyFP16.mlmodelc face-api; do
  if [ ! -d "$models_dir/$model" ]; then
    echo "package.sh: $models_dir/$model is not prepared; the package goes without it" >&2
  fi
done

mkdir -p "$output"
output=$(cd "$output" && pwd)
log=$(mktemp)
trap 'rm -f "$log"; rm -rf "$output/_CPack_Packages"' EXIT
if ! KESTREL_MODELS_DIR="$models_dir" cpack -G DEB --config "$build_dir/CPackConfig.cmake" \
       -B "$output" >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
package=$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$log")
echo "package: $package"
