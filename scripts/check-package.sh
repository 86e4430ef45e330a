#!/usr/bin/env bash
# Installs the package scripts/package.sh built, runs the installed programs, removes the package
# and checks that nothing of it is left under /usr. It changes the system: meant for CI machines
# (run as root). The programs run on a private Xvfb and a private PulseAudio daemon, as the
# tests do.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMLO_BUILD_DIR:-$top/build}

fail() {
  echo "check-package: $*" >&2
  exit 1
}
[ "$(id -u)" -eq 0 ] || fail "run as root: it installs and removes the package"
deb=$(ls "$build"/package/zimlo_*.deb 2>/dev/null) || fail "no package; run scripts/package.sh"
if dpkg-query -W -f='${Status}' zimlo 2>/dev/null | grep -q installed; then
  fail "zimlo is installed already; remove it first"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if dpkg-query -W -f='${Status}' zimlo 2>/dev/null | grep -q installed; then dpkg -r zimlo >/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The icon and desktop-entry caches are rebuilt by dpkg triggers on any such install; build them
# now, so that a cache born of the first trigger is not taken for something the package left.
if command -v gtk-update-icon-cache >/dev/null; then gtk-update-icon-cache -f -q /usr/share/icons/hicolor || true; fi
if command -v update-desktop-database >/dev/null; then update-desktop-database -q || true; fi
find /usr -xdev | sort >"$work/usr-before"
echo "check-package: dpkg -i $(basename "$deb")"
dpkg -i "$deb"

[ "$(command -v zimlo)" = /usr/bin/zimlo ] || fail "zimlo is not in /usr/bin"
[ "$(command -v zimlo-tool)" = /usr/bin/zimlo-tool ] || fail "zimlo-tool is not in /usr/bin"
echo "check-package: zimlo-tool help"
zimlo-tool help | tee "$work/help"
grep -q '^  models install' "$work/help" || fail "zimlo-tool help lists no models command"
man -w zimlo-tool >/dev/null || fail "no manual page for zimlo-tool"

# A private display and sound server; the programs find them through DISPLAY and PULSE_SERVER.
export HOME=$work/home XDG_DATA_HOME=$work/home/.local/share XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(cat "$work/display")
cat >"$work/default.pa" <<PA
load-module module-null-sink sink_name=check_sink rate=48000 channels=2
load-module module-native-protocol-unix auth-anonymous=1 socket=$work/run/native
set-default-sink check_sink
PA
pulseaudio -n --daemonize=no --exit-idle-time=-1 --system=false --use-pid-file=no \
  --disallow-module-loading=no --log-target=stderr -F "$work/default.pa" 2>"$work/pulse.log" &
pids+=($!)
for _ in $(seq 100); do [ -S "$work/run/native" ] && break; sleep 0.1; done
[ -S "$work/run/native" ] || fail "PulseAudio did not start: $(cat "$work/pulse.log")"
export PULSE_SERVER=unix:$work/run/native

echo "check-package: zimlo-tool record"
target=$(zimlo-tool targets | head -n 1 | cut -f 1)
[ -n "$target" ] || fail "zimlo-tool targets lists nothing to record"
zimlo-tool record --target "$target" --seconds 2 | tee "$work/record"
movie=$(sed -n 's/^screen movie: //p' "$work/record")
[ -f "$movie" ] || fail "zimlo-tool record wrote no movie"
streams=$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$movie" | tr '\n' ' ')
rm -f "$movie"
[ "$streams" = "video audio " ] || fail "the recorded movie holds '$streams', not video and audio"

echo "check-package: zimlo-tool models install (Debian's English model as a stand-in)"
zimlo-tool models install /usr/share/pocketsphinx/model/en-us --language zh-CN
zimlo-tool models list | grep -q "^zh-CN	in use	$XDG_DATA_HOME/zimlo/models/zh-CN$" ||
  fail "zimlo-tool models list does not show the installed model"

echo "check-package: zimlo starts"
status=0
timeout 5 zimlo 2>"$work/zimlo.log" || status=$?
[ "$status" -eq 124 ] || fail "zimlo ended with status $status before it was stopped: $(cat "$work/zimlo.log")"

echo "check-package: dpkg -r zimlo"
dpkg -r zimlo
find /usr -xdev | sort >"$work/usr-after"
if ! diff "$work/usr-before" "$work/usr-after"; then
  fail "removing the package left the changes above in /usr"
fi
echo "check-package: installed, ran and removed cleanly"
