#!/usr/bin/env bash
# A/V sync: a 1920x1080 Xvfb display flashes white every 5 s while a 1 kHz beep is heard from the
# computer's output (a PulseAudio null sink, played so that it sounds exactly at the flash) and
# spoken into the microphone (a pipe source) at the same moment. `zimlo-tool record` records
# the screen, the computer's sound and the microphone for AVSYNC_MINUTES (default 10) at 30 fps;
# the movie is then read back and each beep is paired with its flash. Prints audio − video at
# the start and at the end, for the computer's sound and for the microphone, with the load
# average. The generated camera is recorded too (a second movie) and flashes white on the
# screen's schedule; its flashes are set against when they were due and against the screen's.
# The flasher notes when it flashed on the monotonic clock the recorder stamps with, and the
# recorder's log says where the movie's time 0 lies on it; so each source is also set against
# the true instant: the picture shows a flash at the first grab after it (up to a frame later at
# 30 fps, plus the X server's own delay; not the recorder's fault, printed apart), each sound at
# the instant it was heard or spoken, if its stamps are true. Goal: each sound within ±20 ms of
# the true instant at the start and after 10 minutes, with no step between.
#   AVSYNC_MINUTES=1 bench/av-sync.sh      a one-minute run
#   BENCH_SMOKE=1 bench/av-sync.sh         6 s, one flash (AVSYNC_SECONDS sets any length)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${ZIMLO_BUILD_DIR:-$here/../build}
tool=$build/tools/zimlo-tool/zimlo-tool
[ -x "$tool" ] || { echo "zimlo-tool not built at $tool" >&2; exit 1; }
if [ -n "${AVSYNC_SECONDS:-}" ]; then
  seconds=$AVSYNC_SECONDS
elif [ "${BENCH_SMOKE:-0}" = 1 ]; then
  seconds=6
else
  seconds=$(awk -v m="${AVSYNC_MINUTES:-10}" 'BEGIN { printf "%d", m * 60 + 0.5 }')
fi
# The first flash comes about 2 s into the recording, then one every 5 s.
[ "$seconds" -ge 6 ] || { echo "the recording must last at least 6 s" >&2; exit 1; }

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

mkfifo "$work/displayfd"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -ac -noreset -br 3>"$work/displayfd" >/dev/null 2>&1 &
pids+=($!)
read -r -t 20 number <"$work/displayfd" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$number

mkdir -p "$work/pulse/home" "$work/pulse/run"
cat >"$work/pulse/default.pa" <<EOF
load-module module-null-sink sink_name=zimlo_bench_sink rate=48000 channels=2
load-module module-pipe-source source_name=zimlo_bench_mic file=$work/mic.pipe format=s16le rate=48000 channels=1
load-module module-native-protocol-unix auth-anonymous=1 socket=$work/pulse/run/native
set-default-sink zimlo_bench_sink
set-default-source zimlo_bench_mic
EOF
HOME=$work/pulse/home PULSE_RUNTIME_PATH=$work/pulse/run XDG_RUNTIME_DIR=$work/pulse/run DISPLAY= \
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no -F "$work/pulse/default.pa" \
  >"$work/pulse/log" 2>&1 &
pids+=($!)
export PULSE_SERVER=unix:$work/pulse/run/native
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null || { echo "PulseAudio did not start" >&2; cat "$work/pulse/log" >&2; exit 1; }

