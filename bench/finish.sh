#!/usr/bin/env bash
# Finish: how long a finished recording takes from the stop press until the home grid lists its
# draft, for a one-minute 1080p30 recording of the display with the camera window and subtitles.
# The end-to-end test (tests/e2e) records it through the real windows on its private Xvfb
# (1920x1080) and PulseAudio server, with the generated camera, a tone in the speakers and
# LibriVox speech in the microphone (recognised by the English model), drags the camera window
# once, stops, and prints the time. The finish mixes the two sounds, composes (camera window,
# subtitles), exports with libx264 and saves the draft.
#
# Peer, in the same run: ffmpeg doing the equivalent work in one command on the very raw movies
# the recording produced (hard links made while they were written, so the finish's clean-up does
# not take them): mix system audio (0.8) and microphone (1.0) to AAC 192 kb/s, scale to the render
# size, overlay the camera aspect-filled in a rounded window at the recorded positions, burn the
# recognised subtitles at their times from an ASS file, libx264 veryfast at our export bit rate
# with the same quantiser floor, +faststart. Prints wall (and CPU) times and the ratio.
#   FINISH_SECONDS=60 (recording length), FINISH_RESOLUTION=1080p, FINISH_WORK_DIR=dir (kept).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${ZIMLO_BUILD_DIR:-$here/../build}
e2e=$build/tests/e2e/e2e_recording_tests
[ -x "$e2e" ] || { echo "e2e_recording_tests not built at $e2e" >&2; exit 1; }
seconds=${FINISH_SECONDS:-60}
resolution=${FINISH_RESOLUTION:-1080p}

work=${FINISH_WORK_DIR:-$(mktemp -d)}
[ -n "${FINISH_WORK_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
mkdir -p "$work"
cd "$work"

echo "finish: recording ${seconds} s at ${resolution}30 with camera window and subtitles ($(uptime | sed 's/.*load/load/'))"
# TMPDIR inside the work folder: the hard links need the recordings on the same file system.
if ! TMPDIR="$work" ZIMLO_E2E_RECORD_SECONDS="$seconds" ZIMLO_E2E_RESOLUTION="$resolution" \
     ZIMLO_E2E_KEEP_DIR="$work/raw" "$e2e" > "$work/e2e.out" 2>&1; then
  tail -n 40 "$work/e2e.out" >&2
  echo "the end-to-end recording failed" >&2
  exit 1
fi
line=$(grep '^ZIMLO_E2E_FINISH ' "$work/e2e.out" | tail -n 1)
value() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<< "$line"; }
ours_wall=$(value finish_seconds)
ours_cpu=$(value finish_cpu_seconds)
recorded=$(value record_seconds)

# The peer's inputs from what the recording kept: rounded mask, subtitles, positions.
python3 - "$work" <<'PY'
import json, sys
work = sys.argv[1]
info = json.load(open(work + "/raw/recording.json"))
W, H = info["renderWidth"], info["renderHeight"]
track = info["pipTrack"]
w = round(track[0]["width"] * W) // 2 * 2
h = round(track[0]["height"] * H) // 2 * 2
r = 0.12 * min(w, h) / 2
def chain(values):
    expr = str(values[-1][1])
    for (t, v), (t_next, _) in reversed(list(zip(values, values[1:]))):
        expr = "if(lt(t,%.3f),%d,%s)" % (t_next, v, expr)
    return expr
