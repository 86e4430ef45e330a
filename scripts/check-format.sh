#!/usr/bin/env bash
# Fails when a C++ file differs from what clang-format (.clang-format) makes of it.
# Fix with: clang-format -i $(git ls-files '*.h' '*.cpp' '*.c')
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.h' '*.cpp' '*.c')
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/zimlo-format.$$; then
  grep -E '^[^ ].*: (warning|error):' /tmp/zimlo-format.$$ | cut -d: -f1 | sort -u | sed 's/^/  not formatted: /'
  rm -f /tmp/zimlo-format.$$
  echo "check-format: run clang-format -i on the files above" >&2
  exit 1
fi
rm -f /tmp/zimlo-format.$$
echo "check-format: ${#files[@]} files formatted"