# Flashes the screen and beeps every 5 s. The computer's beep is scheduled by the playback
# stream's own latency report, sample by sample, so that it is heard at the flash; the
# microphone's is written into the pipe once it has been spoken, 10 ms at a time, as a device
# would deliver it.
cat >"$work/flasher.c" <<'EOF'
#include <X11/Xlib.h>
#include <fcntl.h>
#include <math.h>
#include <pthread.h>
#include <pulse/simple.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>
#define RATE 48000
#define PIECE 480
#define PERIOD 5.0
#define BEEP 0.1
static double now(void) {
    struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec + t.tv_nsec / 1e9;
}
static double first;  /* the first flash; then every PERIOD */
static int16_t at(double t) {
    if (t < first) return 0;
    double into = fmod(t - first, PERIOD);
    return into < BEEP ? (int16_t)(0.6 * 32767 * sin(2 * M_PI * 1000 * into)) : 0;
}
static void* computer(void* unused) {
    (void)unused;
    pa_sample_spec spec = {PA_SAMPLE_S16LE, RATE, 1};
    /* 200 ms deep, so that a busy machine never lets the sink run dry (which would play the
       rest later than it was meant to be heard). */
    pa_buffer_attr attr = {(uint32_t)-1, RATE * 2 / 5, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1};
    int error = 0;
    pa_simple* s = pa_simple_new(NULL, "av-sync", PA_STREAM_PLAYBACK, NULL, "beep", &spec, NULL, &attr, &error);
    if (!s) { fprintf(stderr, "cannot play\n"); return NULL; }
    int16_t piece[PIECE];
    for (;;) {
        /* The next sample written is heard once everything written before it has played. */
        double heard = now() + pa_simple_get_latency(s, &error) / 1e6;
        for (int i = 0; i < PIECE; ++i) piece[i] = at(heard + (double)i / RATE);
        if (pa_simple_write(s, piece, sizeof piece, &error) < 0) return NULL;
    }
}
static void* microphone(void* path) {
    int fd = open((const char*)path, O_WRONLY);
    int16_t piece[PIECE];
    double start = now();
    for (long k = 0;; ++k) {
        /* A device hands on a piece once its last sample has been spoken, not before. */
        double t = start + k * (double)PIECE / RATE;
        double spoken = t + (double)PIECE / RATE;
        struct timespec until = {(time_t)spoken, (long)((spoken - (time_t)spoken) * 1e9)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL);
        for (int i = 0; i < PIECE; ++i) piece[i] = at(t + (double)i / RATE);
        if (write(fd, piece, sizeof piece) < 0) return NULL;
    }
}
static void sleepUntil(double t) {
    struct timespec until = {(time_t)t, (long)((t - (time_t)t) * 1e9)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL);
}
int main(int argc, char** argv) {
    Display* d = XOpenDisplay(NULL);
    if (!d || argc < 4) return 1;
    Window root = DefaultRootWindow(d);
    GC gc = XCreateGC(d, root, 0, NULL);
    XSetForeground(d, gc, 0x202020);
    XFillRectangle(d, root, gc, 0, 0, 1920, 1080);
    XFlush(d);
    first = now() + 3;
    /* The schedule, for the generated camera to flash on. */
    FILE* schedule = fopen(argv[3], "w");
    if (!schedule) return 1;
    fprintf(schedule, "%.6f %.6f\n", first, PERIOD);
    fclose(schedule);
    pthread_t a, b;
    pthread_create(&a, NULL, computer, NULL);
    pthread_create(&b, NULL, microphone, argv[1]);
    FILE* log = fopen(argv[2], "w");
    if (!log) return 1;
    for (long n = 0;; ++n) {
        double flash = first + n * PERIOD;
        sleepUntil(flash);
        XSetForeground(d, gc, 0xffffff);
        XFillRectangle(d, root, gc, 0, 0, 1920, 1080);
        /* Drawn once the server has answered: the instant the picture changed. */
        XSync(d, False);
        /* When the beeps sound (planned) and when the picture changed. */
        fprintf(log, "%.6f %.6f\n", flash, now());
        fflush(log);
        sleepUntil(flash + 0.4);
        XSetForeground(d, gc, 0x202020);
        XFillRectangle(d, root, gc, 0, 0, 1920, 1080);
        XFlush(d);
    }
}
EOF
cc -O2 -o "$work/flasher" "$work/flasher.c" -lX11 -lpulse-simple -lpulse -lpthread -lm
"$work/flasher" "$work/mic.pipe" "$work/flashes.txt" "$work/schedule.txt" &
pids+=($!)
sleep 1
# The schedule is one line written at once, the flasher's first act once the display is open.
for _ in $(seq 100); do [ -s "$work/schedule.txt" ] && break; sleep 0.1; done
read -r first period <"$work/schedule.txt" || { echo "the flasher wrote no schedule" >&2; exit 1; }

