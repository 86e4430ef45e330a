#!/bin/sh
# Every command group `zimlo-tool help` lists has an entry in the manual page.
# usage: man-page-lists-commands.sh ZIMLO-TOOL PAGE
set -eu
tool=$1
page=$2
rendered=$(MANWIDTH=200 man -l "$page" 2>&1 | col -b)
missing=0
for group in $("$tool" help | sed -n -E 's/^  (zimlo-tool )?([a-z][a-z-]*).*/\2/p' | sort -u); do
  if ! printf '%s\n' "$rendered" | grep -q -E "^ {7}$group( |\$)"; then
    echo "the manual page has no entry for '$group'" >&2
    missing=1
  fi
done
exit $missing
