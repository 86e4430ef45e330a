#!/usr/bin/env bash
# Capture: records a 1920x1080 Xvfb display whose content changes every frame, with system
# audio from a private PulseAudio null sink playing a tone, for 20 s at 30 and at 60 fps through
# `zimlo-tool record`, and the same with `ffmpeg -f x11grab … -f pulse …` (libx264 superfast with
# the writer's quantiser floor, the writer's bit rate, yuv420p, AAC 128k) in the same run. Prints
# CPU seconds per recorded second, the frames lost by reason (a grab late for its tick, a full
# queue to the recording, the encoder behind) and the CPU ratio (goal: ratio <= 0.7; 600 +- 1 of
# 600 frames at 30 fps, at least 1,197 of 1,200 at 60), then the cost of recording a still screen
# (goal: at most 3 % of one core while the screen stays still, the steady figure), the median of
# several recordings: over the whole run, steady (the recorder's CPU between a quarter and three
# quarters of the run, from /proc), and the one-off CPU of a run beyond its steady rate (loading
# the program, the encoder's set-up and first pictures, the finish), which a 20 s run spreads over
# 20 s and an hour's recording over an hour; the app pays the program's loading once, not per
# recording.
#
# Portal row (Wayland): on the tests' headless sway (tests/wayland/session.sh) with a 60 Hz output
# (CAPTURE_PORTAL_HZ), 1280x720 of full-screen moving content at 30 fps through the desktop portal
# and PipeWire, recorded by
# `zimlo-tool record --target portal-monitor` and by the GStreamer pipeline Wayland recorders are
# built on (pipewiresrc ! videoconvert ! x264enc ultrafast ! mp4mux) reading a portal stream of
# the same screen. Goal: zimlo <= 0.6x the peer's CPU, >= 99.5 % of the frames. The output runs at
# 60 Hz as desktops do: wlroots' headless back end re-arms its frame timer only after each frame's
# work, so a 30 Hz output shows about 29.6 pictures a second and no recorder of it can reach 30
# (set CAPTURE_PORTAL_HZ=30 to see that; the stream's mean step is printed). To place a missing
# picture, the zimlo row also prints what the PipeWire stream handed over (buffers, numbers the
# compositor skipped, the steps between the pictures' stamps, pictures paced out) and the portal
# back end's warnings during the recording.
#
# CAPTURE_SECONDS (20; 2 with BENCH_SMOKE=1) sets each recording's length; CAPTURE_ROWS
# ("x11 portal") picks the rows; "still" is the x11 row's still screen alone.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${ZIMLO_BUILD_DIR:-$here/../build}
tool=$build/tools/zimlo-tool/zimlo-tool
[ -x "$tool" ] || { echo "zimlo-tool not built at $tool" >&2; exit 1; }
if [ "${BENCH_SMOKE:-0}" = 1 ]; then seconds=${CAPTURE_SECONDS:-2}; else seconds=${CAPTURE_SECONDS:-20}; fi
rows=" ${CAPTURE_ROWS:-x11 portal} "

