#!/usr/bin/env bash
# Checks an installation of Kestrel from a finished build, end to end:
#   1. `cmake --install --component program` into a temporary prefix: the
#      layout; desktop-file-validate and appstreamcli validate clean; the
#      manual page and bash completion know every option of --help; the
#      installed kestrel-batch runs a copy batch, fails an auto batch without
#      models, and runs it once scripts/install_models.sh has put them into
#      the prefix, reading them from there;
#   2. a full `cmake --install` carries the models itself;
#   3. scripts/package.sh makes the .deb; as root, dpkg -i installs it,
#      /usr/bin/kestrel-batch runs an auto batch with the packaged models, and
#      apt-get remove leaves none of the package's files behind.
#
#   scripts/test_install.sh [BUILD_DIR]        (default build/)
#
# KESTREL_TEST_DATA names the shared photos, KESTREL_TEST_MODELS the shared
# models (yolo-fastest-1.1-xl/, face-api/). Exit status 77 (skipped) when
# they or the tools are missing, and after parts 1 and 2 passed when not
# root or when a kestrel package is installed already (it is left alone).
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$(cd "${1:-$here/build}" && pwd) || exit 1
app_id=io.github.kestrel_photo.kestrel

skip() { echo "test_install: SKIPPED: $*"; exit 77; }
fail() { echo "test_install: FAILED: $*" >&2; exit 1; }
step() { echo "== $*"; }

for tool in cmake desktop-file-validate appstreamcli man dpkg-shlibdeps file; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is missing (scripts/setup.sh installs it)"
done
[ -x "$build_dir/bin/kestrel-batch" ] && [ -x "$build_dir/bin/kestrel" ] ||
  skip "$build_dir holds no built kestrel and kestrel-batch"
data=${KESTREL_TEST_DATA:-}
shared_models=${KESTREL_TEST_MODELS:-}
[ -n "$data" ] && [ -n "$shared_models" ] || skip "KESTREL_TEST_DATA and KESTREL_TEST_MODELS are not set"
photos=""
for folder in race-large bibs-dev race-small; do
  if compgen -G "$data/$folder/*.jpg" >/dev/null; then photos="$data/$folder"; break; fi
done
[ -n "$photos" ] || skip "no photos in $data (race-large/, bibs-dev/ or race-small/)"
[ -d "$shared_models/yolo-fastest-1.1-xl" ] && [ -d "$shared_models/face-api" ] ||
  skip "$shared_models lacks yolo-fastest-1.1-xl/ or face-api/"