xs = [(k["time"], round(k["centerX"] * W - w / 2)) for k in track]
ys = [(k["time"], round(k["centerY"] * H - h / 2)) for k in track]
layout = info["subtitleLayout"]
def ts(t):
    return "%d:%02d:%05.2f" % (t // 3600, t % 3600 // 60, t % 60)
with open(work + "/subs.ass", "w") as f:
    f.write("[Script Info]\nScriptType: v4.00+\nPlayResX: %d\nPlayResY: %d\n\n[V4+ Styles]\n" % (W, H) +
            "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, "
            "Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, "
            "Alignment, MarginL, MarginR, MarginV, Encoding\n"
            "Style: Default,Noto Sans CJK SC,%d,&H00FFFFFF,&H00FFFFFF,&H00000000,&H1A000000,-1,0,0,0,100,100,0,0,"
            "1,2,2,2,%d,%d,%d,1\n\n[Events]\n" % (round(65 * H / 1080), round(W * (1 - layout["maxWidth"]) / 2),
                                                 round(W * (1 - layout["maxWidth"]) / 2),
                                                 round(H * (1 - layout["centerY"]) - 40 * H / 1080)) +
            "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n")
    for s in info.get("subtitles", []):
        f.write("Dialogue: 0,%s,%s,Default,,0,0,0,,%s\n" % (ts(s["start"]), ts(s["end"]), s["text"]))
fps = info["framesPerSecond"]
rate = W * H * 4 * (fps / 30 if fps > 24 else 1)
rate = int(min(max(rate, 2_000_000), 48_000_000))
with open(work + "/peer.env", "w") as f:
    f.write("W=%d\nH=%d\nPW=%d\nPH=%d\nRADIUS=%.2f\nXEXPR='%s'\nYEXPR='%s'\nRATE=%d\nFPS=%d\n" %
            (W, H, w, h, r, chain(xs), chain(ys), rate, fps))
PY
# shellcheck disable=SC1091
. "$work/peer.env"
ffmpeg -v error -y -f lavfi -i "color=c=black:s=${PW}x${PH},format=gray" -frames:v 1 -vf \
  "geq=lum='255*lte(hypot(max(0,max($RADIUS-X,X-($PW-$RADIUS))),max(0,max($RADIUS-Y,Y-($PH-$RADIUS)))),$RADIUS)'" mask.png

measure() {  # name, command...: prints "wall cpu"
  local name=$1; shift
  /usr/bin/time -f "%e %U %S" -o "$work/$name.time" "$@" > "$work/$name.out" 2> "$work/$name.err" ||
    { cat "$work/$name.err" >&2; return 1; }
  awk '{printf "%.2f %.2f\n", $1, $2 + $3}' "$work/$name.time"
}
read -r peer_wall peer_cpu < <(measure ffmpeg ffmpeg -v error -y -i raw/screen.mov -i raw/camera.mov \
  -loop 1 -framerate "$FPS" -i mask.png -filter_complex \
  "[0:v]scale=$W:$H,fps=$FPS[bg];\
[1:v]scale=$PW:$PH:force_original_aspect_ratio=increase,crop=$PW:$PH,format=yuva420p[cam];[2:v]format=gray[mask];\
[cam][mask]alphamerge[win];\
[bg][win]overlay=x='$XEXPR':y='$YEXPR':eval=frame:shortest=1,subtitles=subs.ass[v];\
[0:a:0]volume=0.8[a0];[0:a:1]volume=1.0[a1];[a0][a1]amix=inputs=2:normalize=0[a]" \
  -map "[v]" -map "[a]" -c:v libx264 -preset veryfast -b:v "$RATE" -qmin 10 -pix_fmt yuv420p \
  -c:a aac -b:a 192k -movflags +faststart peer.mp4)

echo "zimlo finish (stop pressed -> draft listed): ${ours_wall} s wall, ${ours_cpu} s CPU for ${recorded} s recorded at ${W}x${H} ${FPS} fps"
echo "ffmpeg one-command equivalent on the same raw movies: ${peer_wall} s wall, ${peer_cpu} s CPU"
python3 -c "print('ratio: %.2fx wall, %.2fx CPU; finish takes %.2f s per recorded minute' % ($ours_wall / $peer_wall, $ours_cpu / $peer_cpu, 60 * $ours_wall / $recorded))"
echo "load after: $(uptime | sed 's/.*load average: //')"
