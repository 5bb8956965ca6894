#!/usr/bin/env bash
# Person models side by side (bench/model_compare.cpp): yolo-fastest-1.1-xl
# with its published weights, and YOLOv3-tiny with the cfg of Debian's
# darknet package and random weights of the right size (timing only; its
# published weights are not reachable from these machines).
#
#   bench/models.sh [BUILD_DIR]     (KESTREL_TEST_DATA, KESTREL_TEST_MODELS as for the tests)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$here/build}
shared=${KESTREL_SHARED:-$here/../shared}
export KESTREL_TEST_DATA=${KESTREL_TEST_DATA:-$shared/photos}
models=${KESTREL_TEST_MODELS:-$shared/models}
tiny=/usr/share/darknet/cfg/yolov3-tiny.cfg
if [ ! -f "$tiny" ]; then
  sudo_cmd=(); [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq darknet >/dev/null
fi
cmake --build "$build" --target model_compare >/dev/null
fastest=$models/yolo-fastest-1.1-xl/yolo-fastest-1.1-xl
"$build/bin/model_compare" "yolo-fastest-1.1-xl=$fastest.cfg:$fastest.weights" "yolov3-tiny=$tiny"
