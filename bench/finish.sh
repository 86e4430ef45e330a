#!/usr/bin/env bash
# Finish: how long a finished recording takes from the stop press until the home grid lists its
# draft, for a recording of the display with the camera window and subtitles (one minute of
# 1080p30 by default). The end-to-end test (tests/e2e) records it through the real windows on its
# private Xvfb (1920x1080) and PulseAudio server, with the generated camera, a tone in the
# speakers and LibriVox speech in the microphone (recognised by the English model), drags the
# camera window once, stops, and prints the time. The composed movie is made while the recording
# runs, at idle priority, and the stop composes only its last seconds; the recording is made
# FINISH_RUNS times (3) and the median is the figure.
#
# Beside it, on the same machine and in the same run:
# - the same recording with all of the composition after the stop (ZIMLO_E2E_FOLLOW=0), as the
#   finish worked before: its stop-to-draft time, and the frames and CPU of both recordings;
# - today's post-stop export on the first recording's raw movies (zimlo-tool export), timed;
# - the peer: ffmpeg doing the equivalent work in one command on the very raw movies the
#   recording produced (hard links made while they were written, so the finish's clean-up does
#   not take them): mix system audio (0.8) and microphone (1.0) to AAC 192 kb/s, scale to the
#   render size, overlay the camera aspect-filled in a rounded window at the recorded positions,
#   burn the recognised subtitles at their times from an ASS file, libx264 veryfast at our export
#   bit rate with the same quantiser floor, +faststart. Both take the screen picture shown at
#   each frame time the same way (the last one that began). Prints wall (and CPU) times and the
#   ratio.
#
# Where the time goes, on the same raw movies: the finish's stages as the window showed them
# (files reported, export started, draft saved, draft listed), the export alone taken apart by
# `zimlo-tool export --stages` (decoding, then decoding and drawing, then the whole export with
# encoding, sound and writing), the encoder alone on the composed frames (fed raw: the floor), the
# separate mixing pass (which the finish only runs for drafts that are not composed) and a copy of
# the movie into a draft (which the finish no longer makes: the draft takes the movie as it is).
# Picture quality: SSIM and PSNR of the draft, of today's post-stop export of the same recording
# and of the peer's movie against the same reference frames, the raw screen picture at each frame
# time, with the camera window and the subtitle band left out of every picture (they draw those
# differently).
#   FINISH_SECONDS=60 (recording length; 600 for the ten-minute figure; 4, the shortest, with
#   BENCH_SMOKE=1, which also makes one run), FINISH_RESOLUTION=1080p
#   (or 4K, recorded on a 3840x2160 Xvfb), FINISH_FPS=30 (or 60), FINISH_RUNS=3,
#   FINISH_POST_RUNS=1 (recordings composed after the stop, taken in turn with the others and
#   compared by their median: where both finishes cost about the same, as at 60 fps and at 4K
#   where the composition gives way to the capture, one of each says little),
#   FINISH_WORK_DIR=dir (kept).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${ZIMLO_BUILD_DIR:-$here/../build}
e2e=$build/tests/e2e/e2e_recording_tests
tool=$build/tools/zimlo-tool/zimlo-tool
[ -x "$e2e" ] || { echo "e2e_recording_tests not built at $e2e" >&2; exit 1; }
[ -x "$tool" ] || { echo "zimlo-tool not built at $tool" >&2; exit 1; }
load() { cut -d' ' -f1-3 /proc/loadavg; }
if [ "${BENCH_SMOKE:-0}" = 1 ]; then seconds=${FINISH_SECONDS:-4}; else seconds=${FINISH_SECONDS:-60}; fi
resolution=${FINISH_RESOLUTION:-1080p}
fps=${FINISH_FPS:-30}
if [ "${BENCH_SMOKE:-0}" = 1 ]; then runs=${FINISH_RUNS:-1}; else runs=${FINISH_RUNS:-3}; fi
post_runs=${FINISH_POST_RUNS:-1}
[ "$post_runs" -le "$runs" ] || { echo "FINISH_POST_RUNS is at most FINISH_RUNS" >&2; exit 1; }
screen=1920x1080x24
[ "$resolution" = 4K ] && screen=3840x2160x24