target=$("$tool" targets | awk -F'\t' '$1 ~ /^display-/ {print $1; exit}')
[ -n "$target" ] || { echo "no display target" >&2; exit 1; }
echo "recording ${seconds} s at 1920x1080, 30 fps, with the computer's sound and the microphone ($(uptime | sed 's/.*load/load/'))"
# The camera flashes as long as the screen does (0.4 s).
ZIMLO_LOG=info "$tool" record --target "$target" --seconds "$seconds" --fps 30 --resolution 1920x1080 --mic \
  --generated-camera --camera-flashes "$period@$first,0.4" \
  >"$work/record.txt" 2>&1 || { echo "zimlo-tool record failed:"; cat "$work/record.txt"; exit 1; }
load=$(uptime | sed 's/.*load/load/')
movie=$(awk -F': ' '/^screen movie:/ {print $2}' "$work/record.txt")
camera=$(awk -F': ' '/^camera movie:/ {print $2}' "$work/record.txt")
# A movie's time 0 on the monotonic clock, from its writer's log line.
zero_of() { sed -n "s/.*$(basename "$1" | sed 's/[.]/[.]/g').* begins at \([0-9.]*\) s on the monotonic clock.*/\1/p" "$work/record.txt" | head -n 1; }
zero=$(zero_of "$movie")
[ -n "$zero" ] || { echo "the recorder did not say where the movie begins"; cat "$work/record.txt"; exit 1; }
[ -f "$camera" ] || { echo "no camera movie was written"; cat "$work/record.txt"; exit 1; }
camera_zero=$(zero_of "$camera")
[ -n "$camera_zero" ] || { echo "the recorder did not say where the camera movie begins"; cat "$work/record.txt"; exit 1; }

start_of() { ffprobe -v error -select_streams "$1" -show_entries stream=start_time -of csv=p=0 "$movie"; }
ffprobe -v error -select_streams v:0 -show_entries frame=pts_time -of csv=p=0 "$movie" >"$work/frames.txt"
ffmpeg -v fatal -i "$movie" -map 0:v:0 -vf scale=16:9,format=gray -fps_mode passthrough \
  -f rawvideo - >"$work/frames.gray"
ffprobe -v error -select_streams v:0 -show_entries frame=pts_time -of csv=p=0 "$camera" >"$work/camera-frames.txt"
ffmpeg -v fatal -i "$camera" -map 0:v:0 -vf scale=16:9,format=gray -fps_mode passthrough \
  -f rawvideo - >"$work/camera-frames.gray"
ffmpeg -v error -i "$movie" -map 0:a:0 -ac 1 -ar 48000 -f f32le - >"$work/system.f32"
ffmpeg -v error -i "$movie" -map 0:a:1 -ac 1 -ar 48000 -f f32le - >"$work/mic.f32"

python3 - "$work" "$(start_of v:0)" "$(start_of a:0)" "$(start_of a:1)" "$load" "$zero" "$camera_zero" <<'EOF'
import array, statistics, sys
work, video_start, system_start, mic_start, load = sys.argv[1], *map(float, sys.argv[2:5]), sys.argv[5]
zero, camera_zero = float(sys.argv[6]), float(sys.argv[7])
# The true instants on the movie's time line: when each beep sounds, when each flash was drawn.
planned, drawn = [], []
for line in open(f"{work}/flashes.txt"):
    if line.strip():
        beep, flash = map(float, line.split())
        planned.append(beep - zero)
        drawn.append(flash - zero)
def truth_near(t, truths):
    near = min(truths, key=lambda x: abs(x - t), default=None)
    return near if near is not None and abs(near - t) < 1.0 else None
