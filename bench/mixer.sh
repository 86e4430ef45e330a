#!/usr/bin/env bash
# Screen-recording audio mixer on a 10-minute 1080p30 movie with two AAC tracks, against
# ffmpeg copying the video and mixing the two tracks (0.8 and 1.0) into AAC 192k.
# The tracks are what a screen recording holds, generated here: the system sound is music
# (plucked notes, a bass line, a swelling chord and pink-noise beats), the microphone is speech
# with a little hiss. Prints both wall times and ours over ffmpeg's (goal: at most 0.8); then,
# for information, ffmpeg with the AAC encoder's fast coder, and the same race on the two pure
# tones this benchmark used before (an input easy for one coder and hard for the other).
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

# The video: a 10 s 1080p30 clip (1 s for a shorter movie) repeated by stream copy.
"$tool" media synth-frames "$work/frames.bgra" 1920x1080 30
ffmpeg -v error -y -stream_loop $((seconds >= 10 ? 9 : 0)) -f rawvideo -pix_fmt bgra -s 1920x1080 -framerate 30 -i "$work/frames.bgra" \
  -c:v libx264 -preset ultrafast -x264-params 8x8dct=1 -profile:v high -pix_fmt yuv420p -b:v 8294400 -bf 0 \
  "$work/clip.mov"
rm -f "$work/frames.bgra"

# The sounds, each rendered once and looped. Speech: a few sentences in espeak-ng's voice, with
# its pauses, over pink-noise hiss 50 dB down. Music: 24 s (the bass line's period) of a lead
# note every quarter second, a bass note every two, a slowly swelling chord and pink-noise beats.
espeak-ng -v en-us -s 165 -w "$work/voice.wav" "Let me show you how this works. First, open the \
settings window and choose the screen you want to record. Then press the red button, and the \
recording starts after three seconds. When you are done, click stop, and the movie is saved in \
your videos folder. That is all there is to it."
ffmpeg -v error -y -i "$work/voice.wav" \
  -f lavfi -i "anoisesrc=color=pink:amplitude=0.003:seed=3:sample_rate=48000" \
  -filter_complex "[0]aresample=48000,volume=0.7[v];[v][1]amix=inputs=2:normalize=0:duration=first" \
  -c:a pcm_s16le "$work/speech.wav"
lead='0.12*sin(2*PI*t*440*pow(2,mod(floor(t*4)*7,12)/12))*exp(-5*mod(t,0.25))'
bass='0.18*sin(2*PI*t*110*pow(2,mod(floor(t/2)*5,12)/12))*(0.5+0.5*exp(-3*mod(t,0.5)))'
pad='0.05*(sin(2*PI*t*261.63)+sin(2*PI*t*329.63)+sin(2*PI*t*392))*(0.6+0.4*sin(2*PI*t/8))'
ffmpeg -v error -y \
  -f lavfi -i "aevalsrc=exprs='$lead+$bass+$pad|0.7*$lead+$bass+1.2*$pad':s=48000:d=24" \
  -f lavfi -i "anoisesrc=color=pink:amplitude=0.25:seed=7:sample_rate=48000:duration=24" \
  -filter_complex "[1]volume=eval=frame:volume='exp(-12*mod(t,0.5))',aformat=channel_layouts=stereo[n];[0][n]amix=inputs=2:normalize=0" \
  -c:a pcm_s16le "$work/music.wav"

make_movie() {  # output, then the ffmpeg inputs of the system sound and the microphone
  local output=$1
  shift
  ffmpeg -v error -y -stream_loop -1 -i "$work/clip.mov" "$@" \
    -map 0:v -map 1:a -map 2:a -t "$seconds" -c:v copy -c:a aac -b:a 128k -ac 2 "$output"
  cat "$output" > /dev/null  # both runs read from the page cache
}
make_movie "$work/in.mov" -stream_loop -1 -i "$work/music.wav" -stream_loop -1 -i "$work/speech.wav"
make_movie "$work/tones.mov" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000" -f lavfi -i "sine=frequency=660:sample_rate=48000"
rm -f "$work/clip.mov" "$work/voice.wav" "$work/speech.wav" "$work/music.wav"

seconds_since() { awk -v s="$1" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# ffmpeg's wall time mixing the same way; extra arguments go to its AAC encoder.
peer_run() {  # input, encoder arguments...
  local input=$1 start
  shift
  start=$(date +%s.%N)
  ffmpeg -v error -y -i "$input" \
    -filter_complex "[0:a:0]volume=0.8[a0];[0:a:1]volume=1.0[a1];[a0][a1]amix=inputs=2:normalize=0[a]" \
    -map 0:v -map "[a]" -c:v copy -c:a aac -b:a 192k "$@" "$work/peer.mov"
  seconds_since "$start"
  rm -f "$work/peer.mov"
}

race() {  # input, label
  local start out ours streams peer fast
  start=$(date +%s.%N)
  out=$(TMPDIR="$work" "$tool" media mix "$1")
  ours=$(seconds_since "$start")
  streams=$(ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 "$out" | tr '\n' ' ')
  rm -f "$out"
  peer=$(peer_run "$1")
  echo "mixer $2: ours ${ours}s (output: $streams) | ffmpeg ${peer}s | ratio $(ratio "$ours" "$peer") (goal: at most 0.8)"
  fast=$(peer_run "$1" -aac_coder fast)
  echo "  for information: ffmpeg -aac_coder fast ${fast}s, ours over it $(ratio "$ours" "$fast")"
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
race "$work/in.mov" "$length"
race "$work/tones.mov" "$length, pure tones (information)"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
