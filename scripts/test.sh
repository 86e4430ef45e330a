#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with CTest.
# The tests start their own Xvfb server and private PulseAudio daemon.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
cd "${ZIMLO_BUILD_DIR:-$top/build}"
ctest --output-on-failure --timeout 900 -j"$(nproc)" "$@"
