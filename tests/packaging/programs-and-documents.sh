#!/bin/sh
# The programs answer --help and --version without a desktop, the manual page documents every
# option and variable `zimlo --help` names, and the installed documents are written in English.
# usage: programs-and-documents.sh ZIMLO ZIMLO-TOOL VERSION ZIMLO-PAGE TOOL-PAGE METAINFO
set -eu
zimlo=$1 tool=$2 version=$3 page=$4 tool_page=$5 metainfo=$6
status=0
problem() {
  echo "$*" >&2
  status=1
}

help=$(env -u DISPLAY -u WAYLAND_DISPLAY "$zimlo" --help) || problem "zimlo --help failed"
printf '%s\n' "$help" | grep -q '^usage: zimlo' || problem "zimlo --help prints no usage"
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY "$zimlo" --version)" = "zimlo $version" ] ||
  problem "zimlo --version does not print 'zimlo $version'"
[ "$("$tool" --version)" = "zimlo-tool $version" ] ||
  problem "zimlo-tool --version does not print 'zimlo-tool $version'"

rendered=$(MANWIDTH=200 man -l "$page" 2>&1 | col -b)
for word in $(printf '%s\n' "$help" | grep -o -E -- '--?[a-z][a-z-]*|ZIMLO_[A-Z_]+' | sort -u); do
  printf '%s\n' "$rendered" | grep -q -F -- "$word" ||
    problem "zimlo --help names $word, the manual page does not"
done

# English: no Chinese outside the translated entries (xml:lang) of the metadata.
chinese='[\x{3000}-\x{303f}\x{3400}-\x{9fff}\x{ff00}-\x{ffef}]'
has_chinese() { LC_ALL=C.UTF-8 grep -q -P "$chinese"; }
for document in "$page" "$tool_page"; do
  if MANWIDTH=200 man -l "$document" 2>&1 | has_chinese; then
    problem "$(basename "$document") is not all in English"
  fi
done
if grep -v 'xml:lang=' "$metainfo" | has_chinese; then
  problem "the AppStream metadata has Chinese outside its zh-CN entries"
fi
grep -q '<summary>[A-Za-z]' "$metainfo" || problem "the AppStream metadata has no English summary"
exit $status
