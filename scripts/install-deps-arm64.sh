#!/usr/bin/env bash
# Installs what the arm64 build and its tests under emulation need, beside the
# native packages (Debian multiarch): the cross toolchain, the arm64 GStreamer
# libraries and plug-ins, Mesa, GoogleTest and user-mode QEMU.
# Nothing is installed when apt would remove any package: the native build
# must keep everything it has.
set -euo pipefail
PKGS=(
  crossbuild-essential-arm64 qemu-user-static
  libgstreamer1.0-dev:arm64 liborc-0.4-dev:arm64 libgtest-dev:arm64 libx11-dev:arm64 libxext-dev:arm64 libwayland-dev:arm64
  libgl-dev:arm64 libegl-dev:arm64 libgles-dev:arm64 libx11-xcb-dev:arm64 libgudev-1.0-dev:arm64
  libdrm-dev:arm64 libgbm-dev:arm64
  libcpp-httplib-dev:arm64 nlohmann-json3-dev
  gstreamer1.0-plugins-base:arm64 gstreamer1.0-plugins-good:arm64
  gstreamer1.0-plugins-bad:arm64 gstreamer1.0-plugins-ugly:arm64
  gstreamer1.0-libav:arm64 gstreamer1.0-gl:arm64 gstreamer1.0-x:arm64
  gstreamer1.0-alsa:arm64 libasound2-plugins:arm64
  libgl1-mesa-dri:arm64 libglx-mesa0:arm64 libegl-mesa0:arm64
)
# Not here, on purpose:
# - libgstreamer-plugins-base1.0-dev:arm64 is not Multi-Arch: same in Debian 12
#   (its .gir files differ by architecture), so apt would remove the native
#   one; scripts/test-arm64.sh unpacks it into build-arm64/ instead.
# - gstreamer1.0-tools:arm64 would replace the native gst-inspect-1.0 and co.
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

new_arch=0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
  new_arch=1
fi
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ] && [ "$new_arch" -eq 0 ]; then
  echo "install-deps-arm64: all packages present"
  exit 0
fi
$SUDO apt-get update -qq
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
plan=$(apt-get -s install --no-install-recommends "${missing[@]}")
if grep -q '^Remv ' <<<"$plan"; then
  echo "install-deps-arm64: refusing to install: apt would remove these packages:" >&2
  grep '^Remv ' <<<"$plan" >&2
  exit 1
fi
echo "install-deps-arm64: installing ${#missing[@]} packages and their dependencies" \
  "($(grep -c '^Inst ' <<<"$plan") in all; $(grep '^Inst ' <<<"$plan" | grep -c '^Inst [^ ]* \[') upgraded)"
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
