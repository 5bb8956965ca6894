#!/usr/bin/env bash
# Runs a test program on a private D-Bus session bus. Exit status 77
# (ctest: skipped) when dbus-run-session is not installed.
set -euo pipefail
if ! command -v dbus-run-session >/dev/null 2>&1; then
  echo "skipped: dbus-run-session is not installed (apt-get install dbus-daemon)"
  exit 77
fi
exec dbus-run-session -- "$@"