work=$(mktemp -d)
# zimlo-tool record makes its recordings below the state folder: this run's own.
export XDG_STATE_HOME=$work/state
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
load() { uptime | sed 's/.*load average/load average/'; }
# CPU seconds (user + system) of a command, from GNU time.
cpu_of() { awk '{printf "%.2f", $1 + $2}' "$1"; }
frames_of() { ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$1"; }

if [[ $rows == *" x11 "* || $rows == *" still "* ]]; then
# A private X server.
mkfifo "$work/displayfd"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -ac -noreset -br 3>"$work/displayfd" >/dev/null 2>&1 &
pids+=($!)
read -r -t 20 number <"$work/displayfd" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$number

# A private sound server: a null sink as the computer's output, its monitor recorded.
mkdir -p "$work/pulse/home" "$work/pulse/run"
cat >"$work/pulse/default.pa" <<EOF
load-module module-null-sink sink_name=zimlo_bench_sink rate=48000 channels=2
load-module module-native-protocol-unix auth-anonymous=1 socket=$work/pulse/run/native
set-default-sink zimlo_bench_sink
set-default-source zimlo_bench_sink.monitor
EOF
HOME=$work/pulse/home PULSE_RUNTIME_PATH=$work/pulse/run XDG_RUNTIME_DIR=$work/pulse/run DISPLAY= \
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no -F "$work/pulse/default.pa" \
  >"$work/pulse/log" 2>&1 &
pids+=($!)
export PULSE_SERVER=unix:$work/pulse/run/native
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null || { echo "PulseAudio did not start" >&2; cat "$work/pulse/log" >&2; exit 1; }
sox -q -n -t raw -r 48000 -c 2 -e signed -b 16 - synth 3600 sine 440 vol 0.3 2>/dev/null |
  pacat --playback --raw --format=s16le --rate=48000 --channels=2 --latency-msec=50 2>/dev/null &
pids+=($!)

# Content that changes every 1/60 s: a bar sweeping across a coloured screen and a counter block.
cat >"$work/animate.c" <<'EOF'
#include <X11/Xlib.h>
#include <time.h>
int main(void) {
    Display* d = XOpenDisplay(NULL);
    if (!d) return 1;
    Window root = DefaultRootWindow(d);
    GC gc = XCreateGC(d, root, 0, NULL);
    for (int y = 0; y < 1080; y += 60) {
        XSetForeground(d, gc, (unsigned long)(y * 2654435761u) & 0xffffff);
        XFillRectangle(d, root, gc, 0, y, 1920, 60);
    }
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (unsigned long i = 0;; ++i) {
        int x = (int)(i * 24 % 1920);
        XSetForeground(d, gc, (i * 40503u) & 0xffffff);
        XFillRectangle(d, root, gc, x, 0, 24, 1080);
        XSetForeground(d, gc, (i * 2654435761u) & 0xffffff);
        XFillRectangle(d, root, gc, 860, 480, 200, 120);
        XFlush(d);
        next.tv_nsec += 16666667;
        if (next.tv_nsec >= 1000000000) { next.tv_nsec -= 1000000000; next.tv_sec += 1; }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
    }
}
EOF
cc -O2 -o "$work/animate" "$work/animate.c" -lX11
"$work/animate" &
animator=$!
pids+=($animator)

target=$("$tool" targets | awk -F'\t' '$1 ~ /^display-/ {print $1; exit}')
[ -n "$target" ] || { echo "no display target" >&2; exit 1; }


run_pair() {
  local fps=$1 bitrate=$2
  local out="$work/ours_$fps.txt"
  /usr/bin/time -f "%U %S" -o "$work/ours_$fps.time" \
    "$tool" record --target "$target" --seconds "$seconds" --fps "$fps" --resolution 1920x1080 >"$out" 2>&1 ||
    { echo "zimlo-tool record failed:"; cat "$out"; return 1; }
  local movie
  movie=$(awk -F': ' '/^screen movie:/ {print $2}' "$out")
  local ours_cpu ours_frames ours_drops
  ours_cpu=$(cpu_of "$work/ours_$fps.time")
  ours_frames=$(frames_of "$movie")
  ours_drops=$(grep '^dropped:' "$out" | sed 's/^dropped: //')
  local tracks
  tracks=$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$movie" | tr '\n' ' ')
  rm -f "$movie"

  /usr/bin/time -f "%U %S" -o "$work/peer_$fps.time" \
    ffmpeg -y -nostdin -thread_queue_size 1024 -f x11grab -framerate "$fps" -video_size 1920x1080 -i "$DISPLAY" \
      -thread_queue_size 1024 -f pulse -i zimlo_bench_sink.monitor \
      -c:v libx264 -preset superfast -qmin 12 -pix_fmt yuv420p -b:v "$bitrate" -c:a aac -b:a 128k \
      -t "$seconds" "$work/peer_$fps.mov" >"$work/peer_$fps.txt" 2>&1
  local peer_cpu peer_frames peer_dup
  peer_cpu=$(cpu_of "$work/peer_$fps.time")
  peer_frames=$(frames_of "$work/peer_$fps.mov")
  peer_dup=$(tr '\r' '\n' <"$work/peer_$fps.txt" | grep -o 'dup=[0-9]* drop=[0-9]*' | tail -1)
  rm -f "$work/peer_$fps.mov"

  awk -v fps="$fps" -v s="$seconds" -v oc="$ours_cpu" -v of="$ours_frames" -v od="$ours_drops" \
      -v pc="$peer_cpu" -v pf="$peer_frames" -v pd="$peer_dup" -v tracks="$tracks" 'BEGIN {
    printf "capture 1920x1080 at %d fps, %d s (expect %d frames)\n", fps, s, fps * s
    printf "  zimlo  : %.3f CPU s per recorded s, %d frames in the movie, tracks: %s\n           lost: %s\n", oc / s, of, tracks, od
    printf "  ffmpeg : %.3f CPU s per recorded s, %d frames in the movie, %s\n", pc / s, pf, pd
    printf "  CPU ratio zimlo/ffmpeg: %.2f\n", oc / pc
  }'
  echo "  ($(load))"
}

