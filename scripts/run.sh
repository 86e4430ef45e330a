#!/usr/bin/env bash
# Installs what is missing, builds, and starts Zimlo on the current desktop.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
if [ -z "${DISPLAY:-}" ]; then
  cat >&2 <<MSG
zimlo: no graphical session found (DISPLAY is not set).
Zimlo records an X11 desktop, so it has to be started from inside one: log in to a desktop
session (on Wayland desktops Zimlo runs through XWayland), or, on a headless machine, start
a virtual display first, for example:
    Xvfb :1 -screen 0 1920x1080x24 &  DISPLAY=:1 $0
MSG
  exit 1
fi
exec "${ZIMLO_BUILD_DIR:-$top/build}/src/app/zimlo" "$@"
