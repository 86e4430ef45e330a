#!/usr/bin/env bash
# Runs every benchmark (bench/*.sh other than this one) against the build in ./build (or
# $ZIMLO_BUILD_DIR). Each prints its own figures and a ratio against a peer run in the same
# script. Run on a quiet machine: the figures are CPU and wall times.
#   bench/run.sh                 all benchmarks
#   bench/run.sh writer          only bench/writer.sh
#   BENCH_SMOKE=1 bench/run.sh   each at its shortest (recordings of a few seconds, one round),
#                                to show that every benchmark still runs: fails when one fails or
#                                prints no result line. Its figures mean nothing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export ZIMLO_BUILD_DIR=${ZIMLO_BUILD_DIR:-$(cd "$here/.." && pwd)/build}
export BENCH_SMOKE=${BENCH_SMOKE:-0}
"$here/../scripts/build.sh"

# A benchmark's result: the audio - video offset of a flash for each of av-sync's two sounds, a
# positive ratio against its peer for the others.
has_result() {  # name, output file
  if [ "$1" = av-sync ]; then
    [ "$(grep -Ec 'audio - video at [0-9]+ s [+-][0-9]+ ms' "$2")" -ge 2 ]
  else
    awk 'match($0, /ratio[^0-9]*[0-9]+(\.[0-9]+)?/) {
           value = substr($0, RSTART, RLENGTH); sub(/^ratio[^0-9]*/, "", value)
           if (value + 0 > 0) found = 1 }
         END { exit !found }' "$2"
  fi
}

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
failed=()
started=$(date +%s)
for script in "$here"/*.sh; do
  name=$(basename "$script" .sh)
  [ "$name" = run ] && continue
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
  echo "== $name"
  began=$(date +%s)
  if ! bash "$script" 2>&1 | tee "$out/$name.txt"; then
    echo "== $name failed"
    failed+=("$name (failed)")
  elif ! has_result "$name" "$out/$name.txt"; then
    echo "== $name printed no result line"
    failed+=("$name (no result line)")
  fi
  if [ "$BENCH_SMOKE" = 1 ]; then echo "== $name took $(($(date +%s) - began)) s"; fi
done
if [ ${#failed[@]} -gt 0 ]; then
  status=1
  echo "benchmarks that did not run through: ${failed[*]}"
fi
if [ "$BENCH_SMOKE" = 1 ]; then
  echo "smoke run: $(($(date +%s) - started)) s (load average $(cut -d' ' -f1-3 /proc/loadavg))"
fi
exit $status
