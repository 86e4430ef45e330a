#!/usr/bin/env bash
# Configures and builds the project into ./build (or $ZIMLO_BUILD_DIR).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMLO_BUILD_DIR:-$top/build}
# ZIMLO_WERROR=ON (as CI sets it) makes every compiler warning an error.
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${ZIMLO_BUILD_TYPE:-RelWithDebInfo} \
  -DZIMLO_WERROR=${ZIMLO_WERROR:-OFF} >/dev/null
cmake --build "$build" -j"$(nproc)"