scratch=$(mktemp -d)
installed_package=0
cleanup() {
  if [ "$installed_package" = 1 ]; then dpkg --purge kestrel >/dev/null 2>&1; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# The models as scripts/setup.sh prepares them, in a folder of their own
# (lower-case "models": no search place of the installed programs).
models="$scratch/models"
mkdir -p "$models"
cp -R "$shared_models/face-api" "$models/face-api"
"$here/scripts/setup_models.sh" --models-dir "$models" \
  --models-from "$shared_models/yolo-fastest-1.1-xl" >/dev/null
[ -d "$models/YOLOv3TinyFP16.mlmodelc" ] || fail "setup_models.sh prepared no person model"

# Runs a batch of the first three photos; prints the result line.
# batch BINARY MODE OUTPUT [expected exit status]
batch() {
  local out status
  out=$(cd "$scratch" && "$1" --input "$photos" --output "$3" --mode "$2" --limit 3 \
          --workers 2 2>"$scratch/stderr")
  status=$?
  if [ "$status" != "${4:-0}" ]; then
    cat "$scratch/stderr" >&2
    fail "$1 --mode $2 exited with $status, not ${4:-0}"
  fi
  echo "$out" | head -n 1
}

# The model path the batch under OUTPUT used, from its summary.json.
model_used() {
  python3 -c 'import json, sys; print(json.load(open(sys.argv[1])).get("modelPath", ""))' \
    "$(ls -d "$1"/*/ | head -n 1)summary.json"
}

# Every option of kestrel-batch --help must appear in FILE.
# options_in FILE [SED-EXPRESSION turning "--name" into the file's spelling]
options_in() {
  local option spelled
  for option in $("$prefix/bin/kestrel-batch" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    spelled=$option
    [ -z "${2:-}" ] || spelled=$(echo "$option" | sed -e "$2")
    grep -qF -- "$spelled" "$1" || fail "$1 does not mention $option"
  done
}

# --- 1. the program alone, then its models ---------------------------------
prefix="$scratch/prefix"
step "cmake --install --component program --prefix $prefix"
cmake --install "$build_dir" --prefix "$prefix" --component program >/dev/null ||
  fail "cmake --install"
for path in bin/kestrel bin/kestrel-batch share/applications/$app_id.desktop \
            share/metainfo/$app_id.metainfo.xml share/icons/hicolor/scalable/apps/$app_id.svg \
            share/man/man1/kestrel.1.gz share/man/man1/kestrel-batch.1.gz \
            share/bash-completion/completions/kestrel-batch share/doc/kestrel/copyright \
            share/doc/kestrel/changelog.gz; do
  [ -f "$prefix/$path" ] || fail "$path is not installed"
done
[ ! -e "$prefix/share/kestrel" ] || fail "the program component installed models"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
zcat "$prefix/share/doc/kestrel/changelog.gz" >"$scratch/changelog"
[ "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)" = "$version" ] ||
  fail "the changelog has no entry for $version"

step "desktop-file-validate, appstreamcli validate and validate-tree --no-net"
report=$(desktop-file-validate "$prefix/share/applications/$app_id.desktop" 2>&1)
[ -z "$report" ] || fail "desktop-file-validate: $report"
report=$(appstreamcli validate --no-net --pedantic "$prefix/share/metainfo/$app_id.metainfo.xml" 2>&1) ||
  fail "appstreamcli validate: $report"
echo "$report" | grep -q '^[EWIP]:' && fail "appstreamcli validate: $report"
echo "$report"
# The tree as a whole: metainfo, desktop entry and icon under one id.
report=$(appstreamcli validate-tree --no-net --pedantic "$prefix" 2>&1) ||
  fail "appstreamcli validate-tree: $report"
echo "$report" | grep -q '^[EWIP]:' && fail "appstreamcli validate-tree: $report"

step "manual pages and completion against --help"
for page in kestrel kestrel-batch; do
  report=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l \
             "$prefix/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$report" ] || fail "man $page: $report"
done
zcat "$prefix/share/man/man1/kestrel-batch.1.gz" >"$scratch/kestrel-batch.1"
options_in "$scratch/kestrel-batch.1" 's/-/\\-/g'  # roff writes a plain "-" as \-
options_in "$prefix/share/bash-completion/completions/kestrel-batch"
bash -c "source '$prefix/share/bash-completion/completions/kestrel-batch' &&
         complete -p kestrel-batch" >/dev/null || fail "the completion does not load"

step "installed kestrel-batch: copy batch, auto batch without and with models"
batch "$prefix/bin/kestrel-batch" copy "$scratch/out-copy" >/dev/null
configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build_dir/CMakeCache.txt")
if [ ! -e "$configured/share/kestrel" ]; then
  batch "$prefix/bin/kestrel-batch" auto "$scratch/out-none" 1 >/dev/null
  grep -q "未找到人物检测模型" "$scratch/stderr" || fail "no model: $(cat "$scratch/stderr")"
fi
"$here/scripts/install_models.sh" --models-dir "$models" "$prefix" >/dev/null ||
  fail "install_models.sh"
batch "$prefix/bin/kestrel-batch" auto "$scratch/out-auto"
used=$(model_used "$scratch/out-auto")
[ "$used" = "$prefix/share/kestrel/YOLOv3TinyFP16.mlmodelc" ] ||
  fail "the auto batch used the model '$used', not the prefix's"

# --- 2. the full installation carries the models ---------------------------
step "cmake --install (all components) with KESTREL_MODELS_DIR"
KESTREL_MODELS_DIR="$models" cmake --install "$build_dir" --prefix "$scratch/full" >/dev/null ||
  fail "cmake --install"
for file in YOLOv3TinyFP16.mlmodelc/model.weights face-api/tiny_face_detector_model.bin; do
  cmp -s "$models/$file" "$scratch/full/share/kestrel/$file" || fail "share/kestrel/$file"
done

# --- 3. the Debian package --------------------------------------------------
[ "$(id -u)" = 0 ] || skip "installing the .deb needs root (parts 1 and 2 passed)"
if dpkg-query -W -f='${Status}' kestrel 2>/dev/null | grep -q "install ok installed"; then
  skip "a kestrel package is installed already; it is left alone (parts 1 and 2 passed)"
fi
step "scripts/package.sh"
made=$("$here/scripts/package.sh" --build-dir "$build_dir" --models-dir "$models" \
         --output "$scratch/dist" 2>&1) || fail "package.sh: $made"
deb=$(echo "$made" | sed -n 's/^package: //p')
[ "$(basename "$deb")" = "kestrel_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "package file $deb"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in fonts-noto-cjk tesseract-ocr-eng libtesseract5 libexiv2-27 libqt6svg6 libopencv-dnn libjpeg62-turbo; do
  [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
[ "$(dpkg-deb -f "$deb" Section)" = graphics ] || fail "Section is not graphics"

step "dpkg -i $(basename "$deb")"
installed_package=1
DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" || fail "dpkg -i"
/usr/bin/kestrel-batch --help >/dev/null || fail "/usr/bin/kestrel-batch --help"
batch /usr/bin/kestrel-batch auto "$scratch/out-deb"
used=$(model_used "$scratch/out-deb")
[ "$used" = /usr/share/kestrel/YOLOv3TinyFP16.mlmodelc ] ||
  fail "the packaged kestrel-batch used the model '$used'"

step "apt-get remove -y kestrel"
dpkg -L kestrel >"$scratch/files"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq kestrel >/dev/null || fail "apt-get remove"
installed_package=0
while IFS= read -r path; do
  [ "$path" = /. ] && continue
  if [ -d "$path" ] && [ ! -L "$path" ]; then
    # A folder may stay only when another package has it too.
    dpkg -S "$path" >/dev/null 2>&1 || fail "$path is left behind"
  elif [ -e "$path" ] || [ -L "$path" ]; then
    fail "$path is left behind"
  fi
done <"$scratch/files"
[ ! -e /usr/share/kestrel ] || fail "/usr/share/kestrel is left behind"
dpkg-query -W -f='${Status}' kestrel 2>/dev/null | grep -q "ok installed" &&
  fail "kestrel is still installed"
echo "test_install: $(wc -l <"$scratch/files") paths installed and removed; all checks passed"
