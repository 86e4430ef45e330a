#!/usr/bin/env bash
# Movie writer at 1920x1080, 30 and 60 fps, 20 s paced in real time with two sound streams,
# against ffmpeg encoding the same raw pictures with the same encoder settings (libx264
# ultrafast + 8x8dct = High profile, the writer's bit rate, qpmin 12, no B-frames; AAC 128k).
# Prints frames dropped and CPU seconds per recorded second for both, and our CPU over theirs.
#   WRITER_SECONDS (20; 2 with BENCH_SMOKE=1) sets each recording's length.
set -euo pipefail
build=${ZIMLO_BUILD_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build}
tool="$build/tools/zimlo-tool/zimlo-tool"
if [ "${BENCH_SMOKE:-0}" = 1 ]; then seconds=${WRITER_SECONDS:-2}; else seconds=${WRITER_SECONDS:-20}; fi
work=$(mktemp -d /tmp/zimlo-bench-writer.XXXXXX)
trap 'rm -rf "$work"' EXIT

"$tool" media synth-frames "$work/frames.bgra" 1920x1080 30
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for fps in 30 60; do
  bitrate=$(( 1920 * 1080 * 4 * (fps / 30) ))
  # A movie of its own per round: the writer never replaces a file that is already there.
  movie="$work/ours_$fps.mov"
  ours=$("$tool" media record-synthetic "$work/frames.bgra" 1920x1080 "$fps" "$seconds" "$movie")
  our_dropped=$(sed -E 's/.* dropped ([0-9]+) .*/\1/' <<<"$ours")
  our_cpu=$(sed -E 's/.*cpu-per-second ([0-9.]+).*/\1/' <<<"$ours")
  our_frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$movie")
  rm -f "$movie"

  /usr/bin/time -f "%e %U %S" -o "$work/time" \
    ffmpeg -v error -nostats -y -re -stream_loop -1 -f rawvideo -pix_fmt bgra -s 1920x1080 -framerate "$fps" \
      -thread_queue_size 1024 -i "$work/frames.bgra" \
      -f lavfi -i "sine=frequency=440:sample_rate=48000" -f lavfi -i "sine=frequency=660:sample_rate=48000" \
      -map 0:v -map 1:a -map 2:a -t "$seconds" \
      -c:v libx264 -preset ultrafast -x264-params 8x8dct=1 -profile:v high -pix_fmt yuv420p \
      -b:v "$bitrate" -qmin 12 -bf 0 -c:a aac -b:a 128k -ac 2 "$work/peer_$fps.mov"
  read -r peer_wall peer_user peer_sys < "$work/time"
  peer_frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$work/peer_$fps.mov")
  rm -f "$work/peer_$fps.mov"
  peer_cpu=$(awk -v u="$peer_user" -v s="$peer_sys" -v d="$seconds" 'BEGIN { printf "%.3f", (u + s) / d }')
  ratio=$(awk -v a="$our_cpu" -v b="$peer_cpu" 'BEGIN { printf "%.2f", a / b }')
  # On a busy machine the two fall behind differently (we drop, ffmpeg runs late), so the CPU
  # per written frame is compared as well.
  our_ms=$(awk -v c="$our_cpu" -v d="$seconds" -v f="$our_frames" 'BEGIN { printf "%.1f", 1000 * c * d / f }')
  peer_ms=$(awk -v c="$peer_cpu" -v d="$seconds" -v f="$peer_frames" 'BEGIN { printf "%.1f", 1000 * c * d / f }')
  frame_ratio=$(awk -v a="$our_ms" -v b="$peer_ms" 'BEGIN { printf "%.2f", a / b }')
  echo "writer ${fps}fps: ours dropped $our_dropped of $((fps * seconds)) (file $our_frames frames), cpu/s $our_cpu," \
       "${our_ms} ms/frame | ffmpeg wall ${peer_wall}s for ${seconds}s (file $peer_frames frames), cpu/s $peer_cpu," \
       "${peer_ms} ms/frame | cpu ratio $ratio, per-frame ratio $frame_ratio"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
