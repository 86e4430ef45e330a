#!/usr/bin/env bash
# Screen-recording audio mixer on a 10-minute 1080p30 movie with two AAC tracks, against
# ffmpeg copying the video and mixing the two tracks (0.8 and 1.0) into AAC 192k.
# Prints both wall times and ours over ffmpeg's (goal: at most 0.8).
#   MIXER_MINUTES (10) or MIXER_SECONDS sets the movie's length; BENCH_SMOKE=1 makes it 2 s.
set -euo pipefail
build=${ZIMLO_BUILD_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build}
tool="$build/tools/zimlo-tool/zimlo-tool"
if [ "${BENCH_SMOKE:-0}" = 1 ]; then
  seconds=${MIXER_SECONDS:-2}
else
  seconds=${MIXER_SECONDS:-$((${MIXER_MINUTES:-10} * 60))}
fi
if [ $((seconds % 60)) -eq 0 ]; then length="$((seconds / 60))min"; else length="${seconds}s"; fi
work=$(mktemp -d /tmp/zimlo-bench-mixer.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The input: a 10 s 1080p30 clip (1 s for a shorter movie) repeated by stream copy, with two
# tone tracks.
"$tool" media synth-frames "$work/frames.bgra" 1920x1080 30
ffmpeg -v error -y -stream_loop $((seconds >= 10 ? 9 : 0)) -f rawvideo -pix_fmt bgra -s 1920x1080 -framerate 30 -i "$work/frames.bgra" \
  -c:v libx264 -preset ultrafast -x264-params 8x8dct=1 -profile:v high -pix_fmt yuv420p -b:v 8294400 -bf 0 \
  "$work/clip.mov"
ffmpeg -v error -y -stream_loop -1 -i "$work/clip.mov" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000" -f lavfi -i "sine=frequency=660:sample_rate=48000" \
  -map 0:v -map 1:a -map 2:a -t "$seconds" -c:v copy -c:a aac -b:a 128k -ac 2 "$work/in.mov"
rm -f "$work/frames.bgra" "$work/clip.mov"
cat "$work/in.mov" > /dev/null  # both runs read from the page cache

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
start=$(date +%s.%N)
out=$(TMPDIR="$work" "$tool" media mix "$work/in.mov")
ours=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - s }')
streams=$(ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 "$out" | tr '\n' ' ')
rm -f "$out"

start=$(date +%s.%N)
ffmpeg -v error -y -i "$work/in.mov" \
  -filter_complex "[0:a:0]volume=0.8[a0];[0:a:1]volume=1.0[a1];[a0][a1]amix=inputs=2:normalize=0[a]" \
  -map 0:v -map "[a]" -c:v copy -c:a aac -b:a 192k "$work/peer.mov"
peer=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - s }')
ratio=$(awk -v a="$ours" -v b="$peer" 'BEGIN { printf "%.2f", a / b }')
echo "mixer ${length}: ours ${ours}s (output: $streams) | ffmpeg ${peer}s | ratio $ratio (goal: at most 0.8)"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
