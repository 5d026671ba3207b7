#!/usr/bin/env bash
# Installs what is missing, builds, makes sample clips and plays one in a
# window, answering the player's events as a manager would. Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
clip="${1:-build/clips/long.mp4}"
exec scripts/with-env.sh bash -c '
  coproc PLAYER { build/video_player "$1"; }
  trap "kill $PLAYER_PID 2>/dev/null" EXIT INT TERM
  echo "play" >&"${PLAYER[1]}"
  while IFS= read -r line <&"${PLAYER[0]}"; do
    echo "$line"
    case "$line" in
      "end of video!") echo ack_end ;;
      playing) echo ack_playing ;;
      stopped) echo ack_stopped ;;
      reset) echo ack_reset ;;
      crash) echo ack_crash ;;
      "Preload complete") echo ack_preload_complete ;;
      "Preload error") echo ack_preload_error ;;
      *) continue ;;
    esac >&"${PLAYER[1]}"
  done
' run "$clip"
