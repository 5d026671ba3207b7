#!/usr/bin/env bash
# The player's main job on a fresh machine: installs what is missing, builds,
# makes sample clips and has the manager play a playlist of them in a loop.
# A virtual display and a sound server are started when none exist; Ctrl-C
# stops the manager, the player and whatever was started for them.
#   bash scripts/run.sh [MANAGER OPTION...] [PLAYLIST]
# Without a PLAYLIST (a directory of MP4 files or a list file), the samples play.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
bash scripts/make-clips.sh build/clips

args=("$@")
if [ $# -eq 0 ] || [ ! -e "${!#}" ]; then
  playlist=build/demo-playlist.txt
  # Paths are taken from the list file's directory.
  cat > "$playlist" <<'LIST'
# The samples of scripts/run.sh: other colours, with and without sound, one 4:3,
# and pictures for their time: a JPEG, one turned by its orientation tag, a
# PNG with a transparent half.
clips/red.mp4
5s clips/poster.jpg
clips/silent.mp4
clips/green.mp4
5s clips/turned.jpg
4s clips/overlay.png
clips/square.mp4
clips/blue.mp4
clips/mono.mp4
LIST
  args+=("$playlist")
fi

# The player's own lines are many: they go to build/player.log, so that the
# terminal shows the manager's lines, such as what is playing now.
exec scripts/with-env.sh bash -c '
  size=$(xdpyinfo -display "$DISPLAY" 2>/dev/null | awk "/dimensions:/ {print \$2}")
  echo "run.sh: playing on display $DISPLAY; the player writes to build/player.log; Ctrl-C stops."
  echo "run.sh: screenshot: ffmpeg -loglevel error -f x11grab -video_size ${size:-1280x720} -i $DISPLAY -frames:v 1 -y screen.png"
  exec build/signage_manager --player-log build/player.log "$@"
' run.sh "${args[@]}"