work=${FINISH_WORK_DIR:-$(mktemp -d)}
[ -n "${FINISH_WORK_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
mkdir -p "$work"
cd "$work"

record() {  # name, follow (1/0): one recording; its output in $work/name/e2e.out
  local dir=$work/$1
  rm -rf "$dir"
  mkdir -p "$dir"
  # TMPDIR inside the work folder: the test's private folders, where it records, are made there,
  # and the hard links need the recordings on the same file system.
  # Info-level logging says how much idle time the machine had when the composition started.
  if ! ZIMLO_LOG=info TMPDIR="$dir" ZIMLO_E2E_RECORD_SECONDS="$seconds" ZIMLO_E2E_RESOLUTION="$resolution" \
       ZIMLO_E2E_FPS="$fps" ZIMLO_E2E_FOLLOW="$2" ZIMLO_E2E_SCREEN="$screen" ZIMLO_E2E_CATCH_UP=0 \
       ZIMLO_E2E_KEEP_DIR="$dir/raw" "$e2e" > "$dir/e2e.out" 2>&1; then
    # A finished draft whose checks found faults (a busy machine can drop captured sound) still
    # times the finish; anything short of that cannot.
    if ! grep -q '^ZIMLO_E2E_FINISH ' "$dir/e2e.out" || [ ! -f "$dir/raw/recording.json" ]; then
      tail -n 40 "$dir/e2e.out" >&2
      echo "the end-to-end recording $1 failed" >&2
      exit 1
    fi
    echo "warning: the end-to-end checks of $1 failed, the figures below still time the finish:"
    # The check and its message (a tone's profile, say), which may say where it went wrong.
    grep -A2 'Failure$' "$dir/e2e.out" | grep -v -e '^--$' -e 'Failure$' | cut -c1-400 | sed 's/^/  /'
  fi
}
field() {  # name, line prefix, key
  sed -n "s/.* $3=\([^ ]*\).*/\1/p" <<< "$(grep "^$2 " "$work/$1/e2e.out" | tail -n 1)"
}

echo "finish: recording ${seconds} s at ${resolution}${fps} with camera window and subtitles, $runs times composed while recording and $post_runs after the stop, in turn ($(uptime | sed 's/.*load/load/'))"
# How much of a recording's movie was composed after the stop: the tail the composition made while
# recording left, or all of it when that composition was given up and the export made the movie
# (its frame counts then describe the abandoned movie and say nothing).
after_stop() {  # name
  if [ "$(field "$1" ZIMLO_E2E_FOLLOW followed)" = 1 ]; then
    echo "$(field "$1" ZIMLO_E2E_FOLLOW frames_after_stop) of $(field "$1" ZIMLO_E2E_FOLLOW frame_count) frames composed after the stop"
  else
    echo "all of it composed after the stop by the export"
  fi
}
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
# The recordings composed after the stop are post, post2, ...
post_name() { if [ "$1" = 1 ]; then echo post; else echo "post$1"; fi; }
walls=()
post_walls=()
for i in $(seq "$runs"); do
  record "run$i" 1
  walls+=("$(field "run$i" ZIMLO_E2E_FINISH finish_seconds)")
  echo "  recording $i: stop -> draft listed $(field "run$i" ZIMLO_E2E_FINISH finish_seconds) s, $(after_stop "run$i") (load average $(load))"
  [ "$i" = 1 ] && load_finish=$(load)
  if [ "$i" -le "$post_runs" ]; then
    record "$(post_name "$i")" 0
    post_walls+=("$(field "$(post_name "$i")" ZIMLO_E2E_FINISH finish_seconds)")
    echo "  recording $i composed after the stop: stop -> draft listed ${post_walls[-1]} s (load average $(load))"
    [ "$i" = 1 ] && load_post=$(load)
  fi
done
# The first recording is the one the peer and the parts below work on.
ln -sfn "$work/run1/raw" "$work/raw"
line=$(grep '^ZIMLO_E2E_FINISH ' "$work/run1/e2e.out" | tail -n 1)
value() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<< "$line"; }
ours_wall=$(median "${walls[@]}")
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
# What the quality comparison leaves out: the camera window at each of its places (with a margin
# for the rounded, smoothed edge) and the band where subtitles are drawn.
boxes = []
times = [k["time"] for k in track] + [1e9]
for k, until in zip(track, times[1:]):
    x = round(k["centerX"] * W - w / 2) - 4
    y = round(k["centerY"] * H - h / 2) - 4
    boxes.append("drawbox=x=%d:y=%d:w=%d:h=%d:color=black:t=fill:enable='between(t,%.3f,%.3f)'" %
                 (x, y, w + 8, h + 8, k["time"] - 0.05 if k is not track[0] else -1, until + 0.05))
