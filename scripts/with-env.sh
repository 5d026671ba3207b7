#!/usr/bin/env bash
# Runs a command with a display and a sound server, starting either only when
# none is there, and stopping only what it started.
#   scripts/with-env.sh COMMAND [ARG...]
set -u
started_pids=()

cleanup() {
  for pid in "${started_pids[@]}"; do
    kill "$pid" 2>/dev/null
  done
  if [ -n "${PULSE_STARTED:-}" ]; then
    pulseaudio --kill >/dev/null 2>&1 || true
  fi
  [ -n "${PULSE_DIR:-}" ] && rm -rf "$PULSE_DIR"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR="/tmp/xdg-runtime-$(id -u)"
fi
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x720x24 -nolisten tcp >/dev/null 2>&1 &
    started_pids+=("$!")
    export DISPLAY=":$n"
    for _ in $(seq 1 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      sleep 0.1
    done
    break
  done
fi

if ! pactl info >/dev/null 2>&1; then
  # A runtime directory of its own, so that stopping this server can never
  # cut off a run that found it and used it.
  export XDG_RUNTIME_DIR="$(mktemp -d /tmp/xdg-run.XXXXXX)"
  PULSE_DIR="$XDG_RUNTIME_DIR"
  pulseaudio --daemonize=yes --exit-idle-time=-1 --disallow-exit -n \
    --load="module-null-sink sink_name=signage_null" \
    --load="module-native-protocol-unix" \
    --load="module-always-sink" >/dev/null 2>&1 && PULSE_STARTED=1
  for _ in $(seq 1 50); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  pactl set-default-sink signage_null >/dev/null 2>&1 || true
fi

"$@"