def summary(values):
    return (f"median {statistics.median(values):+.0f} ms, range {min(values):+.0f} to "
            f"{max(values):+.0f} ms")
def first_lit(name):
    """The time of each frame that turns white after one that was not."""
    times = [float(line.split(",")[0]) for line in open(f"{work}/{name}.txt") if line.strip()]
    gray = open(f"{work}/{name}.gray", "rb").read()
    found, lit = [], False
    for i, t in enumerate(times):
        bright = sum(gray[i * 144:(i + 1) * 144]) / 144 > 128
        if bright and not lit: found.append(t)
        lit = bright
    return found
flashes = first_lit("frames")
# The camera movie has its own time 0: its flashes are placed on the screen movie's time line.
camera_flashes = [t + camera_zero - zero for t in first_lit("camera-frames")]
def onsets(name, start):
    samples = array.array("f"); samples.frombytes(open(f"{work}/{name}.f32", "rb").read())
    found, quiet = [], 48000
    for i, v in enumerate(samples):
        if abs(v) > 0.25:
            if quiet >= 48000: found.append(start + i / 48000)
            quiet = 0
        else:
            quiet += 1
    return found
delays = [(f - truth_near(f, drawn)) * 1000 for f in flashes if truth_near(f, drawn) is not None]
if delays:
    print(f"picture: a flash is first seen {summary(delays)} after it was drawn (the next grab "
          f"at 30 fps, up to 33 ms, plus the X server's delay)")
    print("  each flash: " + " ".join(f"{d:+.0f}" for d in delays))
for label, name, start in (("computer's sound", "system", system_start), ("microphone", "mic", mic_start)):
    beeps = onsets(name, start)
    errors = [(b - truth_near(b, planned)) * 1000 for b in beeps if truth_near(b, planned) is not None]
    if errors:
        print(f"{label} against the true instant: {summary(errors)}; at {beeps[0]:.0f} s "
              f"{errors[0]:+.0f} ms, at {beeps[-1]:.0f} s {errors[-1]:+.0f} ms")
        print("  each beep: " + " ".join(f"{e:+.0f}" for e in errors))
    pairs = []
    for f in flashes:
        near = min(beeps, key=lambda b: abs(b - f), default=None)
        if near is not None and abs(near - f) < 1.0: pairs.append((f, (near - f) * 1000))
    if not pairs:
        print(f"{label}: no beep found near any of {len(flashes)} flashes"); continue
    offsets = [o for _, o in pairs]
    print(f"{label}: audio - video at {pairs[0][0]:.0f} s {pairs[0][1]:+.0f} ms, at {pairs[-1][0]:.0f} s "
          f"{pairs[-1][1]:+.0f} ms ({len(pairs)} of {len(flashes)} flashes, range {min(offsets):+.0f} to "
          f"{max(offsets):+.0f} ms)")
    print("  each flash: " + " ".join(f"{o:+.0f}" for o in offsets))
late = [(c - truth_near(c, planned)) * 1000 for c in camera_flashes if truth_near(c, planned) is not None]
if late:
    print(f"camera: a flash is first seen {summary(late)} after it was due (the next frame at "
          f"30 fps, up to 33 ms)")
    print("  each flash: " + " ".join(f"{d:+.0f}" for d in late))
else:
    print(f"camera: no flash found near any of {len(planned)} due")
apart = [(c - truth_near(c, flashes)) * 1000 for c in camera_flashes if truth_near(c, flashes) is not None]
if apart:
    print(f"camera - screen: {summary(apart)} ({len(apart)} of {len(flashes)} flashes)")
    print("  each flash: " + " ".join(f"{d:+.0f}" for d in apart))
else:
    print(f"camera - screen: no camera flash found near any of {len(flashes)} flashes")
print(f"({load}; goal: each sound within ±20 ms of the true instant at the start and the end, "
      "on a quiet machine)")
EOF
rm -f "$movie" "$camera"