top = max(0, round((layout["centerY"] - 0.15) * H))
boxes.append("drawbox=x=0:y=%d:w=%d:h=%d:color=black:t=fill" % (top, W, min(H - top, round(0.25 * H))))
with open(work + "/peer.env", "w") as f:
    f.write("W=%d\nH=%d\nPW=%d\nPH=%d\nRADIUS=%.2f\nXEXPR='%s'\nYEXPR='%s'\nRATE=%d\nFPS=%d\n" %
            (W, H, w, h, r, chain(xs), chain(ys), rate, fps))
    f.write("MASK=\"%s\"\n" % ",".join(boxes))
# The project the finish exports: the raw movies, both sounds still separate.
project = {"id": "5D2C7E4A-0B8E-4F5B-9A43-3C1E6D0F7A21", "createdAt": 0,
           "mainVideoURL": "file://" + work + "/raw/screen.mov",
           "pipVideoURL": "file://" + work + "/raw/camera.mov", "duration": info["recordSeconds"],
           "pipTrack": [{"time": k["time"], "center": [k["centerX"], k["centerY"]],
                         "size": [k["width"], k["height"]], "cornerRadius": 12} for k in track],
           "splitScreenTrack": [],
           "subtitleTrack": [{"id": "5D2C7E4A-0B8E-4F5B-9A43-%012X" % i, "startTime": s["start"],
                              "endTime": s["end"], "text": s["text"]}
                             for i, s in enumerate(info.get("subtitles", []))],
           "subtitleLayout": {"center": [layout["centerX"], layout["centerY"]],
                              "maxWidth": layout["maxWidth"], "fontScale": 1.0},
           "emphasizesSubtitleKeywords": True, "isDraft": False,
           "aspect": {"main": "默认", "isPiPEnabled": True, "isSplitScreenEnabled": False,
                      "splitOrder": "frontTop", "splitTopRatio": 0.5,
                      "pip": {"aspect": "默认", "cornerRatio": 0.12}},
           "sourceKind": "screen"}
json.dump(project, open(work + "/project.json", "w"), ensure_ascii=False)
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
  "[0:v]scale=$W:$H,fps=$FPS:round=up[bg];\
[1:v]scale=$PW:$PH:force_original_aspect_ratio=increase,crop=$PW:$PH,format=yuva420p[cam];[2:v]format=gray[mask];\
[cam][mask]alphamerge[win];\
[bg][win]overlay=x='$XEXPR':y='$YEXPR':eval=frame:shortest=1,subtitles=subs.ass[v];\
[0:a:0]volume=0.8[a0];[0:a:1]volume=1.0[a1];[a0][a1]amix=inputs=2:normalize=0[a]" \
  -map "[v]" -map "[a]" -c:v libx264 -preset veryfast -b:v "$RATE" -qmin 10 -pix_fmt yuv420p \
  -c:a aac -b:a 192k -movflags +faststart peer.mp4)

load_peer=$(load)

# Today's post-stop export of the same raw movies (what the stop cost before), and its movie.
read -r post_export_wall post_export_cpu < <(measure post-export "$tool" export "$work/project.json" --long-edge "$W" --fps "$FPS")
post_movie=$(tail -n 1 "$work/post-export.out")

# The export alone, taken apart, on the same raw movies.
"$tool" export "$work/project.json" --long-edge "$W" --fps "$FPS" --stages > stages.out 2> stages.err ||
  { cat stages.err >&2; exit 1; }
