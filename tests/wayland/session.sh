#!/usr/bin/env bash
# A headless Wayland desktop for the tests, as a CTest fixture:
#   session.sh up STATE_DIR SHIM   brings it up and writes STATE_DIR/env (KEY=VALUE lines)
#   session.sh down STATE_DIR      stops exactly what `up` started
# The desktop: a private session bus; PipeWire with WirePlumber and pipewire-pulse (a null sink
# as the default output, a pipe source as the default microphone); sway on a headless output
# (software renderer; run as an unprivileged user, since sway refuses root); swaybg painting the
# output; xdg-desktop-portal with its wlroots back end (its output chooser is a script that logs
# each call and answers with the contents of a file, so tests choose or cancel); a stand-in for
# a desktop panel's tray (a StatusNotifierWatcher). Everything lives in a fresh folder under
# /tmp that the unprivileged user can reach.
#
# SHIM is the test-only preload for xdg-desktop-portal-wlr 0.7, which refuses to start a cast
# when the compositor offers no DMA-BUF (the software renderer never does) although it can
# stream through shared memory: the shim repeats each shared-memory offer as a DMA-BUF one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
action=${1:-}
state=${2:-}
[ -n "$action" ] && [ -n "$state" ] || { echo "usage: $0 up|down STATE_DIR [SHIM]" >&2; exit 2; }

RES=${ZIMLO_TEST_WAYLAND_RES:-1280x720}
FPS=${ZIMLO_TEST_WAYLAND_FPS:-30}
BG=${ZIMLO_TEST_WAYLAND_BG:-#ff0000}

starttime() { awk '{print $22}' "/proc/$1/stat" 2>/dev/null || true; }
# Alive: the same process (start time matches) and not a zombie.
alive() {
  local s; s=$(awk '{print $3, $22}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ "${s#* }" = "$2" ] && [ "${s%% *}" != Z ]
}

# Stops what was started for the session folder $1 and removes the folder.
stop_session() {
  local work=$1
  [ -n "$work" ] && [ -f "$work/pids" ] || return 0
  # Newest first, the bus last; before it, the services the bus started on demand (the
  # permission store, the document portal), found by asking the bus for its clients.
  local entries=() bus_entry="" line
  while read -r line; do
    case "$line" in *" dbus") bus_entry=$line ;; *) entries=("$line" "${entries[@]}") ;; esac
  done < "$work/pids"
  if [ -S "$work/run/bus" ]; then
    local bus=unix:path=$work/run/bus name pid
    for name in $(DBUS_SESSION_BUS_ADDRESS=$bus timeout 5 gdbus call --session \
                   -d org.freedesktop.DBus -o /org/freedesktop/DBus \
                   -m org.freedesktop.DBus.ListNames 2>/dev/null | grep -o "':[0-9.]*'" | tr -d "'"); do
      pid=$(DBUS_SESSION_BUS_ADDRESS=$bus timeout 5 gdbus call --session -d org.freedesktop.DBus \
              -o /org/freedesktop/DBus -m org.freedesktop.DBus.GetConnectionUnixProcessID "$name" \
              2>/dev/null | grep -o '[0-9]\+' | tail -1) || continue
      [ -n "$pid" ] && entries+=("$pid $(starttime "$pid") bus-service")
    done
  fi
  [ -n "$bus_entry" ] && entries+=("$bus_entry")
  local seen=" " pid st name
  for line in "${entries[@]}"; do
    read -r pid st name <<<"$line"
    case "$seen" in *" $pid "*) continue ;; esac
    seen="$seen$pid "
    alive "$pid" "$st" || continue
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 30); do alive "$pid" "$st" || break; sleep 0.1; done
    alive "$pid" "$st" && kill -KILL "$pid" 2>/dev/null || true
  done
  # The document portal mounts a file system in the runtime folder.
  if mountpoint -q "$work/run/doc" 2>/dev/null; then
    fusermount3 -u "$work/run/doc" 2>/dev/null || umount -l "$work/run/doc" 2>/dev/null || true
  fi
  rm -rf "$work"
}

down() {
  local env=$state/env
  [ -f "$env" ] && stop_session "$(sed -n 's/^ZIMLO_WAYLAND_WORK=//p' "$env")"
  rm -f "$env"
}

