#!/usr/bin/env bash
# Fails when a C++ source file of the project differs from what the
# committed .clang-format makes of it (clang-format-14, as CI runs it).
#   scripts/check_format.sh          check
#   scripts/check_format.sh --fix    reformat in place
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
formatter=$(command -v clang-format-14 || command -v clang-format)
mapfile -t files < <(find core app cli tests bench fuzz -name '*.cpp' -o -name '*.h' 2>/dev/null | sort)
if [ "${1:-}" = --fix ]; then
  "$formatter" -i "${files[@]}"
else
  "$formatter" --dry-run -Werror "${files[@]}"
fi
