#!/usr/bin/env bash
# Renders the window's pictures for the documentation into docs/screenshots/
# on a virtual X server: idle (light, dark), the advanced settings, a run in progress and a
# finished run (light, dark). Each picture is taken by the application
# itself (kestrel --screenshot) once it reaches that state, in a fresh home
# folder so no preference of this machine shows.
#
#   scripts/screenshots.sh [BUILD_DIR]
#
# Needs the shared race photos and models (../shared, or KESTREL_SHARED).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$here/build}
shared=${KESTREL_SHARED:-$here/../shared}
photos=$shared/photos/race-large
models=$shared/models
out=$here/docs/screenshots
demo=/tmp/kestrel-demo

for need in "$photos" "$models/yolo-fastest-1.1-xl" "$models/face-api"; do
  [ -d "$need" ] || { echo "screenshots: $need is missing" >&2; exit 1; }
done
command -v xvfb-run >/dev/null || { echo "screenshots: xvfb-run is missing (apt-get install xvfb xauth)" >&2; exit 1; }
cmake --build "$build" --target kestrel

rm -rf "$demo"
mkdir -p "$demo/EOS_DIGITAL/DCIM/100CANON" "$out"
cp "$photos"/*.JPG "$photos"/*.jpg "$demo/EOS_DIGITAL/DCIM/100CANON/"

# One fresh home per picture: the event fields and the window size are the
# only preferences, fixed here so every picture shows the same.
shot() {
  local name=$1; shift
  local home=$demo/home
  rm -rf "$home" "$demo/results"
  mkdir -p "$home/.config/Kestrel"
  cat > "$home/.config/Kestrel/kestrel.conf" <<'CONF'
[General]
eventName=城市半程马拉松
eventDate=2026-04-05

[window]
size=@Size(1280 900)
CONF
  HOME=$home XDG_CONFIG_HOME=$home/.config XDG_PICTURES_DIR= \
    KESTREL_MODEL=$models/yolo-fastest-1.1-xl KESTREL_FACE_MODEL=$models/face-api \
    xvfb-run -a -s "-screen 0 1440x1000x24" \
    "$build/bin/kestrel" --output "$demo/results" --screenshot "$out/$name.png" "$@" \
    "$demo/EOS_DIGITAL/DCIM/100CANON" 2>/dev/null
  echo "screenshots: $out/$name.png"
}

shot idle-light --appearance light
shot idle-dark --appearance dark
shot settings-light --appearance light --screenshot-at settings
shot running-light --appearance light --start --screenshot-at progress
shot finished-light --appearance light --start --screenshot-at finished
shot finished-dark --appearance dark --start --screenshot-at finished
rm -rf "$demo"
