#!/usr/bin/env bash
# Plays the demo playlist of scripts/run.sh with the reference manager into a
# null sink of its own, records that sink, and checks that every file is heard
# with its own tone (or, without sound, not at all) while the manager says it
# is on screen. Run by hand, under a display and a sound server:
#   scripts/with-env.sh bench/demo_heard.sh [BUILD_DIR] [ROUNDS]
# BUILD_DIR (default build) holds signage_manager and video_player; ROUNDS
# (default 2) is how many times the playlist is played. Exit status 0 when
# every file was heard as it should be. KEEP=1 keeps the recording and logs.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
rounds=${2:-2}
for p in signage_manager video_player; do
  [ -x "$build/$p" ] || { echo "demo_heard: no $build/$p (build first)" >&2; exit 2; }
done
: "${DISPLAY:?demo_heard: no display (run under scripts/with-env.sh)}"
pactl info >/dev/null 2>&1 || { echo "demo_heard: no sound server (run under scripts/with-env.sh)" >&2; exit 2; }

work=$(mktemp -d)
sink="demo_heard_$$"
module=""
recorder=""
cleanup() {
  if [ -n "$recorder" ]; then kill "$recorder" 2>/dev/null || true; wait "$recorder" 2>/dev/null || true; fi
  if [ -n "$module" ]; then pactl unload-module "$module" >/dev/null 2>&1 || true; fi
  if [ "${KEEP:-0}" = 1 ]; then echo "demo_heard: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

bash "$repo/scripts/make-clips.sh" "$build/clips"
# The playlist scripts/run.sh writes, taken from it, paths made absolute.
awk "/<<'LIST'/ {on = 1; next} /^LIST\$/ {on = 0} on" "$repo/scripts/run.sh" |
  sed -e "/^#/b" -e "/^\$/b" -e "s|^|$build/|" > "$work/playlist.txt"
grep -qv '^#' "$work/playlist.txt" || { echo "demo_heard: no playlist found in scripts/run.sh" >&2; exit 2; }

module=$(pactl load-module module-null-sink "sink_name=$sink")
python3 "$repo/bench/demo_heard.py" record "$sink.monitor" "$work/sound.raw" "$work/sound.index" &
recorder=$!
sleep 0.5

status=0
PULSE_SINK="$sink" timeout 600 "$build/signage_manager" --player-log "$work/player.log" --rounds "$rounds" \
  "$work/playlist.txt" > "$work/manager.out" 2>&1 || status=$?
sleep 0.5
kill "$recorder" 2>/dev/null && wait "$recorder" 2>/dev/null || true
recorder=""
if [ "$status" -ne 0 ]; then
  echo "demo_heard: the manager ended with status $status"
  tail -20 "$work/manager.out"
fi

python3 "$repo/bench/demo_heard.py" check "$work/player.log" "$work/sound.raw" "$work/sound.index" \
  "$repo/scripts/make-clips.sh" || status=1
exit "$status"
