#!/usr/bin/env bash
# Runs every benchmark (bench/*.sh other than this one) against the build in ./build (or
# $ZIMLO_BUILD_DIR). Each prints its own figures and a ratio against a peer run in the same
# script. Run on a quiet machine: the figures are CPU and wall times.
#   bench/run.sh            all benchmarks
#   bench/run.sh writer     only bench/writer.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export ZIMLO_BUILD_DIR=${ZIMLO_BUILD_DIR:-$(cd "$here/.." && pwd)/build}
"$here/../scripts/build.sh"
status=0
for script in "$here"/*.sh; do
  name=$(basename "$script" .sh)
  [ "$name" = run ] && continue
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
  echo "== $name"
  bash "$script" || { echo "== $name failed"; status=1; }
done
exit $status