load_stages=$(load)
stage() { sed -n "s/^$1: \([0-9.]*\) s wall, \([0-9.]*\) s CPU.*/\1 \2/p" stages.out; }
read -r decode_wall decode_cpu < <(stage decode)
read -r compose_wall compose_cpu < <(stage decode+compose)
read -r export_wall export_cpu < <(stage "whole export")
encoder_line=$(sed -n 's/^encoder: //p' stages.out)
preset=$(sed -n 's/^x264 \([a-z]*\),.*/\1/p' <<< "$encoder_line")
bframes=$(sed -n 's/.*, \([0-9]*\) B-frames.*/\1/p' <<< "$encoder_line")
qfloor=$(sed -n 's/.*quantiser floor \([0-9]*\).*/\1/p' <<< "$encoder_line")
ours_rate=$(sed -n 's/^x264 [a-z]*, \([0-9]*\) b\/s.*/\1/p' <<< "$encoder_line")

# The encoder alone on our composed frames, fed raw: what no export with these settings can beat;
# the same frames with the peer's settings beside it.
encode_alone() {  # name, x264 options...: prints "wall cpu" of the encoding process alone
  local name=$1; shift
  ffmpeg -v error -i raw/composed.mp4 -map 0:v -f rawvideo -pix_fmt nv12 - |
    /usr/bin/time -f "%e %U %S" -o "$work/$name.time" ffmpeg -v error -f rawvideo -pix_fmt nv12 \
      -s "${W}x$H" -r "$FPS" -i - -c:v libx264 -profile:v high "$@" -f null - ||
    { echo "the encoder alone failed" >&2; return 1; }
  awk '{printf "%.2f %.2f\n", $1, $2 + $3}' "$work/$name.time"
}
read -r alone_wall alone_cpu < <(encode_alone alone -preset "$preset" -b:v "$ours_rate" -bf "$bframes" \
  -qmin "$qfloor" -x264-params 8x8dct=1)
read -r alone_peer_wall alone_peer_cpu < <(encode_alone alone-peer -preset veryfast -b:v "$RATE" -qmin 10)

# The separate mixing pass, which the finish runs only for drafts that are not composed.
read -r mix_wall mix_cpu < <(measure mix "$tool" media mix raw/screen.mov)
rm -f "$(tail -n 1 "$work/mix.out")"
load_parts=$(load)

# Picture quality against the same reference frames.
quality() {  # movie: prints "SSIM PSNR" against the raw screen
  ffmpeg -nostats -i raw/screen.mov -i "$1" -lavfi \
    "[0:v]scale=$W:$H,fps=$FPS:round=up,format=yuv420p,$MASK,split[r1][r2];\
[1:v]format=yuv420p,$MASK,split[m1][m2];[m1][r1]ssim=shortest=1;[m2][r2]psnr=shortest=1" \
    -f null - 2>&1 | awk '/SSIM/ {for (i = 1; i <= NF; i++) if ($i ~ /^All:/) {ssim = substr($i, 5); db = $(i + 1); gsub(/[()]/, "", db)}}
                          /PSNR/ {for (i = 1; i <= NF; i++) if ($i ~ /^average:/) psnr = substr($i, 9)}
                          END {print ssim, db, psnr}'
}
read -r ours_ssim ours_ssim_db ours_psnr < <(quality raw/composed.mp4)
read -r post_ssim post_ssim_db post_psnr < <(quality "$post_movie")
read -r peer_ssim peer_ssim_db peer_psnr < <(quality peer.mp4)
rm -f "$post_movie"

minutes=$(python3 -c "print($recorded / 60)")
post_wall=$(median "${post_walls[@]}")
echo "zimlo finish (stop pressed -> draft listed), composed while recording: median ${ours_wall} s of $runs (${walls[*]} s) for ${recorded} s recorded at ${W}x${H} ${FPS} fps, ${ours_cpu} s CPU after the stop in the first (load average $load_finish)"
echo "  what was composed after the stop, by recording: $(for i in $(seq "$runs"); do printf '%s; ' "$(after_stop "run$i")"; done)"
# Whether the machine had the idle time for the composition, and when it had.
for i in $(seq "$runs"); do
  # Only the main recording's lines: the binary's other tests record too.
  idle=$(sed -n '/^\[ RUN .*DisplayWithCameraWindow/,/^\[ *\(OK\|FAILED\) .*DisplayWithCameraWindow/p' "$work/run$i/e2e.out" |
    grep -o -e 'not composing while recording yet: .*' -e 'composing while recording, with .* idle' | head -n 2 | paste -sd ';' -)
  echo "  recording $i: ${idle:-no idle-time report}"
