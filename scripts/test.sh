#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with CTest.
# The tests start their own Xvfb server and private PulseAudio daemon.
# A whole run (no arguments) then fails unless every test the build holds ran and passed
# (scripts/check-test-count.py); arguments are passed to ctest and select part of the suite.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
build=${ZIMLO_BUILD_DIR:-$top/build}
cd "$build"
results="$build/ctest-results.xml"
rm -f "$results"
status=0
ctest --output-on-failure --timeout 900 -j"$(nproc)" --output-junit "$results" "$@" || status=$?
if [ $# -eq 0 ]; then
  python3 "$top/scripts/check-test-count.py" "$build/tests/test-manifest.txt" "$results" || status=1
fi
exit $status