if [[ $rows == *" x11 "* ]]; then
  run_pair 30 8294400
  run_pair 60 16588800
fi

# A still screen: stop the animation and record at 30 fps, CAPTURE_STILL_RUNS times (3; 1 with
# BENCH_SMOKE=1): a single reading of a few percent moves by a percent between runs of the same
# build, so the row is judged by the median.
kill "$animator" 2>/dev/null || true
sleep 1
ticks_of() { sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | awk '{print $12 + $13}'; }
now() { date +%s.%N; }
# Prints "<whole-run %> <steady %> <one-off s>" of one recording: the one-off is the CPU the run
# spent beyond its steady rate (loading the program, setting up the encoder and the first
# pictures, finishing the movie); "-" when the steady rate was not measured.
still_run() {
  /usr/bin/time -f "%U %S" -o "$work/still.time" \
    "$tool" record --target "$target" --seconds "$seconds" --fps 30 --resolution 1920x1080 >"$work/still.txt" 2>&1 &
  local timer=$! recorder= first_at first second_at second
  # The recorder is time's child (zimlo-tool execs its full build under the same pid). Its CPU
  # (every thread's, ended ones included) is read a quarter and three quarters into the run.
  for _ in $(seq 100); do
    recorder=$(pgrep -P "$timer" | head -1) && [ -n "$recorder" ] && break
    sleep 0.02
  done
  sleep "$(awk -v s="$seconds" 'BEGIN { print s / 4 }')"
  first_at=$(now) first=$(ticks_of "$recorder")
  sleep "$(awk -v s="$seconds" 'BEGIN { print s / 2 }')"
  second_at=$(now) second=$(ticks_of "$recorder")
  wait "$timer" || { echo "zimlo-tool record failed:" >&2; cat "$work/still.txt" >&2; return 1; }
  rm -f "$(awk -F': ' '/^screen movie:/ {print $2}' "$work/still.txt")"
  awk -v s="$seconds" -v c="$(cpu_of "$work/still.time")" -v a="$first" -v b="$second" \
      -v hz="$(getconf CLK_TCK)" -v t1="$first_at" -v t2="$second_at" 'BEGIN {
    if (a == "" || b == "") { steady = "-"; once = "-" } else {
      rate = (b - a) / hz / (t2 - t1)
      steady = sprintf("%.1f", 100 * rate); once = sprintf("%.2f", c - rate * s) }
    printf "%.1f %s %s\n", 100 * c / s, steady, once }'
}
if [ "${BENCH_SMOKE:-0}" = 1 ]; then still_runs=${CAPTURE_STILL_RUNS:-1}; else still_runs=${CAPTURE_STILL_RUNS:-3}; fi
: >"$work/still.runs"
for _ in $(seq "$still_runs"); do still_run >>"$work/still.runs"; done
# The median of each column (the middle reading, or the mean of the two middle ones).
median() { awk -v c="$1" '$c != "-" {print $c}' "$work/still.runs" | sort -n |
  awk -v f="${2:-%.1f}" '{v[NR] = $1} END { if (NR == 0) print "-"; else if (NR % 2) printf f, v[(NR + 1) / 2]; else printf f, (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf "still screen at 30 fps, %d s, median of %d: %s %% of one core (runs: %s)\n" "$seconds" "$still_runs" \
  "$(median 1)" "$(awk '{print $1}' "$work/still.runs" | paste -sd' ')"
if [ "$(median 2)" = "-" ]; then echo "  steady: not measured (the recorder was not found)"
else printf "  steady: %s %% of one core, median (runs: %s; a quarter to three quarters in; goal <= 3 %%)\n" \
  "$(median 2)" "$(awk '{print $2}' "$work/still.runs" | paste -sd' ')"
  printf "  one-off: %s CPU s per recording, median (runs: %s; start and finish, whatever the length)\n" \
  "$(median 3 %.2f)" "$(awk '{print $3}' "$work/still.runs" | paste -sd' ')"; fi
echo "  ($(load))"
fi

if [[ $rows == *" portal "* ]]; then
  shim=$build/tests/wayland/libzimlo_xdpw_shm_shim.so
  [ -f "$shim" ] || { echo "the portal shim is not built: $shim" >&2; exit 1; }
  state=$work/wayland
  portal_hz=${CAPTURE_PORTAL_HZ:-60}
  ZIMLO_TEST_WAYLAND_FPS=$portal_hz "$here/../tests/wayland/session.sh" up "$state" "$shim" >"$work/session.log" 2>&1 ||
    { cat "$work/session.log" >&2; exit 1; }
  session_down() { "$here/../tests/wayland/session.sh" down "$state"; }
  trap 'session_down; cleanup' EXIT
  set -a; . "$state/env"; set +a
  export XDG_CONFIG_HOME=$work/portal-config  # our own settings (the restore token)
  # Full-screen content that changes every frame.
  SDL_VIDEODRIVER=wayland SDL_RENDER_DRIVER=software \
    ffplay -loglevel error -an -fs -noborder -f lavfi -i testsrc2=size=1280x720:rate=30 \
    </dev/null >"$work/ffplay.log" 2>&1 &
  pids+=($!)
  sleep 2

  out=$work/ours_portal.txt
  # The portal back end's warnings while we record (it says so when it runs out of buffers).
  backend_log=$ZIMLO_WAYLAND_WORK/log/xdpw.log
  backend_from=$(wc -l <"$backend_log")
  /usr/bin/time -f "%U %S" -o "$work/ours_portal.time" \
    "$tool" record --target portal-monitor --seconds "$seconds" --fps 30 --resolution 1280x720 \
    >"$out" 2>&1 || { echo "zimlo-tool record failed:"; cat "$out"; exit 1; }
  movie=$(awk -F': ' '/^screen movie:/ {print $2}' "$out")
  ours_cpu=$(cpu_of "$work/ours_portal.time")
  ours_frames=$(frames_of "$movie")
  ours_drops=$(grep '^dropped:' "$out" | sed 's/^dropped: //')
  ours_source=$(sed -n 's/^screen source: //p' "$out")
  backend_warnings=$(tail -n +"$((backend_from + 1))" "$backend_log" | sed -n 's/.*\[WARN\][ -]*//p' |
    sort | uniq -c | awk '{ n = $1; $1 = ""; printf "%s%s: %d", sep, substr($0, 2), n; sep = "; " }')
  tracks=$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$movie" | tr '\n' ' ')
  rm -f "$movie"

  # The peer: video only (ours also encodes the computer's sound).
  /usr/bin/python3 "$here/portal_cast.py" --seconds "$seconds" -- \
    /usr/bin/time -f "%U %S" -o "$work/peer_portal.time" \
    gst-launch-1.0 -e -q pipewiresrc fd={fd} path={node} do-timestamp=true \
      ! videoconvert ! x264enc speed-preset=ultrafast bitrate=3686 \
      ! mp4mux ! filesink location="$work/peer_portal.mp4" >"$work/peer_portal.txt" 2>&1 ||
    { echo "the GStreamer peer failed:"; cat "$work/peer_portal.txt"; exit 1; }
  peer_cpu=$(cpu_of "$work/peer_portal.time")
  peer_frames=$(frames_of "$work/peer_portal.mp4")
  rm -f "$work/peer_portal.mp4"

  awk -v s="$seconds" -v oc="$ours_cpu" -v of="$ours_frames" -v od="$ours_drops" \
      -v pc="$peer_cpu" -v pf="$peer_frames" -v tracks="$tracks" -v src="${ours_source:-none}" \
      -v bw="${backend_warnings:-none}" -v hz="$portal_hz" 'BEGIN {
    printf "portal (Wayland) 1280x720 at 30 fps from a %d Hz output, %d s (expect %d frames)\n", hz, s, 30 * s
    printf "  zimlo     : %.3f CPU s per recorded s, %d frames in the movie (%.1f %%), tracks: %s\n              %s\n", oc / s, of, 100 * of / (30 * s), tracks, od
    printf "              PipeWire stream (start to finish): %s\n", src
    printf "              portal back end warnings meanwhile: %s\n", bw
    printf "  gstreamer : %.3f CPU s per recorded s, %d frames in the movie (%.1f %%)\n", pc / s, pf, 100 * pf / (30 * s)
    printf "  CPU ratio zimlo/gstreamer: %.2f (goal <= 0.6; frames >= 99.5 %%)\n", oc / pc
  }'
  echo "  ($(load))"
fi
echo "(figures are CPU times on a machine that other work may be loading)"
