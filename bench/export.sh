#!/usr/bin/env bash
# Export: a 20 s 1920x1080 30 fps screen movie (content changing every frame, AAC sound) plus a
# 1280x720 camera movie, six subtitles, camera window 384x216 with rounded corners moving at 10 s,
# exported at long edge 1920 and 30 fps by `zimlo-tool export`, against ffmpeg doing the same work
# in one filter graph (scale to the canvas, camera scaled with a rounded alpha mask and overlaid,
# subtitles burned in from an ASS file, libx264 veryfast at 8294400 b/s with the same quantiser
# floor, sound copied, +faststart). Prints wall and CPU times (medians of alternating rounds) and
# their ratios (goal: wall <= 0.75).
# Also: the export taken apart (`zimlo-tool export --stages`), the encoder alone on our composed
# frames with our settings and the peer's, and SSIM and PSNR of both movies against the same
# reference frames (the screen movie, with the camera window and the subtitle band left out of
# every picture, as the two draw those differently). Writes one composed PNG each of a PiP, a
# split-screen and a subtitle case.
#   EXPORT_SECONDS (20) and EXPORT_ROUNDS (3); BENCH_SMOKE=1: 2 s, one round.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${ZIMLO_BUILD_DIR:-$here/../build}
tool=$build/tools/zimlo-tool/zimlo-tool
[ -x "$tool" ] || { echo "zimlo-tool not built at $tool" >&2; exit 1; }
if [ "${BENCH_SMOKE:-0}" = 1 ]; then
  seconds=${EXPORT_SECONDS:-2}
  rounds=${EXPORT_ROUNDS:-1}
else
  seconds=${EXPORT_SECONDS:-20}
  rounds=${EXPORT_ROUNDS:-3}
fi