if [ "$action" = down ]; then down; exit 0; fi
[ "$action" = up ] || { echo "usage: $0 up|down STATE_DIR [SHIM]" >&2; exit 2; }
shim=${3:-}
[ -f "$shim" ] || { echo "session: the portal shim $shim is missing (build the project)" >&2; exit 1; }
mkdir -p "$state"
down  # a session left over from an interrupted run

work=$(mktemp -d /tmp/zimlo-wayland.XXXXXX)
chmod 755 "$work"
: > "$work/pids"
mkdir -p "$work"/{run,sway-run,config/xdg-desktop-portal-wlr,data,state,cache,home,sway-home,log}
chmod 700 "$work/run" "$work/sway-run"
fail() {
  echo "session: $*" >&2
  for log in "$work"/log/*.log; do echo "--- $log" >&2; tail -n 15 "$log" >&2; done
  stop_session "$work"
  exit 1
}
t0=$(date +%s%N)
note() { echo "session: $(( ($(date +%s%N) - t0) / 1000000 )) ms: $*"; }

# sway refuses to run as root: as root, it and swaybg run as an unprivileged user.
as_user=()
if [ "$(id -u)" = 0 ]; then
  user=${ZIMLO_TEST_SWAY_USER:-nobody}
  if ! id "$user" >/dev/null 2>&1; then
    user=zimlo-test
    id "$user" >/dev/null 2>&1 ||
      useradd --system --no-create-home --shell /usr/sbin/nologin "$user" || fail "cannot create user $user"
  fi
  chown "$user:" "$work/sway-run" "$work/sway-home"
  as_user=(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups)
fi

export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data \
       XDG_STATE_HOME=$work/state XDG_CACHE_HOME=$work/cache HOME=$work/home \
       XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland \
       DBUS_SESSION_BUS_ADDRESS=unix:path=$work/run/bus
unset DISPLAY WAYLAND_DISPLAY PIPEWIRE_REMOTE PULSE_SERVER SWAYSOCK

# Starts a daemon in a session of its own, its output in a log, and records it.
spawn() {
  local name=$1; shift
  setsid "$@" </dev/null >"$work/log/$name.log" 2>&1 &
  local pid=$!
  echo "$pid $(starttime "$pid") $name" >> "$work/pids"
}
wait_for() {  # wait_for SECONDS WHAT COMMAND...
  local tries=$(( $1 * 10 )) what=$2; shift 2
  until "$@" >/dev/null 2>&1; do
    tries=$((tries - 1)); [ $tries -gt 0 ] || fail "timed out waiting for $what"; sleep 0.1
  done
}
on_bus() { gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
             -m org.freedesktop.DBus.NameHasOwner "$1" | grep -q true; }

spawn dbus dbus-daemon --config-file=/usr/share/dbus-1/session.conf \
  --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile
wait_for 10 "the session bus" test -S "$work/run/bus"

spawn pipewire pipewire
wait_for 10 "PipeWire" test -S "$work/run/pipewire-0"
spawn wireplumber wireplumber
spawn pipewire-pulse pipewire-pulse
export PULSE_SERVER=unix:$work/run/pulse/native
wait_for 10 "pipewire-pulse" pactl info
wait_for 10 "WirePlumber" sh -c 'pw-cli ls Client | grep -q WirePlumber'
pactl load-module module-null-sink sink_name=zimlo_test_sink rate=48000 channels=2 >/dev/null
pactl load-module module-pipe-source source_name=zimlo_test_mic file="$work/microphone" \
  format=s16le rate=48000 channels=1 >/dev/null
pactl set-default-sink zimlo_test_sink
pactl set-default-source zimlo_test_mic
note "bus, PipeWire, WirePlumber and pipewire-pulse up"

cat > "$work/config/sway.conf" <<CONF
xwayland disable
output HEADLESS-1 mode --custom ${RES}@${FPS}Hz position 0 0
default_border none
default_floating_border none
focus_follows_mouse no
seat * hide_cursor 1
CONF
chmod 644 "$work/config/sway.conf"
spawn sway env XDG_RUNTIME_DIR="$work/sway-run" HOME="$work/sway-home" WLR_BACKENDS=headless \
  WLR_HEADLESS_OUTPUTS=1 WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman WLR_RENDERER_ALLOW_SOFTWARE=1 \
  "${as_user[@]}" sway -c "$work/config/sway.conf"
wait_for 15 "sway" sh -c "ls '$work'/sway-run/sway-ipc.*.sock"
SWAYSOCK=$(ls "$work"/sway-run/sway-ipc.*.sock | head -1)
socket=$(cd "$work/sway-run" && ls wayland-* | grep -v lock | head -1)
export SWAYSOCK WAYLAND_DISPLAY=$work/sway-run/$socket
wait_for 10 "sway's output" sh -c 'swaymsg -t get_outputs | grep -q current_mode'
spawn swaybg env XDG_RUNTIME_DIR="$work/sway-run" HOME="$work/sway-home" \
  "${as_user[@]}" swaybg -o HEADLESS-1 -c "$BG"
centre_is_background() {
  grim -t ppm - | /usr/bin/python3 -c '
import sys
d = sys.stdin.buffer.read(); parts = d.split(b"\n", 3)
w, h = map(int, parts[1].split()); px = parts[3]
o = ((h // 2) * w + w // 2) * 3
sys.exit(0 if px[o:o + 3] == bytes.fromhex(sys.argv[1].lstrip("#")) else 1)' "$BG"
}
wait_for 10 "the background on the output" centre_is_background
note "sway up: $(swaymsg -t get_outputs | grep -o '"current_mode": {[^}]*}' | tr -d '\n ')"

# Services the bus starts on demand see this session.
dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE \
  XDG_RUNTIME_DIR XDG_CONFIG_HOME XDG_DATA_HOME XDG_STATE_HOME XDG_CACHE_HOME SWAYSOCK

# The output chooser: logs each call, answers with the chooser-answer file (empty: cancelled).
echo HEADLESS-1 > "$work/chooser-answer"
: > "$work/chooser-calls"
cat > "$work/chooser.sh" <<CHOOSER
#!/bin/sh
date +%s.%N >> "$work/chooser-calls"
cat "$work/chooser-answer"
CHOOSER
chmod 755 "$work/chooser.sh"
printf '[screencast]\nchooser_type=simple\nchooser_cmd=%s\nmax_fps=%s\n' "$work/chooser.sh" "$FPS" \
  > "$work/config/xdg-desktop-portal-wlr/config"
spawn xdpw env LD_PRELOAD="$shim" /usr/libexec/xdg-desktop-portal-wlr -l INFO \
  -c "$work/config/xdg-desktop-portal-wlr/config"
wait_for 10 "xdg-desktop-portal-wlr" on_bus org.freedesktop.impl.portal.desktop.wlr
spawn xdg-desktop-portal /usr/libexec/xdg-desktop-portal
wait_for 15 "xdg-desktop-portal" on_bus org.freedesktop.portal.Desktop
spawn tray /usr/bin/python3 "$here/tray_watcher.py" "$work/tray-items"
wait_for 10 "the tray stand-in" on_bus org.kde.StatusNotifierWatcher
note "portal and tray up"

{
  echo "ZIMLO_WAYLAND_WORK=$work"
  for name in XDG_RUNTIME_DIR XDG_CONFIG_HOME XDG_DATA_HOME XDG_STATE_HOME XDG_CACHE_HOME \
              XDG_CURRENT_DESKTOP XDG_SESSION_TYPE DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY \
              SWAYSOCK PULSE_SERVER; do
    echo "$name=${!name}"
  done
  echo "ZIMLO_WAYLAND_CHOOSER_ANSWER=$work/chooser-answer"
  echo "ZIMLO_WAYLAND_CHOOSER_CALLS=$work/chooser-calls"
  echo "ZIMLO_WAYLAND_MICROPHONE=$work/microphone"
  echo "ZIMLO_WAYLAND_TRAY_ITEMS=$work/tray-items"
  echo "ZIMLO_WAYLAND_OUTPUT=HEADLESS-1"
  echo "ZIMLO_WAYLAND_SIZE=$RES"
  echo "ZIMLO_WAYLAND_FPS=$FPS"
  echo "ZIMLO_WAYLAND_BACKGROUND=$BG"
} > "$state/env.tmp"
mv "$state/env.tmp" "$state/env"
note "ready ($state/env)"
