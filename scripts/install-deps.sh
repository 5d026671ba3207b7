#!/usr/bin/env bash
# Installs every Debian package the player, its tests and its demo need.
set -euo pipefail
PKGS=(
  build-essential cmake pkg-config git
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
  gstreamer1.0-gl gstreamer1.0-x gstreamer1.0-alsa
  libgtest-dev googletest
  libx11-dev libxext-dev libwayland-dev libwayland-bin wayland-protocols weston sway grim passwd
  libcpp-httplib-dev nlohmann-json3-dev curl
  ffmpeg xvfb x11-utils xdotool pulseaudio pulseaudio-utils libasound2-plugins alsa-utils
  python3 procps util-linux gdb
  systemd libseccomp-dev
  faketime libfaketime
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