work=${EXPORT_WORK_DIR:-$(mktemp -d)}
[ -n "${EXPORT_WORK_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
mkdir -p "$work"
cd "$work"
# The tool's movies are written here too, so that a run that stops half-way leaves none behind.
export TMPDIR="$work"

echo "export: generating ${seconds} s sources in $work"
ffmpeg -v error -y -f lavfi -i "testsrc2=s=1920x1080:r=30:d=$seconds" -f lavfi -i "sine=f=440:d=$seconds" \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -b:a 128k screen.mov
ffmpeg -v error -y -f lavfi -i "testsrc=s=1280x720:r=30:d=$seconds" \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p camera.mov
# The rounded mask of the camera window (radius 0.12 of half the short side, as ours).
ffmpeg -v error -y -f lavfi -i "color=c=black:s=384x216,format=gray" -frames:v 1 -vf \
  "geq=lum='255*lte(hypot(max(0,max(12.96-X,X-(384-12.96))),max(0,max(12.96-Y,Y-(216-12.96)))),12.96)'" mask.png

texts=("今天我们来看一下新版本" "录屏支持 4K 和 60 帧" "画中画窗口可以拖动" "字幕会自动识别关键词" "导出的影片是 MPEG-4" "谢谢大家观看")
python3 - "$work" "$seconds" "${texts[@]}" <<'PY'
import json, sys, uuid
work, seconds, texts = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
step = seconds / len(texts)
subs = [{"id": str(uuid.uuid4()).upper(), "startTime": i * step, "endTime": (i + 1) * step - 0.2, "text": t}
        for i, t in enumerate(texts)]
def project(aspect, pip_track, subtitles, kind="screen"):
    doc = {"id": str(uuid.uuid4()).upper(), "createdAt": 0,
           "mainVideoURL": "file://" + work + "/screen.mov", "pipVideoURL": "file://" + work + "/camera.mov",
           "duration": seconds, "pipTrack": pip_track, "splitScreenTrack": [], "subtitleTrack": subtitles,
           "subtitleLayout": {"center": [0.5, 0.82], "maxWidth": 0.86, "fontScale": 1.0},
           "emphasizesSubtitleKeywords": True, "isDraft": False, "aspect": aspect, "sourceKind": kind}
    if kind == "camera":
        doc["captureViewportSize"] = [1080, 1920]
    return doc
pip = {"main": "默认", "isPiPEnabled": True, "isSplitScreenEnabled": False, "splitOrder": "frontTop",
       "splitTopRatio": 0.5, "pip": {"aspect": "默认", "cornerRatio": 0.12}}
split = dict(pip, isPiPEnabled=False, isSplitScreenEnabled=True, splitTopRatio=0.4)
track = [{"time": 0, "center": [0.85, 0.15], "size": [0.2, 0.2], "cornerRadius": 12},
         {"time": seconds / 2, "center": [0.15, 0.85], "size": [0.2, 0.2], "cornerRadius": 12}]
json.dump(project(pip, track, subs), open(work + "/project.json", "w"), ensure_ascii=False)
json.dump(project(pip, track, []), open(work + "/pip.json", "w"), ensure_ascii=False)
json.dump(project(split, [], [], "camera"), open(work + "/split.json", "w"), ensure_ascii=False)
json.dump(project(dict(pip, isPiPEnabled=False), [], subs), open(work + "/subtitle.json", "w"), ensure_ascii=False)
# The same subtitles for the peer, as an ASS file in the same font, size, outline and place.
def ts(t):
    return "%d:%02d:%05.2f" % (t // 3600, t % 3600 // 60, t % 60)
with open(work + "/subs.ass", "w") as f:
    f.write("[Script Info]\nScriptType: v4.00+\nPlayResX: 1920\nPlayResY: 1080\n\n[V4+ Styles]\n"
            "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, "
            "Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, "
            "Alignment, MarginL, MarginR, MarginV, Encoding\n"
            "Style: Default,Noto Sans CJK SC,65,&H00FFFFFF,&H00FFFFFF,&H00000000,&H1A000000,-1,0,0,0,100,100,0,0,"
            "1,2,2,2,134,134,120,1\n\n[Events]\n"
            "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n")
    for s in subs:
        f.write("Dialogue: 0,%s,%s,Default,,0,0,0,,%s\n" % (ts(s["startTime"]), ts(s["endTime"]), s["text"]))
PY

half=$(python3 -c "print($seconds/2)")
measure() {  # name, command...: prints "wall cpu"
  local name=$1; shift
  /usr/bin/time -f "%e %U %S" -o "$work/$name.time" "$@" > "$work/$name.out" 2> "$work/$name.err" ||
    { cat "$work/$name.err" >&2; return 1; }
  awk '{printf "%.2f %.2f\n", $1, $2 + $3}' "$work/$name.time"
}

# Wall times only mean something on a quiet machine: the load is printed with the figures. The two
# sides take turns, EXPORT_ROUNDS times (3 unless told), and the medians are compared, so a burst
# of load from elsewhere weighs on one round, not on one side.
peer=(ffmpeg -v error -y -i screen.mov -i camera.mov -loop 1 -framerate 30 -t "$seconds" -i mask.png
  -filter_complex "[0:v]scale=1920:1080[bg];[1:v]scale=384:216,format=yuva420p[cam];[2:v]format=gray[mask];\
[cam][mask]alphamerge[win];\
[bg][win]overlay=x='if(lt(t,$half),1440,96)':y='if(lt(t,$half),54,810)':eval=frame:shortest=1,\
subtitles=subs.ass[v]"
  -map "[v]" -map 0:a -c:v libx264 -preset veryfast -b:v 8294400 -qmin 10 -pix_fmt yuv420p
  -c:a copy -movflags +faststart peer.mp4)
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
: > ours.rounds
: > peer.rounds
ours_file=
for round in $(seq "$rounds"); do
  [ -z "$ours_file" ] || rm -f "$ours_file"
  measure zimlo "$tool" export "$work/project.json" --long-edge 1920 --fps 30 >> ours.rounds
  ours_file=$(tail -n 1 "$work/zimlo.out")
  measure ffmpeg "${peer[@]}" >> peer.rounds
done
ours_wall=$(cut -d' ' -f1 ours.rounds | median)
ours_cpu=$(cut -d' ' -f2 ours.rounds | median)
peer_wall=$(cut -d' ' -f1 peer.rounds | median)
peer_cpu=$(cut -d' ' -f2 peer.rounds | median)
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# Where our time goes, and the encoder alone on our composed frames (fed raw: the floor).
"$tool" export "$work/project.json" --long-edge 1920 --fps 30 --stages > stages.out 2> stages.err ||
  { cat stages.err >&2; exit 1; }
encoder_line=$(sed -n 's/^encoder: //p' stages.out)
preset=$(sed -n 's/^x264 \([a-z]*\),.*/\1/p' <<< "$encoder_line")
bframes=$(sed -n 's/.*, \([0-9]*\) B-frames.*/\1/p' <<< "$encoder_line")
encode_alone() {  # name, x264 options...: prints "wall cpu" of the encoding process alone
  local name=$1; shift
  ffmpeg -v error -i "$ours_file" -map 0:v -f rawvideo -pix_fmt nv12 - |
    /usr/bin/time -f "%e %U %S" -o "$work/$name.time" ffmpeg -v error -f rawvideo -pix_fmt nv12 \
      -s 1920x1080 -r 30 -i - -c:v libx264 -profile:v high "$@" -f null - ||
    { echo "the encoder alone failed" >&2; return 1; }
  awk '{printf "%.2f %.2f\n", $1, $2 + $3}' "$work/$name.time"
}
read -r alone_wall alone_cpu < <(encode_alone alone -preset "$preset" -b:v 8294400 -bf "$bframes" \
  -qmin 10 -x264-params 8x8dct=1)
read -r alone_peer_wall alone_peer_cpu < <(encode_alone alone-peer -preset veryfast -b:v 8294400 -qmin 10)

# Picture quality against the same reference frames.
mask="drawbox=x=1436:y=50:w=392:h=224:color=black:t=fill:enable='lt(t,$half + 0.05)',\
drawbox=x=92:y=806:w=392:h=224:color=black:t=fill:enable='gte(t,$half - 0.05)',\
drawbox=x=0:y=723:w=1920:h=270:color=black:t=fill"
quality() {  # movie: prints "SSIM (dB) PSNR" against the screen movie
  ffmpeg -nostats -i screen.mov -i "$1" -lavfi \
    "[0:v]format=yuv420p,$mask,split[r1][r2];[1:v]format=yuv420p,$mask,split[m1][m2];\
[m1][r1]ssim=shortest=1;[m2][r2]psnr=shortest=1" -f null - 2>&1 |
    awk '/SSIM/ {for (i = 1; i <= NF; i++) if ($i ~ /^All:/) {ssim = substr($i, 5); db = $(i + 1); gsub(/[()]/, "", db)}}
         /PSNR/ {for (i = 1; i <= NF; i++) if ($i ~ /^average:/) psnr = substr($i, 9)}
         END {print ssim, db, psnr}'
}
read -r ours_ssim ours_ssim_db ours_psnr < <(quality "$ours_file")
read -r peer_ssim peer_ssim_db peer_psnr < <(quality peer.mp4)

frames() { ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1"; }
echo "zimlo-tool export: ${ours_wall} s wall, ${ours_cpu} s CPU (medians of $rounds; rounds: $(paste -sd, ours.rounds)), $(frames "$ours_file") frames, $(stat -c %s "$ours_file") bytes"
sed -n 's/^/  /p' stages.out
echo "  encoder alone on our composed frames (fed raw): ${alone_cpu} s CPU, ${alone_wall} s wall with ours (x264 $preset); ${alone_peer_cpu} s CPU, ${alone_peer_wall} s wall with the peer's (x264 veryfast)"
echo "ffmpeg filter graph: ${peer_wall} s wall, ${peer_cpu} s CPU (medians of $rounds; rounds: $(paste -sd, peer.rounds)), $(frames peer.mp4) frames, $(stat -c %s peer.mp4) bytes"
echo "picture against the screen movie (camera window and subtitle band left out): zimlo SSIM $ours_ssim ($ours_ssim_db dB), PSNR $ours_psnr dB; ffmpeg SSIM $peer_ssim ($peer_ssim_db dB), PSNR $peer_psnr dB"
python3 -c "print('ratio: %.2fx wall, %.2fx CPU (goal: wall <= 0.75)' % ($ours_wall / $peer_wall, $ours_cpu / $peer_cpu))"
echo "load average before: $load_before, after the timed rounds: $load_after, at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
rm -f "$ours_file"

# One composed frame of each kind.
"$tool" compose frame "$work/pip.json" 2 "$work/frame-pip.png" > /dev/null
"$tool" compose frame "$work/split.json" 2 "$work/frame-split.png" > /dev/null
"$tool" compose frame "$work/subtitle.json" 5 "$work/frame-subtitle.png" > /dev/null
echo "frames: $work/frame-pip.png $work/frame-split.png $work/frame-subtitle.png"
