#!/usr/bin/env bash
# Key-word emphasis: SubtitleEmphasisDetector::emphasisRanges over 2,000 real sentences, 1,000
# Chinese ones from fortunes-zh and 1,000 English example sentences from WordNet's glosses,
# through `zimlo-tool text bench`. Prints the word tagger's load time (built from the sources
# into an empty cache, then mapped from the binary cache) and the mean time per sentence after
# loading; next to it, in the same run, Debian's jieba.posseg (/usr/bin/python3) tagging the
# Chinese half. Goals: load under 0.5 s, under 0.2 ms per sentence, at least 20 times faster
# than the Python tagger on the Chinese half.
#   EMPHASIS_SENTENCES (1000; 50 with BENCH_SMOKE=1) sentences of each language.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${ZIMLO_BUILD_DIR:-$here/../build}
tool=$build/tools/zimlo-tool/zimlo-tool
[ -x "$tool" ] || { echo "zimlo-tool not built at $tool" >&2; exit 1; }
if [ "${BENCH_SMOKE:-0}" = 1 ]; then count=${EMPHASIS_SENTENCES:-50}; else count=${EMPHASIS_SENTENCES:-1000}; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$here/emphasis_sentences.py" "$work" "$count" 2>&1
export XDG_CACHE_HOME=$work/cache

mean() { sed -n "s|^$1: .*mean of [0-9]* passes \([0-9.e-]*\) ms/sentence|\1|p"; }
load() { sed -n 's/^load: \([0-9.e-]*\) s.*/\1/p'; }

cold=$("$tool" text bench "$work/zh.txt")
warm=$("$tool" text bench "$work/zh.txt" "$work/en.txt")
peer=$(/usr/bin/python3 "$here/emphasis_jieba.py" "$work/zh.txt")
echo "zimlo, first load (dictionaries built from their sources, cache written):"
echo "$cold" | sed -n '1p' | sed 's/^/  /'
echo "zimlo, later loads and emphasisRanges:"
echo "$warm" | sed "s|$work/||" | sed 's/^/  /'
echo "peer, jieba.posseg on the Chinese half:"
echo "$peer" | sed "s|$work/||" | sed 's/^/  /'

zh=$(echo "$warm" | mean "$work/zh.txt")
en=$(echo "$warm" | mean "$work/en.txt")
py=$(echo "$peer" | mean "$work/zh.txt")
warmLoad=$(echo "$warm" | load)
coldLoad=$(echo "$cold" | load)
pyLoad=$(echo "$peer" | load)
awk -v zh="$zh" -v en="$en" -v py="$py" -v wl="$warmLoad" -v cl="$coldLoad" -v pl="$pyLoad" -v n="$((2 * count))" 'BEGIN {
  all = (zh + en) / 2
  printf "load: %.4f s from the cache (goal < 0.5 s), %.3f s building it; jieba.posseg %.3f s\n", wl, cl, pl
  printf "mean per sentence over %d: %.4f ms (goal < 0.2 ms); Chinese %.4f ms, English %.4f ms\n", n, all, zh, en
  printf "Chinese half: jieba.posseg %.4f ms / zimlo %.4f ms, ratio %.1fx faster (goal >= 20x)\n", py, zh, py / zh
}'
