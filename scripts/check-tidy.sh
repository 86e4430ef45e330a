#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) over every source file in src/ and fails on any finding.
# Needs a configured build directory for its compile commands (scripts/build.sh makes one).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMLO_BUILD_DIR:-$top/build}
if [ ! -f "$build/compile_commands.json" ]; then
  echo "check-tidy: no $build/compile_commands.json; run scripts/build.sh first" >&2
  exit 1
fi
start=$(date +%s)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
run-clang-tidy -p "$build" -j "$(nproc)" -quiet "$top/src/.*\.cpp$" 2>&1 | sed "s/\x1b\[[0-9;]*m//g" >"$log" || status=$?
findings=$(grep -E '^/.*: (warning|error): ' "$log" | sort -u || true)
if [ -n "$findings" ] || [ $status -ne 0 ]; then
  echo "$findings"
  [ -n "$findings" ] || tail -20 "$log"
  echo "check-tidy: $(printf '%s' "$findings" | grep -c . || true) finding(s); see .clang-tidy for the checks" >&2
  exit 1
fi
echo "check-tidy: src is clean ($(( $(date +%s) - start )) s)"