done
# A composition that was not used says why (it gave way to the capture, say).
for i in $(seq "$runs"); do
  if [ "$(field "run$i" ZIMLO_E2E_FOLLOW followed)" = 0 ]; then
    echo "  recording $i: not composed while recording: $(sed -n 's/.* fallback="\(.*\)"$/\1/p' <<< "$(grep '^ZIMLO_E2E_FOLLOW ' "$work/run$i/e2e.out" | tail -n 1)")"
  fi
done
echo "  lag of the composition behind the recording while it ran, by recording (median / max): $(for i in $(seq "$runs"); do printf '%s / %s s; ' "$(field "run$i" ZIMLO_E2E_FOLLOW lag_median)" "$(field "run$i" ZIMLO_E2E_FOLLOW lag_max)"; done)"
echo "  stages, from the stop press (first recording): files taken over (last subtitles in) $(value files_reported) s, composition started $(value export_started) s, draft saved $(value draft_saved) s, draft listed $(value finish_seconds) s"
echo "today's post-stop path: the same recording composed after the stop: stop -> draft listed median ${post_wall} s of $post_runs (${post_walls[*]} s) (load average $load_post); the export alone on the first recording's raw movies: ${post_export_wall} s wall, ${post_export_cpu} s CPU"
python3 -c "print('  stop cost against the post-stop path: %.2fx (recording composed after the stop), %.2fx (the export alone)' % ($ours_wall / $post_wall, $ours_wall / $post_export_wall))"
raw_with=$(field run1 ZIMLO_E2E_FOLLOW raw_frames); expected_with=$(field run1 ZIMLO_E2E_FOLLOW expected_frames)
raw_without=$(field post ZIMLO_E2E_FOLLOW raw_frames); expected_without=$(field post ZIMLO_E2E_FOLLOW expected_frames)
python3 -c "print('during the recording: raw screen frames %s of %s expected (%.2f %%) with the composition running, %s of %s (%.2f %%) without; app CPU per recorded second %s with, %s without' % ('$raw_with', '$expected_with', 100.0 * $raw_with / max($expected_with, 1), '$raw_without', '$expected_without', 100.0 * $raw_without / max($expected_without, 1), '$(field run1 ZIMLO_E2E_FOLLOW cpu_per_second)', '$(field post ZIMLO_E2E_FOLLOW cpu_per_second)'))"
echo "  a copy of the composed movie into a draft (no longer part of the finish, which links it): $(value store_seconds) s"
echo "  export alone on the same raw movies (load average $load_stages): decode ${decode_wall} s wall, ${decode_cpu} s CPU; decode+compose ${compose_wall} s wall, ${compose_cpu} s CPU; whole export ${export_wall} s wall, ${export_cpu} s CPU"
python3 -c "print('    so drawing takes %.2f s CPU and encoding, sound and writing %.2f s CPU; encoder: $encoder_line' % ($compose_cpu - $decode_cpu, $export_cpu - $compose_cpu))"
echo "  encoder alone on the composed frames (fed raw): ${alone_cpu} s CPU, ${alone_wall} s wall with ours (x264 $preset); ${alone_peer_cpu} s CPU, ${alone_peer_wall} s wall with the peer's (x264 veryfast)"
echo "  separate mixing pass (not run when the draft is composed): ${mix_wall} s wall, ${mix_cpu} s CPU"
echo "ffmpeg one-command equivalent on the same raw movies: ${peer_wall} s wall, ${peer_cpu} s CPU (load average $load_peer)"
echo "picture against the raw screen (camera window and subtitle band left out): zimlo draft SSIM $ours_ssim ($ours_ssim_db dB), PSNR $ours_psnr dB; today's post-stop export SSIM $post_ssim ($post_ssim_db dB), PSNR $post_psnr dB; ffmpeg SSIM $peer_ssim ($peer_ssim_db dB), PSNR $peer_psnr dB"
python3 -c "print('ratio: %.2fx wall, %.2fx CPU; finish takes %.2f s per recorded minute (%.2f s CPU)' % ($ours_wall / $peer_wall, $ours_cpu / $peer_cpu, $ours_wall / $minutes, $ours_cpu / $minutes))"
echo "load average after: $(load) (other figures: $load_parts)"
