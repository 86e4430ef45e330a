#!/usr/bin/env bash
# The README's run command on a machine without a desktop: ./scripts/run.sh with DISPLAY and
# WAYLAND_DISPLAY unset runs the demo, which must exit 0, leave a draft whose movie has one H.264
# video and one AAC audio stream of about the recorded length (read with ffprobe, not with our
# own libraries), print the screenshots it saved, and take its servers and private folders down.
# Then the demo's refusal of a folder it did not make, and a Ctrl-C in the middle of recording.
# Usage: run-command-headless.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
top=$1
build=$2
demo="$build/tools/zimlo-demo/zimlo-demo"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Every private folder and server of a run lives under this TMPDIR, so what is left is visible.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/tmp"

# The demo's own Xvfb must be gone. Its display number is not checked: on a shared machine another
# program's Xvfb may take the freed number at once.
display_left() {
  local pid
  pid=$(sed -n 's/^  virtual display: :[0-9]* (Xvfb process \([0-9]*\),.*/\1/p' "$1" | head -n1)
  [ -n "$pid" ] || { fail "$2: no Xvfb process printed"; return; }
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" != Xvfb ] || fail "$2: the demo's Xvfb ($pid) still runs"
}
nothing_left() {
  pgrep -f "$scratch/tmp" >/dev/null && fail "$1: a server started by the demo still runs"
  [ -z "$(ls -A "$scratch/tmp")" ] || fail "$1: private folders left: $(ls -A "$scratch/tmp")"
}

# 1. The run command itself.
log="$scratch/run.log"
env -u DISPLAY -u WAYLAND_DISPLAY TMPDIR="$scratch/tmp" "$top/scripts/run.sh" >"$log" 2>&1
status=$?
cat "$log"
[ "$status" -eq 0 ] || fail "run.sh exited with $status"
for text in 'Driving Zimlo like a user' '"去录制"' '"开启摄像头小窗"' '"开启字幕"' '"开始录制"' \
  'status line: 正在录制' 'status line: 录制完成，已保存草稿' 'The draft' 'Done in'; do
  grep -qF -- "$text" "$log" || fail "run.sh did not print: $text"
done
drafts=("$build"/demo/home/Documents/Drafts/*/)
[ "${#drafts[@]}" -eq 1 ] && [ -d "${drafts[0]}" ] || fail "expected one draft, found: ${drafts[*]}"
draft=${drafts[0]}
[ -s "$draft/project.json" ] || fail "the draft has no project.json"
movie="$draft/main.mp4"
if [ -s "$movie" ]; then
  streams=$(ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 "$movie" | sort | tr '\n' ' ')
  [ "$streams" = "aac,audio h264,video " ] || fail "the movie's streams are \"$streams\""
  length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$movie")
  awk -v l="$length" 'BEGIN { exit !(l >= 8 && l <= 14) }' || fail "the movie lasts $length s"
else
  fail "the draft has no main.mp4"
fi
for png in home recording-window home-with-draft movie-frame; do
  file="$build/demo/screenshots/$png.png"
  [ "$(head -c 4 "$file" 2>/dev/null | tail -c 3)" = "PNG" ] || fail "$png.png is not a PNG"
  grep -qF "screenshots/$png.png" "$log" || fail "the path of $png.png was not printed"
done
display_left "$log" "after the run"
nothing_left "after the run"

# 2. A folder the demo did not make is refused and left as it was.
mkdir -p "$scratch/mine"
echo keep >"$scratch/mine/notes.txt"
if env -u DISPLAY TMPDIR="$scratch/tmp" "$demo" --output "$scratch/mine" >"$scratch/refused.log" 2>&1; then
  fail "the demo wrote into a folder it did not make"
fi
grep -q "did not make" "$scratch/refused.log" || fail "no clear refusal: $(cat "$scratch/refused.log")"
[ "$(cat "$scratch/mine/notes.txt")" = keep ] || fail "the refused folder was changed"

# 3. Ctrl-C while recording: exit status 130, everything taken down.
log="$scratch/interrupted.log"
env -u DISPLAY TMPDIR="$scratch/tmp" "$demo" --output "$scratch/interrupted" >"$log" 2>&1 &
pid=$!
for _ in $(seq 1200); do
  grep -qF '"开始录制"' "$log" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
sleep 2
kill -INT "$pid"
wait "$pid"
status=$?
cat "$log"
[ "$status" -eq 130 ] || fail "an interrupted demo exited with $status"
grep -q "interrupted" "$log" || fail "the interrupted demo did not say so"
display_left "$log" "after Ctrl-C"
nothing_left "after Ctrl-C"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "run command headless: all checks passed"
