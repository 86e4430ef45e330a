#!/usr/bin/env bash
# Installs what is missing, builds, and starts Zimlo on the current desktop. Without a desktop
# (neither DISPLAY nor WAYLAND_DISPLAY set) it runs the demo instead: Zimlo on a private virtual
# desktop, driven through one recording; its draft and screenshots go to <build>/demo.
# Arguments go to Zimlo, or to the demo (--keep-open keeps its virtual desktop up afterwards).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMLO_BUILD_DIR:-$top/build}
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$build/src/app/zimlo" "$@"
fi
exec "$build/tools/zimlo-demo/zimlo-demo" --output "$build/demo" "$@"
