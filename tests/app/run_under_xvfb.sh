#!/usr/bin/env bash
# Runs a test program on a virtual X server. Exit status 77 (ctest: skipped)
# when xvfb-run is not installed.
set -euo pipefail
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "skipped: xvfb-run is not installed (apt-get install xvfb xauth)"
  exit 77
fi
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
