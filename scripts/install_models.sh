#!/usr/bin/env bash
# Copies the prepared detection models into PREFIX/share/kestrel, where an
# installed Kestrel (PREFIX/bin/kestrel and kestrel-batch) finds them without
# --model or --face-model:
#   Models/YOLOv3TinyFP16.mlmodelc/  the person model (scripts/setup_models.sh)
#   Models/face-api/                 the face detector
#
#   scripts/install_models.sh [--models-dir DIR] PREFIX
#
# A model installed before is replaced; each appears complete or not at all.
# Exit status 0 when both are installed, 1 when one is not prepared or
# cannot be written, 2 for usage errors.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
models_dir="$here/Models"
prefix=""

while [ $# -gt 0 ]; do
  case "$1" in
    --models-dir) models_dir=${2:-}; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    -*) echo "install_models.sh: unknown option $1" >&2; exit 2 ;;
    *) [ -z "$prefix" ] || { echo "install_models.sh: one PREFIX only" >&2; exit 2; }
       prefix=$1 ;;
  esac
  shift
done
[ -n "$prefix" ] || { echo "usage: scripts/install_models.sh [--models-dir DIR] PREFIX" >&2; exit 2; }

destination="$prefix/share/kestrel"
status=0

# Copies one model folder beside its destination under a hidden name, then
# swaps it in, so a reader never sees half a model.
install_one() {
  local name=$1 from="$models_dir/$1" to="$destination/$1"
  local staging="$destination/.$name.partial.$$" old="$destination/.$name.old.$$"
  if [ ! -d "$from" ]; then
    echo "install_models: $from is not prepared; run scripts/setup.sh first" >&2
    return 1
  fi
  rm -rf "$staging" "$old"
  if cp -R "$from" "$staging" && chmod -R u+rwX,go=rX "$staging" &&
     { [ ! -e "$to" ] || mv -T "$to" "$old"; } && mv -T "$staging" "$to"; then
    rm -rf "$old"
    echo "install_models: $to"
    return 0
  fi
  rm -rf "$staging"
  [ -e "$old" ] && [ ! -e "$to" ] && mv -T "$old" "$to"
  echo "install_models: could not write $to" >&2
  return 1
}

if ! mkdir -p "$destination"; then
  echo "install_models: cannot create $destination" >&2
  exit 1
fi
chmod go+rx "$destination" 2>/dev/null
install_one YOLOv3TinyFP16.mlmodelc || status=1
install_one face-api || status=1
exit $status
